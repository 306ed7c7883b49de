#pragma once

// The one place where an error value becomes the user's words, and the one function that shows
// a report, so tests can take the report instead of blocking on a dialog.

#include <QString>
#include <QStringList>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/rename_run.h"
#include "fs/merge/merge.h"
#include "fs/undo/undo.h"

class QWidget;

namespace ui {

// Why a rename failed, in Japanese, without the error number. A name that is too long is
// reported with its length in bytes and the file system's limit when both are given.
QString renameReason(const core::RenameStatus& status, std::size_t nameBytes = 0,
                     long nameLimit = 0);

// Why a folder cannot be opened, in Japanese, without the error number.
QString folderReason(int error);

// The reason with the error number beside it: "…（エラー番号 28）".
QString reasonLine(const core::RenameStatus& status, std::size_t nameBytes = 0, long nameLimit = 0);

// The reason line for a run that stopped at a failed rename.
QString runFailureReason(const core::RunResult& result);
// Why no file could be renamed on the drive holding `folder`: the drive, named, offers no rename
// that cannot replace a file.
QString noSafeRenameReason(const std::string& folder, int error);

// The whole text of each report.
QString runFailureReport(const core::RunResult& result);
QString folderErrorReport(const std::string& folder, int error);
QString syncFailureReport(const std::string& folder, int error);
// A command started from a file manager failed: what it said on standard error.
QString commandFailedReport(const std::string& said);
// A path given to the program that does not exist or cannot be looked at.
QString pathErrorReport(const std::string& path, int error);
// Paths given to the program that lie in several folders, while the window shows one.
QString severalFoldersReport(const std::vector<std::string>& folders);

// The question before a run whose rename list holds names beginning with ".": how many, and the
// first few.
QString hiddenNamesQuestion(const std::vector<std::string>& hidden);
// Asks it through `ask`: rename them too, leave them out (the default), or cancel (Esc).
core::HiddenNames askAboutHiddenNames(QWidget* parent, const std::vector<std::string>& hidden);

// Undo and recovery of a run. The reports list what could not be done, with reasons.
QString undoReport(const fs::UndoReport& report, const std::string& stateDir);
QString finishReport(const fs::UndoReport& report, const std::string& stateDir);
// Why a pending run cannot be offered (a bad journal, a folder gone, a folder unreadable).
QString pendingRunProblemReport(const fs::PendingRun& pending, const std::string& stateDir);
// The question at start about a run that never ended, and its answers in order.
QString pendingRunQuestion(const fs::PendingRun& pending);
QStringList pendingRunAnswers(bool merge = false);
enum PendingRunAnswer { FinishRun = 0, UndoRun = 1, KeepRun = 2, DropRun = 3 };
// A run cut short whose drive is not connected, asked about through the menu.
QString absentDriveQuestion(const fs::PendingRun& pending);
QStringList absentDriveAnswers();
enum AbsentDriveAnswer { KeepRecord = 0, DropRecord = 1 };
// Asked through the menu, with no run cut short to offer.
QString noPendingRunReport();
// The question when the journal cannot be written, and its answers in order.
QString journalFailedQuestion(const std::string& stateDir, int error);
QStringList journalFailedAnswers();
enum JournalFailedAnswer { RenameWithoutUndo = 0, DoNotRename = 1 };

// What a screen reader says of the file list: its purpose, then how many files it lists and how
// many of them are selected.
QString fileListDescription(const QString& purpose, std::int64_t listed, std::int64_t selected);

// What the file list shows while it reads a folder: the files listed so far.
QString readingStatus(std::int64_t entries);
// What the file list shows when the drive of `folder` does not answer.
QString notAnsweringStatus(const std::string& folder);
// " done / total" after the words of a progress dialog; nothing while the total is not known.
QString progressCount(std::int64_t done, std::int64_t total);
// What the run's progress dialog says while the drive does not answer.
QString runNotAnsweringText(std::int64_t done, std::int64_t total);
// What the progress dialog says while an undo or a finish goes on.
QString undoProgressText(std::int64_t done, std::int64_t total);
QString finishProgressText(std::int64_t done, std::int64_t total);
// What the progress dialog says between a cancel and the moment the work has stopped.
QString stoppingText();
// The report of a run cancelled after `renamed` files; `undoable` when it kept a journal.
QString cancelledRunReport(std::int64_t renamed, bool undoable);
// What the file list shows when the start folder's drive did not answer and home was opened.
QString startNotAnsweringStatus(const std::string& startFolder);

// The report of a run that found another folder at the listed path, and renamed nothing.
QString folderReplacedReport(const std::string& folder);
// What the file list says when the open folder is no longer there and `opened` was opened.
QString folderGoneNotice(const std::string& folder, const std::string& opened);
QString folderReplacedNotice(const std::string& folder);
QString driveGoneNotice(const std::string& drive, const std::string& opened);

// The merge window: what happens to a file, the progress, what a merge did, and why a file was
// left where it was.
QString mergeActionText(fs::MergeAction action);
QString mergeSourceText(const std::string& folderName, std::int64_t files);
QString mergeProgressText(std::int64_t done, std::int64_t total);
QString mergePlanningStatus(std::int64_t files);
// The choice of which folders a new name carries, as the window offers it.
QString mergeNameFromText(fs::NameFrom from);
QString mergePlanSummary(const fs::MergePlan& plan);
QString mergePlanFailedStatus(const std::string& path, int error);
QString mergeReport(const fs::MergeResult& result);
// How the report of a merge is shown: an error when nothing could move, a warning when files
// stayed (or may not survive a power cut, or were stopped), else information.
enum class ReportKind { Information, Warning, Error };
ReportKind mergeReportKind(const fs::MergeResult& result);
QString mergeLeftLine(const fs::LeftFile& file);
// What a copy to another drive could not carry (fs::CopyLoss bits).
QString mergeLostText(unsigned lost);
QString uncertainFolderNameReport(const QString& shown);

// The merge window's pictures: why one cannot be shown, and what is known of its file.
QString pictureMissingText();
QString pictureNotAPictureText();
QString pictureUnreadableText();
QString pictureLoadingText();
QString pictureShownText();
QString pictureFactsText(std::int64_t bytes, std::int64_t modifiedAt, const std::string& folder);
// Over the two pictures of a duplicate: this file, and the copy kept.
QString pictureThisFileTitle();
QString pictureKeptCopyTitle();

// Shows a report; every report the user sees goes through here. The box wraps long names
// anywhere and never grows wider than the screen.
using Reporter = std::function<void(QWidget* parent, const QString& title, const QString& text)>;
// Replaces the reporter; an empty one restores the box.
void setReporter(Reporter reporter);
// An error: something could not be done.
void showReport(QWidget* parent, const QString& text);
// A result the user should know of, not an error. Goes through the same reporter.
void showInformation(QWidget* parent, const QString& text);
// Something done, but not all of it: the user should look.
void showWarning(QWidget* parent, const QString& text);

// Asks a question with `buttons` (captions, left to right) and returns the index of the one
// chosen; Esc or closing the box chooses `escapeButton`. Every question goes through here.
using Asker = std::function<int(QWidget* parent, const QString& text, const QStringList& buttons,
                                int defaultButton, int escapeButton)>;
// Replaces the asker (tests answer without a dialog); an empty one restores the box.
void setAsker(Asker asker);
int ask(QWidget* parent, const QString& text, const QStringList& buttons, int defaultButton,
        int escapeButton);

}  // namespace ui
