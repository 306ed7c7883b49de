// `kovra undo` and `kovra undo --list`: the history of runs, and a run taken back.

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>
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

// The state as scripts read it: the same words in every language.
const char* stateKey(fs::RunSummary::State state) {
    using State = fs::RunSummary::State;
    switch (state) {
        case State::Done:
            return "done";
        case State::Cancelled:
            return "stopped";
        case State::CutShort:
            return "cut-short";
        case State::Pending:
            return "cut-short-drive-absent";
        case State::Kept:
            return "cut-short-left";
        case State::PartlyUndone:
            return "partly-undone";
        case State::Undone:
            return "undone";
        case State::InProgress:
            return "in-progress";
        case State::Bad:
            return "damaged";
    }
    return "";
}

// `text` (UTF-8) as a JSON string.
std::string jsonString(std::string_view text) {
    std::string json = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned char>(c));
            json += code;
        } else {
            json += c;
        }
    }
    return json + '"';
}

// The time `ns` (since the epoch) in ISO 8601, local, with its offset from UTC.
std::string isoTime(std::int64_t ns) {
    const std::time_t seconds = static_cast<std::time_t>(ns / 1000000000);
    std::tm parts{};
    char text[40] = "";
    if (::localtime_r(&seconds, &parts) != nullptr) {
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &parts);
    }
    std::string iso = text;
    if (iso.size() > 2) {
        iso.insert(iso.size() - 2, ":");  // +0900 as +09:00
    }
    return iso;
}

// One run of the history as a JSON object on one line. Names are shown as the list shows them
// (escaped, so always UTF-8).
std::string runJson(int number, const fs::RunSummary& run) {
    const std::size_t sources =
        run.merge && !run.folders.empty() ? run.folders.size() - 1 : run.folders.size();
    std::string folders;
    for (std::size_t i = 0; i < sources; ++i) {
        folders += (i == 0 ? "" : ",") + jsonString(escaped(run.folders[i]));
    }
    std::string json = "{\"number\":" + std::to_string(number) +
                       ",\"time\":" + jsonString(isoTime(run.startedAt)) +
                       ",\"kind\":" + (run.merge ? "\"merge\"" : "\"rename\"") + ",\"state\":\"" +
                       stateKey(run.state) + "\"" + ",\"files\":" + std::to_string(run.files) +
                       ",\"changed\":" + std::to_string(run.changed) +
                       ",\"back\":" + std::to_string(run.back) + ",\"folders\":[" + folders + "]";
    if (run.merge && !run.folders.empty()) {
        json += ",\"destination\":" + jsonString(escaped(run.folders.back()));
    }
    if (run.state == fs::RunSummary::State::Pending) {
        json += ",\"drive\":" + jsonString(escaped(run.drive));
    }
    return json + "}\n";
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

int undoListCommand(bool verbose, bool json) {
    const std::vector<fs::RunSummary> history = fs::runHistory(fs::stateDirectory());
    int n = 0;
    for (const fs::RunSummary& run : history) {
        if (json) {
            writeOut(runJson(++n, run));
            continue;
        }
        // A merge's: its sources, then "->" and its destination. A run over a tree may hold
        // hundreds: the first and how many more, unless all are asked for.
        writeOut(std::to_string(++n) + "  " + localTime(run.startedAt) + "  " + filesWords(run) +
                 "  " + stateWord(run) + "  " + foldersWords(run.folders, run.merge, verbose) +
                 "\n");
    }
    return kSuccess;
}

int undoCommand(int entry, int jobs, ProgressMode progressMode) {
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
    ProgressLine progress(run.empty() ? ProgressMode::Off : progressMode, false);
    if (progress.shown()) {
        control.progress = [&progress](std::int64_t done, std::int64_t total) {
            progress.setDone(done);
            progress.setTotal(total);
            return true;
        };
        control.folder = [&progress](const std::string& folder) { progress.setFolder(folder); };
    }
    fs::UndoReport report = run.empty() ? fs::UndoReport{} : fs::undoRun(run, control);
    if (entry == 0) {
        // Without a number, a run that cannot be undone now (its drive away, its folder gone),
        // which changed nothing, gives way to the next older one, and is named.
        const std::vector<fs::RunSummary> history = fs::runHistory(stateDir);
        auto next = std::find_if(history.begin(), history.end(),
                                 [&](const fs::RunSummary& r) { return r.run == run; });
        while ((report.status == Status::DriveAbsent || report.status == Status::FolderGone) &&
               next != history.end()) {
            writeErr(message(QT_TRANSLATE_NOOP("cli",
                                               "%1: skipped the run of %2 in %3: it cannot be "
                                               "undone now (%4)\n"),
                             {programName(), localTime(next->startedAt), escaped(report.folder),
                              report.status == Status::DriveAbsent
                                  ? message(QT_TRANSLATE_NOOP("cli", "its drive is not connected"))
                                  : message(QT_TRANSLATE_NOOP(
                                        "cli", "its folder is gone, or is another folder now"))}));
            next = std::find_if(std::next(next), history.end(),
                                [](const fs::RunSummary& r) { return fs::undoable(r.run); });
            if (next == history.end()) {
                break;
            }
            report = fs::undoRun(next->run, control);
        }
    }
    progress.finish();
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
                why = renameFailure(e.folder, e.err);
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
