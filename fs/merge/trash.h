#pragma once

// The desktop's Trash, in the layout every Linux desktop shares: a Trash folder
// holding files/ and info/, the home Trash for files on its own drive, and `$topdir/.Trash/$uid`
// or `$topdir/.Trash-$uid` at the top of every other drive; file managers list what lies there and
// restore it. Kovra puts files there itself, step by step, so that the name a file gets there is
// known, and recorded, before anything is made: a kill between two steps leaves nothing a later
// undo cannot tell for its own. Names are bytes. No Qt here.

#include <functional>
#include <optional>
#include <string>

#include <sys/stat.h>

#include "fs/rename_methods.h"

namespace fs {

// A file in a Trash: the Trash folder (holding files/ and info/) and its name in files/.
struct TrashedFile {
    std::string trashDir;
    std::string name;
    bool operator==(const TrashedFile&) const = default;
};

// What a Trash's record of a file adds to its name, in the Trash's info/ folder.
inline constexpr char kTrashInfoSuffix[] = ".trashinfo";

// A Trash a file can be put in.
struct TrashFolder {
    std::string dir;     // holds files/ and info/
    std::string topdir;  // the drive's top, which its info files name paths from; empty: home
};

// The Trash a file of the folder `dirfd` goes to: the home Trash when it lies on the same drive,
// else the one at the top of the folder's drive, made if need be (`make`). Returns 0, or ENOTSUP
// when the drive has no Trash the user may use, or the errno.
int trashFor(int dirfd, bool make, TrashFolder& out);

// Whether the Trash can take the file at `path` (absolute): its drive is the home folder's, or has
// a Trash of the user's at its top that exists or can be made, and is not a memory drive, whose
// Trash would go with it at the next start (file managers do not show one there).
bool canTrash(const std::string& path);

// Puts `name` of the folder `dirfd` (at `folder`) in the Trash `trash`, in steps: a free name
// is chosen there and told to `naming` (which records it, and may refuse with an errno) before
// its info file is made exclusively; then the file is moved in, never replacing anything.
// Returns 0 or the errno (ENAMETOOLONG: the name is too long for the Trash's info file); on a
// failure the info file made is removed and the file stays.
int trashFile(int dirfd, const std::string& folder, const std::string& name,
              const TrashFolder& trash, const std::function<int(const std::string&)>& naming,
              std::string& trashName);

// Tells whether a file found in a Trash is the one looked for.
using IsFile = std::function<bool(const struct stat&)>;

// The Trash entry of a file trashed from `path` that `isOurs` recognises, if there is one: for a
// run of a version that did not record where it went.
std::optional<TrashedFile> findTrashed(const std::string& path, const IsFile& isOurs);

// Puts the trashed file `where` back as `name` in the folder `dirfd`, never replacing a file,
// then removes its info file, as restoring from the Trash does. Returns 0 or the errno (EEXIST:
// `name` is taken; ESTALE: the entry no longer holds the file).
int restoreTrashed(const TrashedFile& where, const IsFile& isOurs, int dirfd,
                   const std::string& name, RenameObserver* observer = nullptr);

// Removes the info file of `where` that a trashing of `path` cut short left with no file beside
// it: only while files/ holds nothing under that name and the info file is empty or names
// `path`. Returns 0, ESTALE when it is not such a leftover, or the errno.
int dropTrashInfo(const TrashedFile& where, const std::string& path);

}  // namespace fs
