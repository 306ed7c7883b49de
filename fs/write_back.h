#pragma once

// Whether a drive applies our calls to the files in the order we make them. The reservation
// method creates an empty file under the new name, then renames the file onto it; a FUSE daemon
// that keeps what is written in a cache of its own and sends it to the server later can send
// that empty file after the rename reached the server, and the late upload empties the renamed
// file. Such a drive gets no reservation.

#include <string>

#include "fs/mounts.h"

namespace fs {

enum class WriteBack {
    InOrder,  // what is written reaches the drive before the next call is answered
    Later,    // a cache of the daemon's own sends new files to the server some time later
    Unknown,  // a daemon that may write back later, whose settings cannot be read here
};

// How the mount `mount` writes back, from its type and, for rclone, from the options its daemon
// was started with (found in `proc`, the processes' folder): `--vfs-cache-mode` writes and full
// keep new files for a later upload, off and minimal write a file opened for writing only
// straight through. davfs2 always uploads after a delay. Reads no mounted drive.
WriteBack writeBackOf(const Mount& mount, const std::string& proc = "/proc");

// Whether the drive's daemon answers a rename with RENAME_NOREPLACE by looking at the new name,
// then renaming with a rename that replaces: gvfs moves without overwriting by a stat of the
// target, then a rename that libsmbclient, told "exists", makes by removing the target and trying
// again. A file made between the look and the rename would be lost; a reservation is safer there.
bool flagOnlyLooks(const Mount& mount);

// What the two above say of the drive of the open folder `fd`; InOrder and false where its mount
// cannot be told. Remembered per drive for the life of the process.
struct DriveWays {
    WriteBack writeBack = WriteBack::InOrder;
    bool flagOnlyLooks = false;
};
DriveWays waysOf(int fd);

}  // namespace fs
