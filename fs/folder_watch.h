#pragma once

// Tells the window when the folder it shows may no longer be there: the folder or one above it
// renamed or removed, its drive unmounted, or the mount table changed. Only the folders' own
// events are asked for, never their entries': a run renaming a million files in the folder costs
// the watch nothing.

#include <string>
#include <vector>

namespace fs {

class FolderWatch {
public:
    FolderWatch();
    ~FolderWatch();
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    // Readable when a watched folder has changed; -1 when inotify is not available.
    int folderEvents() const { return inotify_; }
    // Signals an exceptional condition (POLLPRI) when the mount table has changed; -1 when the
    // table cannot be opened.
    int mountEvents() const { return mounts_; }
    // Watches `path` and each folder above it, in place of what was watched before. A folder
    // that cannot be watched (gone already, no permission) is left out.
    void watch(const std::string& path);
    // Reads the events waiting; true when one of them says a watched folder moved, went, or
    // lost its drive.
    bool takeFolderEvents();
    // Reads the mount table to its end, so that the next change is signalled again.
    void takeMountChange();

private:
    int inotify_ = -1;
    int mounts_ = -1;
    std::vector<int> watches_;
};

}  // namespace fs
