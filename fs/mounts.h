#pragma once

// The drive list from the kernel's mount table. Asking a mounted file system anything (stat,
// statfs, open) can hang for as long as its server or FUSE daemon does not answer, so the list
// is built from /proc/self/mountinfo (read through libmount) and from udev's records of the
// devices, never from the mounts; a device udev has not described is read by libblkid only
// within a deadline. Names are bytes, as the kernel gives them.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace fs {

struct Mount {
    std::string mountPoint;
    std::string type;    // "ext4", "fuse.sshfs", ...
    std::string source;  // "/dev/sda1", a server path, or whatever the mount was given
    std::string label;   // the file system's label; empty when unknown
    std::string uuid;    // the file system's UUID; empty when it has none or it is unknown
    std::string root;    // the file system's folder seen at the mount point: "/" but for binds
    dev_t device = 0;    // the device number its files report (st_dev)
    int id = -1;         // the kernel's mount ID and that of the mount it hangs below;
    int parentId = -1;   // -1 when unknown
};

// How long the drive list, which the window reads on its own thread, waits in all for drives it
// has to read to learn their UUID and label; and how long the lookups by identity below wait,
// whose callers need the answer more than the time.
inline constexpr std::chrono::milliseconds kIdentityDeadline{300};
inline constexpr std::chrono::milliseconds kLookupDeadline{5000};

// Where udev keeps what it learnt of each device.
inline constexpr const char* kUdevData = "/run/udev/data";

// The mounts listed in a mountinfo file, in its order (which is the order they were mounted
// in). Lines that do not parse are skipped. Reads only that file.
std::vector<Mount> readMountTable(const std::string& path = "/proc/self/mountinfo");

// The mounts a user would open to rename files, "/" first (always present), the rest in
// display order: the kernel's pseudo file systems, memory-backed and system ones are left out,
// and so are mounts hidden below a later mount over the same folder or one above it. Asks no
// mount anything; a mount of a single file may therefore be listed.
std::vector<Mount> userDrives(const std::vector<Mount>& table);

// Fills in the UUID and label of each mount on a block device, from udev's record of it in
// `udevData`, or else, where this process may read the device, from the device itself, waiting
// at most `deadline` in all. A mount keeps its UUID and label when none is found.
void addIdentities(std::vector<Mount>& mounts, const std::string& udevData = kUdevData,
                   std::chrono::milliseconds deadline = kIdentityDeadline);

// The shares a desktop's gvfs mount (`gvfs`, of type fuse.gvfsd-fuse) holds, a folder each
// ("smb-share:server=nas,share=pics"): each as a drive at its folder, labelled with its share and
// server. Reads the listing of the gvfs folder, which gvfsd-fuse answers from its own list of
// mounts, within `deadline`; none when it does not answer in time.
std::vector<Mount> gvfsShares(const Mount& gvfs,
                              std::chrono::milliseconds deadline = kIdentityDeadline);

// userDrives of the live mount table, with UUIDs and labels, and the shares of gvfs mounts.
// Never waits on a mount for longer than kIdentityDeadline, nor on a device.
std::vector<Mount> mountedDrives();

// What finds a file system again wherever it is mounted next: "UUID=" and its UUID, or, for
// one not on a device (network, FUSE, memory), "SOURCE=" and the mount's source, which need not
// be unique. Empty when there is none: a device's file system whose UUID is not known is not
// told apart from the next card in the same slot.
std::string identity(const Mount& mount);

// Where a file or folder lies: its mount (with UUID and label), that mount's identity, and its
// path below the mount point ("" for the mount point itself, no leading "/").
struct MountedPath {
    Mount mount;
    std::string identity;
    std::string relative;
};

// The mount an open file or folder lies on; nullopt when it cannot be told (it was deleted, or
// the mount table does not list it). Asks the file system for the descriptor's attributes only
// as cached, but may read the device as addIdentities does, within `deadline`.
std::optional<MountedPath> mountOf(int fd, std::chrono::milliseconds deadline = kLookupDeadline);
// The same for a folder on the mount `known` was found on, without reading the mount table
// again; nullopt when it lies on another mount.
std::optional<MountedPath> mountOf(int fd, const MountedPath& known);
// The same for a path, which is looked up: on a drive that may hang, call it with a deadline.
std::optional<MountedPath> mountOf(const std::string& path,
                                   std::chrono::milliseconds deadline = kLookupDeadline);

// The mount where the file system of `identity` is now seen with its folder `root` at the mount
// point, the latest such mount that a path can reach; nullopt when it is not mounted.
// Of several such mounts (an identity that is not unique, as a memory drive's source), the one
// at `mountPoint` is taken when there is one.
std::optional<Mount> findMount(const std::string& identity, const std::string& root = "/",
                               std::chrono::milliseconds deadline = kLookupDeadline,
                               const std::string& mountPoint = {});

// The folder that stands for the drive holding `path`: the mount point of the deepest mount of
// `table` above it, or, on a desktop's mount of network shares (gvfs: one FUSE mount holding a
// folder per share), that share's folder. "/" when the root file system holds it. Reads nothing.
std::string driveFolder(const std::string& path, const std::vector<Mount>& table);

// Whether the drive whose folder driveFolder gave is gone: its mount has left the table, or its
// folder no longer answers (a share unmounted by the desktop, a server gone, a FUSE daemon dead).
// Asks the drive: call it with a deadline.
bool driveGone(const std::string& drive, const std::vector<Mount>& table);

// Whether each call on the drive of `fd` is a round trip to a server or to a FUSE daemon: there,
// calls made at once overlap, and more of them at once pay.
bool callsRoundTrip(int fd);

// How many folders to rename at once on the drive of `fd`: one per core, four per core where each
// call is a round trip.
int foldersAtOnce(int fd);

// Whether a stat of `path` succeeds within `deadline`, the file system asked afresh rather than
// answered from cached attributes. False when it fails (a FUSE daemon that is gone, a missing
// folder) or has not answered in time; the stat is then left to finish on a thread of its own.
bool respondsWithin(const std::string& path, std::chrono::milliseconds deadline);

}  // namespace fs
