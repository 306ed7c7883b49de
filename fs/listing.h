#pragma once

// Folder listings on native names (bytes as stored): names never pass through a QString on their
// way from the listing to the rename.

#include <string>
#include <vector>

namespace fs {

struct Listing {
    std::vector<std::string> names;  // in display order
    int error = 0;                   // errno; the names are empty then
};

// Every entry of `folder` that is not a folder (files, symbolic links that do not lead to a
// folder, others), hidden ones included.
Listing listFiles(const std::string& folder);

// The subfolders of `folder`, symbolic links to folders and hidden ones included.
Listing listFolders(const std::string& folder);

// The program's working directory, or "/" when it has gone.
std::string currentFolder();

// Display order: by name ignoring ASCII case, ties broken by the raw bytes.
bool displayLess(const std::string& a, const std::string& b);
void sortForDisplay(std::vector<std::string>& names);

}  // namespace fs
