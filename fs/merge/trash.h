#pragma once

// The desktop's Trash (the freedesktop.org layout of files/ and info/), through GIO: a file is put
// there by g_file_trash, so that file managers and `gio trash` list it and restore it. GIO does not
// say where the file went; it is found again by its entry's info file (the path it came from) and
// by the file's own identity, which a move within the drive keeps. Names are bytes. No Qt here.

#include <functional>
#include <optional>
#include <string>

#include <sys/stat.h>

namespace fs {

// A file in a Trash: the Trash folder (holding files/ and info/) and its name in files/.
struct TrashedFile {
    std::string trashDir;
    std::string name;
    bool operator==(const TrashedFile&) const = default;
};

// What a Trash's record of a file adds to its name, in the Trash's info/ folder.
inline constexpr char kTrashInfoSuffix[] = ".trashinfo";

// Whether the Trash can take the file at `path` (absolute), as GIO itself answers it: its drive
// is the home folder's, or has a Trash of the user's at its top that exists or can be made, and
// is no system mount (a tmpfs, say). What it says is what g_file_trash then does.
bool canTrash(const std::string& path);

// Tells whether a file found in a Trash is the one looked for.
using IsFile = std::function<bool(const struct stat&)>;

// Puts the file at `path` (absolute) in the Trash, and finds where it went: the entry whose info
// file names `path` and whose file `isOurs` recognises. Returns 0, or the errno (ENOTSUP: the
// drive has no Trash the user may use; ENAMETOOLONG: the name is too long for the Trash's record
// of it); `where` is set when found (a file trashed but not found
// again is still in the Trash: 0 is returned and `where` is empty).
int trashFile(const std::string& path, const IsFile& isOurs, std::optional<TrashedFile>& where);

// The Trash entry of a file trashed from `path` that `isOurs` recognises, if there is one: for a
// trash whose recording was cut short.
std::optional<TrashedFile> findTrashed(const std::string& path, const IsFile& isOurs);

// Whether the entry `where` still holds a file `isOurs` recognises.
bool holdsTrashed(const TrashedFile& where, const IsFile& isOurs);

// Puts the trashed file `where` back as `name` in the folder `dirfd`, never replacing a file,
// then removes its info file, as restoring from the Trash does. Returns 0 or the errno (EEXIST:
// `name` is taken; ESTALE: the entry no longer holds the file).
int restoreTrashed(const TrashedFile& where, const IsFile& isOurs, int dirfd,
                   const std::string& name);

}  // namespace fs
