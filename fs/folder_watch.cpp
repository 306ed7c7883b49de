#include "fs/folder_watch.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>

#include "core/paths.h"

namespace fs {

namespace {

// The folder's own fate, nothing about its entries.
constexpr std::uint32_t kSelfEvents = IN_MOVE_SELF | IN_DELETE_SELF | IN_UNMOUNT | IN_ONLYDIR;

}  // namespace

FolderWatch::FolderWatch()
    : inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
      mounts_(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC)) {
    takeMountChange();
}

FolderWatch::~FolderWatch() {
    if (inotify_ >= 0) {
        ::close(inotify_);
    }
    if (mounts_ >= 0) {
        ::close(mounts_);
    }
}

void FolderWatch::watch(const std::string& path) {
    if (inotify_ < 0) {
        return;
    }
    for (const int wd : watches_) {
        ::inotify_rm_watch(inotify_, wd);
    }
    watches_.clear();
    // A folder above renamed moves the open one with it: each of them is watched.
    std::string folder = core::normalizeFolder(path);
    for (;;) {
        const int wd = ::inotify_add_watch(inotify_, folder.c_str(), kSelfEvents);
        if (wd >= 0) {
            watches_.push_back(wd);
        }
        if (folder == "/") {
            break;
        }
        folder = core::parentFolder(folder);
    }
}

bool FolderWatch::takeFolderEvents() {
    if (inotify_ < 0) {
        return false;
    }
    bool changed = false;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(inotify_, buffer, sizeof buffer);
        if (n <= 0) {
            // EAGAIN: all read.
            return changed;
        }
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            // IN_IGNORED follows a removal or an unmount, and comes alone when the watch was
            // dropped by watch() itself.
            if ((event->mask & (IN_MOVE_SELF | IN_DELETE_SELF | IN_UNMOUNT | IN_Q_OVERFLOW)) != 0) {
                changed = true;
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

void FolderWatch::takeMountChange() {
    if (mounts_ < 0) {
        return;
    }
    // The kernel signals a change to whoever has read the table since the last one.
    char buffer[8192];
    ::lseek(mounts_, 0, SEEK_SET);
    while (::read(mounts_, buffer, sizeof buffer) > 0) {
    }
}

}  // namespace fs
