// One file moved into the destination, and a name taken there settled by content.

#include <fcntl.h>
#include <sys/stat.h>

#include <optional>

#include "core/naming.h"
#include "core/paths.h"
#include "fs/folder_reader.h"
#include "fs/merge/steps.h"
#include "fs/merge/trash.h"
#include "fs/namerule.h"

namespace fs {

namespace merge_steps {

void newNameInto(std::string& out, std::string_view folderName, std::string_view name) {
    core::mergedNameInto(out, folderName, name);
}

Mover::Mover(int destfd, IdentityKind destKind, const MergeFlags& flags, JournalWriter* journal)
    : destfd_(destfd),
      destKind_(destKind),
      flags_(flags),
      journal_(journal),
      observer_(new JournalObserver(journal, 0)) {}

Mover::~Mover() {
    delete observer_;
}

int Mover::place(Source& source, const std::string& name, const std::string& to,
                 std::uint64_t entry) {
    if (!source.crossDrive) {
        observer_->folder = source.section;
        const core::RenameStatus status = renameNoReplace(
            source.fd, name, destfd_, to, source.method, journal_ != nullptr ? observer_ : nullptr);
        if (status.done()) {
            return 0;
        }
        if (status.error != EXDEV) {
            return status.error != 0 ? status.error : EIO;
        }
        source.crossDrive = true;
    }
    if (journal_ != nullptr) {
        if (const int err = journal_->recordCopying(source.section, entry); err != 0) {
            return err;
        }
    }
    const auto reserved = [&](FileId id) {
        return journal_ != nullptr ? journal_->recordCopyMade(source.section, entry, id) : 0;
    };
    const auto copied = [&](FileId id, const Owner& owner) {
        EntryEvents copy;
        copy.copyId = id;
        copy.mode = owner.mode;
        copy.uid = owner.uid;
        copy.gid = owner.gid;
        return journal_ != nullptr ? journal_->recordCopied(source.section, entry, copy) : 0;
    };
    // Another name of a file this merge copied already is linked to that copy, as mv keeps
    // the links it moves in one call.
    struct stat original {};
    const bool found = ::fstatat(source.fd, name.c_str(), &original, AT_SYMLINK_NOFOLLOW) == 0;
    const std::pair<std::uint64_t, std::uint64_t> key{original.st_dev, original.st_ino};
    if (const auto known = copies_.find(key); found && known != copies_.end()) {
        const int err = linkThenRemove(source.fd, name, destfd_, known->second, to, destKind_,
                                       reserved, copied);
        if (err != ESTALE) {
            return err;
        }
    }
    FileId made;
    const int err = copyThenRemove(
        source.fd, name, destfd_, to, destKind_,
        [&](FileId id) {
            made = id;
            return reserved(id);
        },
        copied, nullptr, &lost_);
    if (err == 0 && found && S_ISREG(original.st_mode) && original.st_nlink > 1) {
        copies_[key] = {to, made};
    }
    return err;
}

Outcome Mover::trash(Source& source, const std::string& name, const std::string& newName,
                     std::uint64_t entry) {
    // The Trash of the folder's drive, found once for all its files.
    if (!source.trashKnown) {
        source.trashErr = trashFor(source.fd, true, source.trash);
        source.trashKnown = true;
    }
    if (source.trashErr != 0) {
        return {Outcome::Left, newName, MergeAction::TrashDuplicate, source.trashErr, 0};
    }
    const auto naming = [&](const std::string& trashName) {
        return journal_ != nullptr
                   ? journal_->recordTrashing(source.section, entry, source.trash.dir, trashName)
                   : 0;
    };
    std::string trashName;
    if (const int err = trashFile(source.fd, source.path, name, source.trash, naming, trashName);
        err != 0) {
        return {Outcome::Left, newName, MergeAction::TrashDuplicate, err, 0};
    }
    return {Outcome::Trashed, newName, MergeAction::TrashDuplicate, 0, 0};
}

std::string_view Mover::holderOf(const std::string& name) {
    if (!destCases_) {
        destCases_ = caseRuleAt(destfd_);
    }
    const CaseRule cases = *destCases_;
    if (cases == CaseRule::Exact) {
        return name;
    }
    const std::string key = nameKey(cases, name);
    std::string other;
    holder_ = name;
    readFolder(destfd_, Kinds::NameOnly, [&](const FolderEntry& e) {
        nameKeyInto(other, cases, e.name);
        if (other == key) {
            holder_.assign(e.name);
            return false;
        }
        return true;
    });
    return holder_;
}

Outcome Mover::move(Source& source, const std::string& name, const std::string& newName,
                    std::uint64_t entry) {
    lost_ = 0;
    int err = place(source, name, newName, entry);
    if (err == 0) {
        return {Outcome::Moved, newName, MergeAction::Move, 0, lost_};
    }
    if (err == EPERM && othersFileInStickyFolder(source.fd, name)) {
        return {Outcome::Left, newName, MergeAction::LeaveOthersFile, err, 0};
    }
    if (err == EBUSY && source.crossDrive) {
        return {Outcome::Left, newName, MergeAction::LeaveChanged, err, 0};
    }
    if (err != EEXIST && err != ENOTEMPTY) {
        return {Outcome::Left, newName, MergeAction::Move, err, 0};
    }
    // Told by the name of the file that holds it, as the plan tells it.
    const std::string_view holder = holderOf(newName);
    if (sameContent(source.fd, name, destfd_, newName)) {
        if (flags_.keepDuplicates) {
            return {Outcome::Left, holder, MergeAction::LeaveDuplicate, 0, 0};
        }
        const Outcome trashed = trash(source, name, newName, entry);
        return {trashed.kind, holder, trashed.why, trashed.err, 0};
    }
    if (!flags_.number) {
        return {Outcome::Left, holder, MergeAction::LeaveClash, 0, 0};
    }
    for (int n = 2; n < 100000; ++n) {
        numbered_ = numberedName(newName, n);
        const std::string& candidate = numbered_;
        struct stat st {};
        if (::fstatat(destfd_, candidate.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            continue;  // taken: no need to try it, nor to record it
        }
        if (journal_ != nullptr) {
            if ((err = journal_->recordNumbered(source.section, entry, candidate)) != 0) {
                return {Outcome::Left, candidate, MergeAction::MoveNumbered, err, 0};
            }
        }
        err = place(source, name, candidate, entry);
        if (err == 0) {
            return {Outcome::Moved, candidate, MergeAction::MoveNumbered, 0, lost_};
        }
        if (err != EEXIST && err != ENOTEMPTY) {
            return {Outcome::Left, candidate, MergeAction::MoveNumbered, err, 0};
        }
    }
    return {Outcome::Left, newName, MergeAction::MoveNumbered, EEXIST, 0};
}

}  // namespace merge_steps

std::string numberedName(const std::string& name, int n) {
    const std::size_t dot = name.rfind('.');
    const std::string number = " (" + std::to_string(n) + ")";
    if (dot == std::string::npos || dot == 0) {
        return name + number;
    }
    return name.substr(0, dot) + number + name.substr(dot);
}
}  // namespace fs
