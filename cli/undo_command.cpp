// `kovra undo` and `kovra undo --list`: the history of runs, and a run taken back.

#include <ctime>
#include <string>
#include <vector>

#include <QtGlobal>

#include "cli/command_util.h"
#include "cli/commands.h"
#include "cli/text.h"
#include "core/paths.h"
#include "fs/undo/undo.h"

namespace cli {

namespace {

// The local time of `ns` (since the epoch), as the history shows it.
std::string localTime(std::int64_t ns) {
    const std::time_t seconds = static_cast<std::time_t>(ns / 1000000000);
    std::tm parts{};
    char text[32] = "?";
    if (::localtime_r(&seconds, &parts) != nullptr) {
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    }
    return text;
}

std::string stateWord(const fs::RunSummary& run) {
    using State = fs::RunSummary::State;
    switch (run.state) {
        case State::Done:
            return message(QT_TRANSLATE_NOOP("cli", "done"));
        case State::Cancelled:
            return message(QT_TRANSLATE_NOOP("cli", "stopped by the user"));
        case State::CutShort:
            return message(QT_TRANSLATE_NOOP("cli", "cut short"));
        case State::Pending:
            return message(QT_TRANSLATE_NOOP("cli", "cut short, its drive (%1) not connected"),
                           {escaped(run.drive)});
        case State::Kept:
            return message(QT_TRANSLATE_NOOP("cli", "cut short, left so"));
        case State::PartlyUndone:
            return countMessage(QT_TRANSLATE_N_NOOP("cli", "partly undone, %n of %1 back"),
                                static_cast<int>(run.back), {std::to_string(run.backOf)});
        case State::Undone:
            return message(QT_TRANSLATE_NOOP("cli", "undone"));
        case State::InProgress:
            return message(QT_TRANSLATE_NOOP("cli", "in progress"));
        case State::Bad:
            return message(QT_TRANSLATE_NOOP("cli", "damaged"));
    }
    return {};
}

// A run's folders as the history and undo both tell them: the first and how many more (each of
// them, `all`), and a merge's destination after "->".
std::string foldersWords(const std::vector<std::string>& folders, bool merge, bool all) {
    const std::size_t sources = merge && !folders.empty() ? folders.size() - 1 : folders.size();
    std::string words;
    if (sources > 1 && !all) {
        words = countMessage(QT_TRANSLATE_N_NOOP("cli", "%1 and %n more"),
                             static_cast<int>(sources - 1), {escaped(folders[0])});
    } else {
        for (std::size_t i = 0; i < sources; ++i) {
            words += (i == 0 ? "" : ", ") + escaped(folders[i]);
        }
    }
    if (merge && !folders.empty()) {
        words += " -> " + escaped(folders.back());
    }
    return words;
}

// What a run did, as the history tells it: the files it renamed or moved, and those it left; the
// files it meant to, where what it did cannot be known now.
std::string filesWords(const fs::RunSummary& run) {
    if (run.done < 0) {
        return countMessage(QT_TRANSLATE_N_NOOP("cli", "%n files planned"),
                            static_cast<int>(run.files));
    }
    std::string words = run.merge ? countMessage(QT_TRANSLATE_N_NOOP("cli", "%n files moved"),
                                                 static_cast<int>(run.done))
                                  : countMessage(QT_TRANSLATE_N_NOOP("cli", "%n files renamed"),
                                                 static_cast<int>(run.done));
    if (run.files > run.done) {
        words += countMessage(QT_TRANSLATE_N_NOOP("cli", ", %n left"),
                              static_cast<int>(run.files - run.done));
    }
    return words;
}

}  // namespace

int undoListCommand(bool verbose) {
    const std::vector<fs::RunSummary> history = fs::runHistory(fs::stateDirectory());
    int n = 0;
    for (const fs::RunSummary& run : history) {
        // A merge's: its sources, then "->" and its destination. A run over a tree may hold
        // hundreds: the first and how many more, unless all are asked for.
        writeOut(std::to_string(++n) + "  " + localTime(run.startedAt) + "  " + filesWords(run) +
                 "  " + stateWord(run) + "  " + foldersWords(run.folders, run.merge, verbose) +
                 "\n");
    }
    return kSuccess;
}

int undoCommand(int entry, int jobs) {
    using Status = fs::UndoReport::Status;
    holdManyFolders();
    const std::string stateDir = fs::stateDirectory();
    std::string run;
    if (entry == 0) {
        // The newest run still going is not passed over for an older one.
        if (const std::string live = fs::newestRunInProgress(stateDir); !live.empty()) {
            const std::vector<fs::RunSummary> history = fs::runHistory(stateDir);
            const std::string folder =
                !history.empty() && history.front().run == live && !history.front().folders.empty()
                    ? escaped(history.front().folders.front())
                    : escaped(live);
            writeErr(message(QT_TRANSLATE_NOOP("cli",
                                               "%1: the newest run, in %2, is still in "
                                               "progress; nothing was undone\n"),
                             {programName(), folder}));
            return kRunFailed;
        }
        run = fs::lastUndoableRun(stateDir);
    } else if (const std::vector<fs::RunSummary> history = fs::runHistory(stateDir);
               static_cast<std::size_t>(entry) <= history.size()) {
        run = history[static_cast<std::size_t>(entry) - 1].run;
    } else {
        writeErr(message(QT_TRANSLATE_NOOP("cli", "%1: there is no run %2 in the history\n"),
                         {programName(), std::to_string(entry)}));
        return kUsageError;
    }
    fs::UndoControl control;
    control.jobs = jobs;
    const fs::UndoReport report = run.empty() ? fs::UndoReport{} : fs::undoRun(run, control);
    const std::string folder = escaped(report.folder);
    switch (report.status) {
        case Status::Nothing:
            writeErr(message(QT_TRANSLATE_NOOP("cli", "%1: there is no run to undo\n"),
                             {programName()}));
            return kRunFailed;
        case Status::AlreadyUndone:
            writeErr(message(QT_TRANSLATE_NOOP("cli",
                                               "%1: that run was undone already; nothing was "
                                               "changed\n"),
                             {programName()}));
            return kRunFailed;
        case Status::InProgress:
            writeErr(message(QT_TRANSLATE_NOOP("cli",
                                               "%1: that run is still in progress, or being "
                                               "undone; nothing was changed\n"),
                             {programName()}));
            return kRunFailed;
        case Status::DriveAbsent:
            writeErr(message(QT_TRANSLATE_NOOP("cli",
                                               "%1: the drive of %2 (%3) is not connected; "
                                               "nothing was changed, and the run can be undone "
                                               "once it is\n"),
                             {programName(), folder, escaped(report.drive)}));
            return kRunFailed;
        case Status::BadJournal:
            writeErr(message(QT_TRANSLATE_NOOP("cli",
                                               "%1: the record of the run is damaged or "
                                               "unreadable; nothing was changed, and the record "
                                               "was kept as %2\n"),
                             {programName(), escaped(report.run + ".bad")}));
            return kRunFailed;
        case Status::FolderGone:
            writeErr(message(QT_TRANSLATE_NOOP("cli",
                                               "%1: the folder of the last run, %2, is gone; "
                                               "nothing was changed\n"),
                             {programName(), folder}));
            return kRunFailed;
        case Status::CannotExamine:
            writeErr(message(QT_TRANSLATE_NOOP("cli",
                                               "%1: cannot read the folder of the last run, %2: "
                                               "%3; nothing was changed\n"),
                             {programName(), folder, reason(report.err)}));
            return kRunFailed;
        case Status::Done:
            break;
    }
    // Its folders as the history told them.
    const std::string where = foldersWords(report.folders, report.merge, false);
    // A merge moved its files between folders: they are moved back, not renamed.
    std::string said =
        where + ": " +
        (report.merge ? countMessage(QT_TRANSLATE_N_NOOP("cli", "%n files moved back"),
                                     static_cast<int>(report.renamed))
                      : countMessage(QT_TRANSLATE_N_NOOP("cli", "%n files renamed back"),
                                     static_cast<int>(report.renamed)));
    if (report.trashed > 0) {
        said += countMessage(QT_TRANSLATE_N_NOOP("cli", ", %n of them out of the Trash"),
                             static_cast<int>(report.trashed));
    }
    writeOut(said + "\n");
    if (report.leftForLater > 0) {
        writeErr(countMessage(QT_TRANSLATE_N_NOOP("cli",
                                                  "%1: %n files cannot be reached now; they are "
                                                  "left for a later undo\n"),
                              static_cast<int>(report.leftForLater), {programName()}));
    }
    for (const fs::EntryReport& e : report.problems) {
        std::string why;
        switch (e.problem) {
            case fs::EntryProblem::Missing:
                why = message(QT_TRANSLATE_NOOP("cli", "the file was changed, moved or removed"));
                break;
            case fs::EntryProblem::NameTaken:
                why = message(QT_TRANSLATE_NOOP("cli", "a file or folder has the old name now"));
                break;
            case fs::EntryProblem::NoSafeRename:
                why = noSafeRename(e.folder);
                break;
            case fs::EntryProblem::FolderGone:
                why = message(
                    QT_TRANSLATE_NOOP("cli", "its folder is gone, or is another folder now"));
                break;
            case fs::EntryProblem::CannotExamine:
                why = message(QT_TRANSLATE_NOOP("cli", "cannot read its folder: %1"),
                              {reason(e.err)});
                break;
            case fs::EntryProblem::DriveAbsent:
                why = message(QT_TRANSLATE_NOOP("cli", "its drive is not connected"));
                break;
            case fs::EntryProblem::Unreachable:
                why = message(QT_TRANSLATE_NOOP("cli", "it cannot be reached now: %1"),
                              {reason(e.err)});
                break;
            case fs::EntryProblem::RemoveFailed:
            case fs::EntryProblem::RenameFailed:
            case fs::EntryProblem::NotReached:
                why = reason(e.err);
                break;
        }
        // A merge's new name lies in its destination (the last of its folders), whole or not.
        const bool whole = !e.newName.empty() && e.newName.front() == '/';
        const std::string now = whole ? e.newName
                                : report.merge && !report.folders.empty()
                                    ? core::joinPath(report.folders.back(), e.newName)
                                    : core::joinPath(e.folder, e.newName);
        writeErr(message(
            report.merge ? QT_TRANSLATE_NOOP("cli", "%1: cannot move %2 back to %3: %4\n")
                         : QT_TRANSLATE_NOOP("cli", "%1: cannot rename %2 back to %3: %4\n"),
            {programName(), escaped(now), escaped(core::joinPath(e.folder, e.oldName)), why}));
    }
    if (report.syncError != 0) {
        writeErr(message(QT_TRANSLATE_NOOP("cli",
                                           "%1: the renames in %2 were made but may not "
                                           "survive a power cut: %3\n"),
                         {programName(), folder, reason(report.syncError)}));
    }
    return report.problems.empty() && report.syncError == 0 ? kSuccess : kRunFailed;
}

}  // namespace cli
