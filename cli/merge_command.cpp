#include "cli/merge_command.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QtGlobal>
#include <cerrno>
#include <cstdlib>

#include "cli/commands.h"
#include "cli/text.h"
#include "core/paths.h"
#include "fs/listing.h"
#include "fs/merge/merge.h"

namespace cli {

namespace {

std::string programName() {
    return "kovra";
}

// `path` made absolute and normalized by its words alone, links not followed: the path as the
// user sees it.
std::string lexicalPath(const std::string& path) {
    const std::string absolute =
        !path.empty() && path.front() == '/' ? path : core::joinPath(fs::currentFolder(), path);
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= absolute.size()) {
        std::size_t end = absolute.find('/', start);
        if (end == std::string::npos) {
            end = absolute.size();
        }
        const std::string part = absolute.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string out;
    for (const std::string& part : parts) {
        out += "/" + part;
    }
    return out.empty() ? "/" : out;
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
        case fs::MergeAction::TrashDuplicate:
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
                case fs::MergeAction::TrashDuplicate:
                    writeOut(message(QT_TRANSLATE_NOOP("cli", "%1 -> the Trash (the same as %2)\n"),
                                     {from, escaped(to)}));
                    break;
                case fs::MergeAction::LeaveClash:
                case fs::MergeAction::LeaveDuplicate:
                    left = true;
                    [[fallthrough]];
                case fs::MergeAction::LeaveHidden:
                case fs::MergeAction::LeaveLinkToFolder:
                    writeOut(message(QT_TRANSLATE_NOOP("cli", "%1: left: %2\n"),
                                     {from, whyLeft(file.action, 0, to)}));
                    break;
            }
        }
        return left ? kRunFailed : kSuccess;
    }

    int run() {
        fs::MergeRunControl control;
        control.journal = !options_.noUndo;
        if (options_.verbose) {
            control.moved = [this](const fs::PlannedFile& file, const std::string& newName,
                                   bool trashed) {
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
        for (const fs::LeftFile& file : result.leftFiles) {
            writeErr(message(
                QT_TRANSLATE_NOOP("cli", "%1: left: %2\n"),
                {escaped(file.path),
                 whyLeft(file.why, file.err, core::joinPath(request_.destination, file.newName))}));
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
    bool destination(const std::string& path) {
        struct stat st {};
        if (path.empty()) {
            cannotOpen(path, ENOENT);
            return false;
        }
        if (::stat(path.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                return usage(QT_TRANSLATE_NOOP("cli", "the destination is not a folder"), path);
            }
            request_.destination = canonical(path);
            destId_ = {st.st_dev, st.st_ino};
            hasDestId_ = true;
        } else if (errno == ENOENT) {
            const std::string lexical = lexicalPath(path);
            const std::string parent = canonical(core::parentFolder(lexical));
            if (parent.empty()) {
                cannotOpen(core::parentFolder(lexical), errno);
                return false;
            }
            request_.destination = core::joinPath(parent, core::fileName(lexical));
        } else {
            cannotOpen(path, errno);
            return false;
        }
        destLexical_ = lexicalPath(path);
        return !request_.destination.empty();
    }

    bool source(const std::string& path) {
        struct stat st {};
        if (path.empty() || ::lstat(path.c_str(), &st) != 0) {
            cannotOpen(path, path.empty() ? ENOENT : errno);
            return false;
        }
        struct stat target = st;
        const bool isFolder = (S_ISLNK(st.st_mode) ? ::stat(path.c_str(), &target) == 0 : true) &&
                              S_ISDIR(target.st_mode);
        const std::string lexical = lexicalPath(path);
        std::string resolved;
        if (isFolder) {
            // A folder that is no link is its canonical folder's child: sources side by side
            // cost one resolution of their folder.
            resolved = S_ISLNK(st.st_mode) || path.find("..") != std::string::npos
                           ? canonical(path)
                           : core::joinPath(canonicalFolder(core::parentFolder(lexical)),
                                            core::fileName(lexical));
            if (hasDestId_ && target.st_dev == destId_.first && target.st_ino == destId_.second) {
                return usage(QT_TRANSLATE_NOOP("cli", "a source cannot be the destination itself"),
                             path);
            }
            if (resolved == "/") {
                return usage(QT_TRANSLATE_NOOP("cli",
                                               "the root folder has no name to put in front of "
                                               "its files"),
                             path);
            }
            // Above the destination as written: the destination is left out of its walk. Above
            // it only through a link is a mistake more likely than a wish.
            if (core::isUnder(request_.destination, resolved) &&
                !core::isUnder(destLexical_, lexical)) {
                return usage(QT_TRANSLATE_NOOP("cli",
                                               "the destination lies inside this source through "
                                               "a link"),
                             path);
            }
        } else {
            const std::string folder = canonicalFolder(core::parentFolder(lexical));
            if (folder.empty()) {
                cannotOpen(path, errno);
                return false;
            }
            if (folder == request_.destination) {
                return usage(QT_TRANSLATE_NOOP("cli", "the file is in the destination already"),
                             path);
            }
            resolved = core::joinPath(folder, core::fileName(lexical));
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
    std::string destLexical_;
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
