#pragma once

// The steps of a merge that its run and the finish of a merge cut short share: one file moved
// into the destination, a name taken there settled by content, a copy to another drive. Inside
// the file-system layer only.

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "fs/journal/journal.h"
#include "fs/journal/observer.h"
#include "fs/merge/merge.h"
#include "fs/merge/trash.h"
#include "fs/namerule.h"
#include "fs/rename_methods.h"

namespace fs::merge_steps {

// Device and inode of `st`, whatever the drive's identity kind.
inline FileId inodeIdOf(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

}  // namespace fs::merge_steps

namespace fs {
// Plans for the Trash the files of `plan` whose content another file of it, or of the
// destination, holds (MergeRequest::dedupe): 0, or ECANCELED when `control` stopped it.
int findContentDuplicates(MergePlan& plan, const PlanControl& control);
}  // namespace fs

namespace fs::merge_steps {

// Whether `a` in `dirA` and `b` in `dirB` hold the same content: two regular files of the same
// size and bytes, compared in full, or two links to the same target.
bool sameContent(int dirA, const std::string& a, int dirB, const std::string& b);

// Whether `copy` in `copyDir` is a copy of `original` in `dirfd` that can go without losing a
// byte: all of its bytes and its modification time when the copy was recorded `whole`, else a
// beginning of its bytes (a copy cut short, whatever number the drive gave it; `made` is the file
// the run heard made). A copy changed since is not.
bool isCopyOf(int copyDir, const std::string& copy, FileId made, int dirfd,
              const std::string& original, bool whole);

// The destination name of `name` in the folder whose own name (last component) is
// `folderName`, into `out`: prefixed with the folder's name, unless it carries that prefix already.
void newNameInto(std::string& out, std::string_view folderName, std::string_view name);

// A file's mode and owner, where the drive it lies on may not keep them.
struct Owner {
    std::uint32_t mode = 0;
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
};

// Copies `from` in `fromDir` to `to` in `toDir` on another drive, never replacing: the copy is
// created exclusively, given the original's times, its mode and owner (`owner` in their place,
// when given) and its extended attributes and ACLs, synced and compared in full (bytes and
// attributes), and `toDir` synced; only then is the original removed, if its name still holds the
// file copied (EBUSY when the original was written to meanwhile). `lost` hears of what the drive
// could not hold (CopyLoss bits). `reserved` hears of the copy as soon as it exists (device and
// inode), `copied` once it is whole and checked (as `toKind` tells files apart, with the original's
// own mode and owner), before the original goes. Returns 0 or the errno (EEXIST: `to` is taken); on
// a failure the copy is removed and the original stays.
int copyThenRemove(int fromDir, const std::string& from, int toDir, const std::string& to,
                   IdentityKind toKind, const std::function<int(FileId)>& reserved,
                   const std::function<int(FileId, const Owner&)>& copied,
                   const Owner* owner = nullptr, unsigned* lost = nullptr);

// A copy made in the destination, by its name there and its identity.
struct CopyMade {
    std::string name;
    FileId id;
};

// Moves another name `from` of a file already copied to `made` by a link to that copy named
// `to`, then removes `from` as copyThenRemove does: one file in the destination, as it was one in
// its source. `reserved` hears of the copy's identity before the link is made, `copied` once it
// is made. ESTALE when the copy is no longer that file's (changed, replaced) or the drive makes
// no links: the caller copies it instead. Returns 0 or the errno (EEXIST: `to` is taken).
int linkThenRemove(int fromDir, const std::string& from, int toDir, const CopyMade& made,
                   const std::string& to, IdentityKind toKind,
                   const std::function<int(FileId)>& reserved,
                   const std::function<int(FileId, const Owner&)>& copied);

// A folder files are moved out of.
struct Source {
    int fd = -1;
    std::string path;
    std::size_t section = 0;  // the folder's index in the journal
    bool crossDrive = false;  // its drive is not the destination's: files are copied
    RenameMethod method = RenameMethod::Unknown;
    bool trashKnown = false;  // its Trash, once a duplicate of it went there
    int trashErr = 0;
    TrashFolder trash;
};

struct Outcome {
    enum Kind { Moved, Trashed, Left } kind = Left;
    // The name it got, or would have had: the name given to move(), or one the mover keeps until
    // its next move.
    std::string_view name;
    MergeAction why = MergeAction::Move;
    int err = 0;
    unsigned lost = 0;  // copied to another drive without these (CopyLoss bits)
};

// Moves files into the destination, recording in `journal` (if any) what undo must know, each
// before the call it announces.
class Mover {
public:
    Mover(int destfd, IdentityKind destKind, const MergeFlags& flags, JournalWriter* journal);
    ~Mover();
    // Moves `name` of `source` to `newName` (entry `entry` of its folder in the journal): to the
    // Trash when `newName` holds the same content, to a numbered name or nowhere when other
    // content.
    Outcome move(Source& source, const std::string& name, const std::string& newName,
                 std::uint64_t entry);
    // Sends `name` of `source`, whose content another file holds under another name, to the
    // Trash: `newName` is the name it would have had.
    Outcome trashCopy(Source& source, const std::string& name, const std::string& newName,
                      std::uint64_t entry) {
        return trash(source, name, newName, entry);
    }

private:
    int place(Source& source, const std::string& name, const std::string& to, std::uint64_t entry);
    Outcome trash(Source& source, const std::string& name, const std::string& newName,
                  std::uint64_t entry);
    // The name of the file holding `name` in the destination, as it is spelt there: on a drive
    // that ignores case, perhaps not `name`.
    std::string_view holderOf(const std::string& name);
    int destfd_;
    IdentityKind destKind_;
    MergeFlags flags_;
    JournalWriter* journal_;
    JournalObserver* observer_;
    std::string numbered_;  // the numbered name tried last
    std::string holder_;    // holderOf()'s
    // The copies made of files with more than one name, by the original's device and inode: the
    // other names become links to the same copy.
    std::map<std::pair<std::uint64_t, std::uint64_t>, CopyMade> copies_;
    std::optional<CaseRule>
        destCases_;      // the destination's CaseRule, asked at the first name taken
    unsigned lost_ = 0;  // what the last copy could not carry
};

}  // namespace fs::merge_steps
