#pragma once

// The ways a file system lets us rename without ever replacing an existing name, one object
// each. Each renames, recognises its own rename cut short by a kill, and settles it. Finish, undo
// and recovery ask these objects; nothing else in the program removes a name.

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string>

#include "core/rename_run.h"
#include "fs/file_id.h"

namespace fs {

enum class RenameMethod : unsigned char {
    Unknown,         // not settled yet: no rename has succeeded in the folder
    NoReplaceFlag,   // renameat2 with RENAME_NOREPLACE
    LinkThenUnlink,  // a hard link (which fails where the name exists), then the old name removed
    Reservation,     // an empty file created exclusively under the new name, then renamed onto
};

// What an entry's two names hold now, against the file recorded for it before the rename.
struct NamesNow {
    bool oldHolds = false;        // the old name holds the recorded file
    bool newHolds = false;        // the new name holds the recorded file
    bool newTaken = false;        // the new name holds another file
    bool newIsEmptyFile = false;  // ... which is an empty regular file
    // What the journal recorded of the rename of this entry while the run went on.
    bool recordedLinked = false;       // the new name was linked to the file, and proven so
    bool recordedReservation = false;  // the new name holds the very reservation recorded
};

// Told by the rename what a journal must know to repair a step a kill could leave half done:
// the intent before the call, and the outcome after it where the disk cannot tell it later. An
// intent not recorded (an error returned) stops the step before it is taken.
class RenameObserver {
public:
    virtual ~RenameObserver() = default;
    // The rename is about to link the file to `name`, then remove its old name ...
    virtual int linking(const std::string& name) = 0;
    // ... and linked it.
    virtual int linked(const std::string& name) = 0;
    // The rename is about to make the empty file `name`, to rename onto it ...
    virtual int reserving(const std::string& name) = 0;
    // ... and made it: `st` as read back from the file made.
    virtual int reserved(const std::string& name, const struct stat& st) = 0;
};

// Tells, from a stat of a name, whether it holds a given file: as its drive tells files apart.
using IsFileNow = std::function<bool(const struct stat&)>;

class NoReplaceRename {
public:
    virtual ~NoReplaceRename() = default;
    virtual RenameMethod kind() const = 0;

    // Renames `from` in the folder `fromDir` to `to` in the folder `toDir` (the same drive),
    // never replacing an existing `to`.
    virtual core::RenameStatus rename(int fromDir, const std::string& from, int toDir,
                                      const std::string& to) const = 0;
    core::RenameStatus rename(int dirfd, const std::string& from, const std::string& to) const {
        return rename(dirfd, from, dirfd, to);
    }

    // Whether names that look like `now` are this method's rename cut short between its steps.
    virtual bool cutShort(const NamesNow& now) const = 0;

    // Takes a rename cut short back: the file `isFile` tells under `from` alone. `isLeftover`
    // tells this method's leftover under `to`. Removes only what it proves to be that leftover at
    // that moment. Returns 0, ESTALE when the names no longer look cut short (nothing removed),
    // or the errno of the removal.
    virtual int rollBack(int fromDir, const std::string& from, int toDir, const std::string& to,
                         const IsFileNow& isFile, const IsFileNow& isLeftover) const = 0;

    // Completes a rename cut short where that needs no new rename: the file under `to` alone.
    // EINVAL for a method whose leftover has to be rolled back and renamed again.
    virtual int complete(int fromDir, const std::string& from, int toDir, const std::string& to,
                         const IsFileNow& isFile) const = 0;
};

// The object of one method; `Unknown` has none.
const NoReplaceRename& renameMethod(RenameMethod kind);

// Every method that can leave a rename cut short, for recognising leftovers.
const NoReplaceRename* const* methodsThatCutShort();

// Renames `from` to `to` inside `dirfd` with the method `settled` when one is, else tries the
// flag, then links, then the reservation: the next one whenever a method failed without saying
// the new name is taken and left the old name holding the file and the new one free, whatever
// the drive answered. `settled` is set only by a rename that succeeded: a refusal says nothing
// about what the drive offers (EEXIST comes before the drive is asked). Where every method
// failed for want of the method, the outcome is NoSafeRename; a new name longer than the drive's
// rule (namerule.h) fails with ENAMETOOLONG, whatever the drive said. `observer`, when given,
// hears of each link and reservation made on the way.
core::RenameStatus renameNoReplace(int dirfd, const std::string& from, const std::string& to,
                                   RenameMethod& settled, RenameObserver* observer = nullptr);

// The same, finding the method afresh.
core::RenameStatus renameNoReplace(int dirfd, const std::string& from, const std::string& to);

// The same from the folder `fromDir` into the folder `toDir`. Between two drives it fails with
// EXDEV, replacing nothing.
core::RenameStatus renameNoReplace(int fromDir, const std::string& from, int toDir,
                                   const std::string& to, RenameMethod& settled,
                                   RenameObserver* observer = nullptr);

// Whether the sticky bit is why `name` of the folder `dirfd` may not be moved: a shared folder
// such as /tmp lets only the file's or the folder's owner rename it or take it out.
bool othersFileInStickyFolder(int dirfd, const std::string& name);

}  // namespace fs
