#pragma once

// What `kovra --help`, `kovra merge --help` and `kovra undo --help` print, and the usage lines
// a wrong use is told with.

#include <string>

namespace cli {

void printVersion();
std::string usage();
void printHelp();
void printMergeHelp();
void printUndoHelp();

}  // namespace cli
