#pragma once

// The drive list from the kernel's mount table. Asking a mounted file system anything (stat,
// statfs, open) can hang for as long as its server or FUSE daemon does not answer, so the list
// is built from /proc/self/mountinfo and /dev/disk/by-label alone, never from the mounts.
// Names are bytes, as the kernel gives them.

#include <chrono>
#include <string>
#include <vector>

namespace fs {

struct Mount {
    std::string mountPoint;
    std::string type;    // "ext4", "fuse.sshfs", ...
    std::string source;  // "/dev/sda1", a server path, or whatever the mount was given
    std::string label;   // the file system's label; empty when unknown
    int id = -1;         // the kernel's mount ID and that of the mount it hangs below;
    int parentId = -1;   // -1 when unknown
};

// The mounts listed in a mountinfo file, in its order (which is the order they were mounted
// in). Lines that do not parse are skipped. Reads only that file.
std::vector<Mount> readMountTable(const std::string& path = "/proc/self/mountinfo");

// The mounts a user would open to rename files, "/" first (always present), the rest in
// display order: the kernel's pseudo file systems, memory-backed and system ones are left out,
// and so are mounts hidden below a later mount over the same folder or one above it. Asks no
// mount anything; a mount of a single file may therefore be listed.
std::vector<Mount> userDrives(const std::vector<Mount>& table);

// Fills in the label of each mount whose source is a device, from the links in `byLabelFolder`
// (only the links are read, not the devices). A mount keeps its label when none is found.
void addLabels(std::vector<Mount>& mounts, const std::string& byLabelFolder = "/dev/disk/by-label");

// userDrives of the live mount table, with labels. Never blocks on a mount.
std::vector<Mount> mountedDrives();

// Whether a stat of `path` succeeds within `deadline`, the file system asked afresh rather than
// answered from cached attributes. False when it fails (a FUSE daemon that is gone, a missing
// folder) or has not answered in time; the stat is then left to finish on a thread of its own.
bool respondsWithin(const std::string& path, std::chrono::milliseconds deadline);

}  // namespace fs
