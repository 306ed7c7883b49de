#pragma once

// Kovra's command line, decided before any window or display is touched. Arguments are bytes:
// no path goes through a QString.

#include <string>
#include <vector>

namespace cli {

// Whether the command line asks for the window and it can open: no arguments, or only paths
// (after "--" if one starts with "-"), the first of them existing, and a display to show it on.
// Commands, options and a window that cannot open are answered by `run` instead.
bool wantsWindow(int argc, char* argv[]);

// The window's paths from the command line, made absolute: the folder part canonical, so that
// the name put in front of the files is the folder's own. Empty: the working directory.
std::vector<std::string> windowPaths(int argc, char* argv[]);

// Runs a command line that does not want the window, without a display; returns the exit status.
int run(int argc, char* argv[]);

}  // namespace cli
