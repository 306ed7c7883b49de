#include "cli/merge_command.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QtGlobal>
#include <cerrno>
#include <cstdlib>
#include <map>

#include "cli/commands.h"
#include "cli/text.h"
#include "core/paths.h"
#include "fs/merge/merge.h"

namespace cli {

namespace {

std::string programName() {
    return "kovra";
}

std::string canonical(const std::string& path) {
    std::string out;
    if (char* real = ::realpath(path.c_str(), nullptr)) {
        out = real;
        std::free(real);
    }
    return out;
}

std::string whyLeft(fs::MergeAction why, int err, const std::string& taken) {
    switch (why) {
        case fs::MergeAction::LeaveClash:
            return message(QT_TRANSLATE_NOOP("cli", "%1 holds other content"), {escaped(taken)});
        case fs::MergeAction::LeaveDuplicate:
            return message(QT_TRANSLATE_NOOP("cli", "the same as %1, kept"), {escaped(taken)});
        case fs::MergeAction::LeaveHidden:
            return message(QT_TRANSLATE_NOOP("cli", "hidden (its name begins with \".\")"));
        case fs::MergeAction::LeaveLinkToFolder:
            return message(QT_TRANSLATE_NOOP("cli", "a link to a folder"));
        case fs::MergeAction::LeaveNamedLink:
            return message(QT_TRANSLATE_NOOP("cli", "a link to a folder: name the folder itself"));
        case fs::MergeAction::LeaveNameTooLong:
            return message(
                QT_TRANSLATE_NOOP("cli", "its new name %1 is too long for the destination's drive"),
                {escaped(core::fileName(taken))});
        case fs::MergeAction::LeaveFolderLocked:
            return message(QT_TRANSLATE_NOOP("cli", "its folder cannot be changed: %1"),
                           {reason(err)});
        case fs::MergeAction::LeaveDestinationLocked:
            return message(QT_TRANSLATE_NOOP("cli", "the destination cannot be written in: %1"),
                           {reason(err)});
        case fs::MergeAction::LeaveSpecialFile:
            return message(QT_TRANSLATE_NOOP(
                "cli", "a pipe, socket or device, which cannot be copied to another drive"));
        case fs::MergeAction::LeaveNoTrash:
            return message(
                QT_TRANSLATE_NOOP("cli", "the same as %1, and its drive has no Trash to take it"),
                {escaped(taken)});
        case fs::MergeAction::LeaveTrashNameTooLong:
            return message(
                QT_TRANSLATE_NOOP("cli", "the same as %1, and its name is too long for the Trash"),
                {escaped(taken)});
        case fs::MergeAction::LeaveProgramFile:
            return message(QT_TRANSLATE_NOOP("cli", "the running program's own file"));
        case fs::MergeAction::LeaveChanged:
            return message(QT_TRANSLATE_NOOP(
                "cli", "it was changed while it was being copied; its copy was removed"));
        case fs::MergeAction::LeaveOthersFile:
            return message(QT_TRANSLATE_NOOP(
                "cli", "another user's file, in a shared folder where only its owner may move it"));
        case fs::MergeAction::TrashDuplicate:
            // The Trash's refusals, as the plan names them.
            if (err == ENOTSUP || err == ENAMETOOLONG) {
                return whyLeft(err == ENOTSUP ? fs::MergeAction::LeaveNoTrash
                                              : fs::MergeAction::LeaveTrashNameTooLong,
                               0, taken);
            }
            return message(
                QT_TRANSLATE_NOOP("cli", "the same as %1, and cannot go to the Trash: %2"),
                {escaped(taken), reason(err)});
        case fs::MergeAction::Move:
        case fs::MergeAction::MoveNumbered:
            break;
    }
    return message(QT_TRANSLATE_NOOP("cli", "cannot be moved to %1: %2"),
                   {escaped(taken), reason(err)});
}

// What a copy to another drive could not carry, as words.
std::string lostWords(unsigned lost) {
    if ((lost & fs::kLostAttributes) != 0 && (lost & fs::kLostAcl) != 0) {
        return message(QT_TRANSLATE_NOOP("cli", "its extended attributes and its ACL"));
    }
    return (lost & fs::kLostAcl) != 0
               ? message(QT_TRANSLATE_NOOP("cli", "its ACL"))
               : message(QT_TRANSLATE_NOOP("cli", "its extended attributes"));
}

// The folder part of a path as written ("." for a bare name), and its last component.
std::pair<std::string, std::string> splitPath(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return {".", path};
    }
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

class MergeCommand {
public:
    explicit MergeCommand(const MergeOptions& options) : options_(options) {}

    // The request from the command line; false (reported) for wrong usage or a path that cannot
    // be opened.
    int plan(const std::vector<std::string>& paths) {
        fs::MergeRequest& request = request_;
        request.all = options_.all;
        request.keepDuplicates = options_.keepDuplicates;
        request.number = options_.number;
        request.keepFolders = options_.keepFolders;
        request.nameFrom = options_.nameFrom;
        request.dedupe = options_.dedupe;
        if (!destination(paths.back())) {
            return kUsageError;
        }
        bool ok = true;
        for (std::size_t i = 0; i + 1 < paths.size(); ++i) {
            ok = source(paths[i]) && ok;
        }
        if (!ok) {
            return kUsageError;
        }
        std::string failed;
        const int err = fs::planMerge(request, plan_, {}, &failed);
        if (err != 0) {
            cannotOpen(failed, err);
            return kUsageError;
        }
        return kSuccess;
    }

    int dryRun() {
        bool left = false;
        for (std::size_t i = 0; i < plan_.size(); ++i) {
            const fs::PlannedFile file = plan_.at(i);
            const std::string from =
                escaped(core::joinPath(std::string(file.folder), std::string(file.name)));
            const std::string to = core::joinPath(request_.destination, std::string(file.newName));
            switch (file.action) {
                case fs::MergeAction::Move:
                case fs::MergeAction::MoveNumbered:
                    writeOut(from + " -> " + escaped(to) + "\n");
                    break;
                case fs::MergeAction::TrashDuplicate: {
                    // Its new name's holder, or the copy kept under another name.
                    const std::string_view kept = plan_.keptCopyOf(i);
                    writeOut(message(QT_TRANSLATE_NOOP("cli", "%1 -> the Trash (the same as %2)\n"),
                                     {from, escaped(kept.empty() ? to : std::string(kept))}));
                    break;
                }
                default:
                    // Hidden names and links to folders met in the walk stay by design.
                    left = left || (file.action != fs::MergeAction::LeaveHidden &&
                                    file.action != fs::MergeAction::LeaveLinkToFolder);
                    // A copy kept by --keep-duplicates names the file of its content.
                    writeOut(message(QT_TRANSLATE_NOOP("cli", "%1: left: %2\n"),
                                     {from, whyLeft(file.action, file.err,
                                                    plan_.keptCopyOf(i).empty()
                                                        ? to
                                                        : std::string(plan_.keptCopyOf(i)))}));
                    break;
            }
        }
        if (plan_.folderClashes() > 0) {
            writeOut(folderClashNote());
        }
        return left ? kRunFailed : kSuccess;
    }

    int run() {
        fs::MergeRunControl control;
        control.journal = !options_.noUndo;
        ProgressLine progress(options_.progress, options_.verbose);
        if (progress.shown()) {
            control.progress = [&progress](std::int64_t done, std::int64_t total) {
                progress.setDone(done);
                progress.setTotal(total);
                return true;
            };
        }
        if (options_.verbose || progress.shown()) {
            control.moved = [this, &progress](const fs::PlannedFile& file,
                                              const std::string& newName, bool trashed) {
                // The plan's own folder path, which lives as long as the plan.
                progress.setFolderText(file.folder.data());
                if (!options_.verbose) {
                    return;
                }
                const std::string from =
                    escaped(core::joinPath(std::string(file.folder), std::string(file.name)));
                if (trashed) {
                    writeOut(message(QT_TRANSLATE_NOOP("cli", "%1 -> the Trash\n"), {from}));
                } else {
                    writeOut(from + " -> " +
                             escaped(core::joinPath(request_.destination, newName)) + "\n");
                }
            };
        }
        const fs::MergeResult result = fs::runMerge(plan_, control);
        progress.finish();
        switch (result.end) {
            case fs::MergeResult::End::DestinationFailed:
                cannotOpen(request_.destination, result.err);
                return kUsageError;
            case fs::MergeResult::End::JournalFailed:
                writeErr(
                    message(QT_TRANSLATE_NOOP("cli",
                                              "%1: nothing moved: the merge could not be "
                                              "recorded for undo in %2: %3\n"),
                            {programName(), escaped(fs::stateDirectory()), reason(result.err)}));
                return kRunFailed;
            case fs::MergeResult::End::Completed:
            case fs::MergeResult::End::Cancelled:
                break;
        }
        // Copies that stayed by --keep-duplicates name the file of their content.
        std::map<std::string, std::string> keptCopies;
        for (std::size_t i = 0; request_.dedupe != fs::Dedupe::Off && i < plan_.size(); ++i) {
            if (const std::string_view kept = plan_.keptCopyOf(i); !kept.empty()) {
                const fs::PlannedFile file = plan_.at(i);
                keptCopies[core::joinPath(std::string(file.folder), std::string(file.name))] = kept;
            }
        }
        for (const fs::LeftFile& file : result.leftFiles) {
            const auto kept = keptCopies.find(file.path);
            writeErr(message(QT_TRANSLATE_NOOP("cli", "%1: left: %2\n"),
                             {escaped(file.path),
                              whyLeft(file.why, file.err,
                                      kept != keptCopies.end()
                                          ? kept->second
                                          : core::joinPath(request_.destination, file.newName))}));
        }
        if (result.left > 0 && plan_.folderClashes() > 0) {
            writeErr(folderClashNote());
        }
        for (const fs::PartlyKept& file : result.partlyKept) {
            writeErr(message(QT_TRANSLATE_NOOP("cli",
                                               "%1: moved without %2, which its drive cannot "
                                               "hold\n"),
                             {escaped(file.path), lostWords(file.lost)}));
        }
        if (result.syncError != 0) {
            writeErr(
                message(QT_TRANSLATE_NOOP("cli",
                                          "%1: the moves into %2 were made but may not "
                                          "survive a power cut: %3\n"),
                        {programName(), escaped(request_.destination), reason(result.syncError)}));
        }
        return result.left == 0 && result.syncError == 0 ? kSuccess : kRunFailed;
    }

private:
    // Names that clash only because folders of one name lie in different places, and the
    // choice that parts them.
    std::string folderClashNote() const {
        const char* choice = plan_.avoidingChoice() == fs::NameFrom::Path ? "path" : "source";
        return countMessage(QT_TRANSLATE_N_NOOP("cli",
                                                "%1: %n files clash only because folders of one "
                                                "name lie in different places; --name-from=%2 "
                                                "parts them\n"),
                            static_cast<int>(plan_.folderClashes()), {programName(), choice});
    }

    bool usage(const char* text, const std::string& path) {
        writeErr(message(QT_TRANSLATE_NOOP("cli", "%1: %2: %3\n"),
                         {programName(), escaped(path), message(text)}));
        return false;
    }

    void cannotOpen(const std::string& path, int error) {
        writeErr(message(QT_TRANSLATE_NOOP("cli", "%1: cannot open %2: %3\n"),
                         {programName(), escaped(path), reason(error)}));
    }

    // Like mv's: the last path, made by the merge if absent (its folder must exist).
    bool destination(const std::string& written) {
        const std::string path = core::normalizeFolder(written);
        struct stat st {};
        if (path.empty()) {
            cannotOpen(written, ENOENT);
            return false;
        }
        if (::stat(path.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                return usage(QT_TRANSLATE_NOOP("cli", "the destination is not a folder"), written);
            }
            request_.destination = canonical(path);
            destId_ = {st.st_dev, st.st_ino};
            hasDestId_ = true;
        } else if (errno == ENOENT) {
            const auto [folder, name] = splitPath(path);
            const std::string parent = canonical(folder);
            if (parent.empty()) {
                cannotOpen(folder, errno);
                return false;
            }
            if (name == "." || name == "..") {
                cannotOpen(written, ENOENT);
                return false;
            }
            request_.destination = core::joinPath(parent, name);
        } else {
            cannotOpen(written, errno);
            return false;
        }
        return !request_.destination.empty();
    }

    // A source as the system finds it, its last component never followed: a folder by its real
    // path, anything else (a file, a link, a link to a folder) in its real folder.
    bool source(const std::string& written) {
        // A trailing slash would make the system follow a link the path ends in.
        const std::string path = core::normalizeFolder(written);
        struct stat st {};
        if (path.empty() || ::lstat(path.c_str(), &st) != 0) {
            cannotOpen(written, path.empty() ? ENOENT : errno);
            return false;
        }
        const auto [folderPart, name] = splitPath(path);
        std::string resolved;
        if (S_ISDIR(st.st_mode)) {
            // Folders side by side cost one resolution of their folder.
            resolved = name == "." || name == ".." || name.empty()
                           ? canonical(path)
                           : core::joinPath(canonicalFolder(folderPart), name);
            if (hasDestId_ && st.st_dev == destId_.first && st.st_ino == destId_.second) {
                return usage(QT_TRANSLATE_NOOP("cli", "a source cannot be the destination itself"),
                             written);
            }
            if (resolved == "/") {
                return usage(QT_TRANSLATE_NOOP("cli",
                                               "the root folder has no name to put in front of "
                                               "its files"),
                             written);
            }
        } else {
            const std::string folder = canonicalFolder(folderPart);
            if (folder.empty()) {
                cannotOpen(written, errno);
                return false;
            }
            struct stat target {};
            const bool linkToFolder = S_ISLNK(st.st_mode) && ::stat(path.c_str(), &target) == 0 &&
                                      S_ISDIR(target.st_mode);
            if (folder == request_.destination && !linkToFolder) {
                return usage(QT_TRANSLATE_NOOP("cli", "the file is in the destination already"),
                             written);
            }
            resolved = core::joinPath(folder, name);
        }
        request_.sources.push_back(resolved);
        return true;
    }

    // canonical(), remembered for the last folder asked.
    const std::string& canonicalFolder(const std::string& folder) {
        if (folder != lastFolder_) {
            lastFolder_ = folder;
            lastCanonical_ = canonical(folder);
        }
        return lastCanonical_;
    }

    MergeOptions options_;
    fs::MergeRequest request_;
    std::string lastFolder_;
    std::string lastCanonical_;
    fs::MergePlan plan_;
    std::pair<dev_t, ino_t> destId_{};
    bool hasDestId_ = false;
};

}  // namespace

int mergeCommand(const MergeOptions& options, const std::vector<std::string>& paths) {
    MergeCommand command(options);
    if (const int status = command.plan(paths); status != kSuccess) {
        return status;
    }
    return options.dryRun ? command.dryRun() : command.run();
}

}  // namespace cli
