// The words of undo and of finishing a run cut short: their reports, and the question a run cut
// short asks at the next start.

#include <cerrno>

#include "core/paths.h"
#include "ui/messages.h"
#include "widgets/display.h"

namespace ui {

namespace {

// At most this many files are named in a report; the rest are counted.
constexpr int kListedProblems = 10;

QString problemReason(const fs::EntryReport& e, bool undo) {
    switch (e.problem) {
        case fs::EntryProblem::Missing:
            // Said of files the run never reached as well: not "changed since the rename".
            return QStringLiteral(
                "元の名前でも新しい名前でも見つかりません（移動・削除されたか、別のファイルに"
                "置き換わっています）");
        case fs::EntryProblem::NameTaken:
            return undo ? QStringLiteral("元の名前のファイル（またはフォルダ）が既にあります")
                        : QStringLiteral("新しい名前のファイル（またはフォルダ）が既にあります");
        case fs::EntryProblem::NoSafeRename:
            return noSafeRenameReason(e.folder, e.err);
        case fs::EntryProblem::RemoveFailed:
            // The fs layer's ESTALE here means the names no longer look as they did when the
            // folder was examined, so nothing was removed: not a network drive's error.
            if (e.err == ESTALE) {
                return QStringLiteral("確認した後に名前が変わっていたため、何も削除していません");
            }
            return QStringLiteral("同じファイルのもう一つの名前を削除できませんでした：") +
                   reasonLine(core::RenameStatus::failed(e.err));
        case fs::EntryProblem::NotReached:
            return QStringLiteral("前のファイルで止まったため、変更していません");
        case fs::EntryProblem::FolderGone:
            return QStringLiteral("フォルダが見つからないか、別のフォルダに置き換わっています");
        case fs::EntryProblem::CannotExamine:
            return QStringLiteral("フォルダを確認できませんでした：") +
                   reasonLine({core::RenameOutcome::FolderUnavailable, e.err});
        case fs::EntryProblem::DriveAbsent:
            return QStringLiteral("ドライブが接続されていません");
        case fs::EntryProblem::Unreachable:
            return QStringLiteral("今は確認できません（あとで元に戻せます）：") +
                   reasonLine({core::RenameOutcome::FolderUnavailable, e.err});
        case fs::EntryProblem::RenameFailed:
            break;
    }
    return reasonLine(core::RenameStatus::failed(e.err));
}

// What kind of run it was, as the reports name it.
QString runKind(bool merge) {
    return merge ? QStringLiteral("フォルダのまとめ") : QStringLiteral("名前の変更");
}

// The run's folder, and how many more it went through; a merge's destination after "→", and
// not among them (as the command line's history counts them).
QString foldersText(const std::string& first, const std::vector<std::string>& folders, bool merge) {
    QString text = widgets::displayName(first);
    const std::size_t sources = merge && !folders.empty() ? folders.size() - 1 : folders.size();
    if (sources > 1) {
        text += QStringLiteral("（ほか %1 個のフォルダ）").arg(sources - 1);
    }
    if (merge && folders.size() > 1) {
        text += QStringLiteral(" → ") + widgets::displayName(folders.back());
    }
    return text;
}

QString problemList(const fs::UndoReport& report, bool undo) {
    if (report.problems.empty()) {
        return {};
    }
    QString text = undo ? QStringLiteral("\n\n元に戻せなかったファイル： %1 個")
                        : QStringLiteral("\n\n名前を変更できなかったファイル： %1 個");
    text = text.arg(report.problems.size());
    int listed = 0;
    for (const fs::EntryReport& e : report.problems) {
        if (listed++ == kListedProblems) {
            text += QStringLiteral("\n・ほか %1 個")
                        .arg(report.problems.size() - static_cast<std::size_t>(kListedProblems));
            break;
        }
        // From the name it has to the name it was to get, with its folder when the run went
        // through several: a merge's new name lies in its destination, the last of them.
        const std::string& name = undo ? e.newName : e.oldName;
        const bool whole = !name.empty() && name.front() == '/';
        const std::string& in =
            undo && report.merge && !report.folders.empty() ? report.folders.back() : e.folder;
        const std::string from =
            whole || report.folders.size() <= 1 ? name : core::joinPath(in, name);
        const std::string& to = undo ? e.oldName : e.newName;
        text +=
            QStringLiteral("\n・%1 → %2\n　理由： %3")
                .arg(widgets::displayName(from), widgets::displayName(to), problemReason(e, undo));
    }
    return text;
}

QString syncNote(const fs::UndoReport& report) {
    if (report.syncError == 0) {
        return {};
    }
    return QStringLiteral(
               "\n\n変更をディスクに書き込めたか確認できませんでした。電源が切れると、変更が失わ"
               "れることがあります。\n理由： %1")
        .arg(reasonLine(core::RenameStatus::failed(report.syncError)));
}

// The reports of a journal that could not be used; empty when the report is of another kind.
QString unusableJournal(fs::UndoReport::Status status, int error, const std::string& folder,
                        const std::string& run, const std::string& drive) {
    using Status = fs::UndoReport::Status;
    switch (status) {
        case Status::BadJournal:
            return QStringLiteral(
                       "名前の変更の記録が壊れているか読み込めないため、使用できません。\n"
                       "ファイルには何も変更を加えていません。\n\n記録は次の名前で残しました：\n%1")
                .arg(widgets::displayName(run + ".bad"));
        case Status::FolderGone:
            return QStringLiteral(
                       "名前を変更したフォルダが見つからないため、元に戻せません。\n"
                       "ファイルには何も変更を加えていません。\n\nフォルダ： %1\n\n"
                       "フォルダが元の場所に戻れば、もう一度お試しいただけます。")
                .arg(widgets::displayName(folder));
        case Status::CannotExamine:
            return QStringLiteral(
                       "名前を変更したフォルダを確認できないため、今は元に戻せません。\n"
                       "ファイルには何も変更を加えていません。あとでもう一度お試しください。\n\n"
                       "フォルダ： %1\n理由： %2")
                .arg(widgets::displayName(folder),
                     reasonLine({core::RenameOutcome::FolderUnavailable, error}));
        case Status::DriveAbsent:
            return QStringLiteral(
                       "ドライブ「%1」が接続されていないため、今は元に戻せません。\n"
                       "ファイルには何も変更を加えていません。ドライブを接続してから、もう一度お試"
                       "しください。\n\nフォルダ： %2")
                .arg(widgets::displayName(drive), widgets::displayName(folder));
        case Status::InProgress:
            return QStringLiteral(
                "この名前の変更はまだ実行中か、ほかのウィンドウで元に戻しているところです。\n"
                "ファイルには何も変更を加えていません。");
        case Status::AlreadyUndone:
            return QStringLiteral(
                "この変更は既に元に戻してあります。\nファイルには何も変更を加えていません。");
        case Status::Nothing:
        case Status::Done:
            break;
    }
    return {};
}

}  // namespace

QString undoReport(const fs::UndoReport& report, const std::string& /*stateDir*/) {
    if (report.status == fs::UndoReport::Status::Nothing) {
        return QStringLiteral("元に戻せる名前の変更はありません。");
    }
    if (report.status != fs::UndoReport::Status::Done) {
        return unusableJournal(report.status, report.err, report.folder, report.run, report.drive);
    }
    QString text =
        report.cancelled ? QStringLiteral(
                               "元に戻す処理を中止しました。残りのファイルは、もう一度「ファイル」"
                               "メニューの「元に戻す」を実行すると元に戻せます。")
        : report.merge            ? (report.problems.empty()
                                         ? QStringLiteral("フォルダのまとめを元に戻しました。")
                                         : QStringLiteral("フォルダのまとめを元に戻しましたが、一部のファイル"
                                                                     "は元に戻せませんでした。"))
        : report.problems.empty() ? QStringLiteral("前回の名前の変更を元に戻しました。")
                                  : QStringLiteral(
                                        "前回の名前の変更を元に戻しましたが、一部のファイルは元に"
                                        "戻せませんでした。");
    text += (report.merge ? QStringLiteral("\n\nフォルダ： %1\n元の場所に戻したファイル： %2 個")
                          : QStringLiteral("\n\nフォルダ： %1\n元の名前に戻したファイル： %2 個"))
                .arg(foldersText(report.folder, report.folders, report.merge))
                .arg(report.renamed);
    if (report.trashed > 0) {
        text += QStringLiteral("（うちゴミ箱から戻したファイル： %1 個）").arg(report.trashed);
    }
    if (report.leftForLater > 0) {
        text +=
            QStringLiteral("\n今は確認できないため残したファイル： %1 個").arg(report.leftForLater);
    }
    text += problemList(report, true);
    if (report.journalKept && !report.problems.empty() && !report.cancelled) {
        text += QStringLiteral("\n\n原因を取り除いてから、もう一度「元に戻す」を実行できます。");
    }
    return text + syncNote(report);
}

QString finishReport(const fs::UndoReport& report, const std::string& /*stateDir*/) {
    if (report.status != fs::UndoReport::Status::Done) {
        return unusableJournal(report.status, report.err, report.folder, report.run, report.drive);
    }
    const QString what =
        report.merge ? QStringLiteral("フォルダのまとめ") : QStringLiteral("名前の変更");
    QString text = report.cancelled ? QStringLiteral(
                                          "途中で終わっていた%1の続きを中止しました。残りのファイル"
                                          "はそのままです。")
                                          .arg(what)
                   : report.problems.empty()
                       ? QStringLiteral("途中で終わっていた%1を、最後まで行いました。").arg(what)
                       : QStringLiteral(
                             "途中で終わっていた%1を続けましたが、一部のファイルは"
                             "変更できませんでした。")
                             .arg(what);
    text += (report.merge ? QStringLiteral("\n\nフォルダ： %1\nまとめ先へ移したファイル： %2 個")
                          : QStringLiteral("\n\nフォルダ： %1\n新しい名前にしたファイル： %2 個"))
                .arg(foldersText(report.folder, report.folders, report.merge))
                .arg(report.renamed);
    if (report.trashed > 0) {
        text += QStringLiteral("（うちゴミ箱へ移したファイル： %1 個）").arg(report.trashed);
    }
    text += problemList(report, false);
    text +=
        QStringLiteral("\n\nこの%1は「ファイル」メニューの「元に戻す」で元に戻せます。").arg(what);
    return text + syncNote(report);
}

QString pendingRunProblemReport(const fs::PendingRun& pending, const std::string& /*stateDir*/) {
    using Status = fs::UndoReport::Status;
    switch (pending.status) {
        case fs::PendingRun::Status::BadJournal:
            return unusableJournal(Status::BadJournal, pending.err, pending.folder, pending.run,
                                   pending.drive);
        case fs::PendingRun::Status::FolderGone:
            return unusableJournal(Status::FolderGone, pending.err, pending.folder, pending.run,
                                   pending.drive);
        case fs::PendingRun::Status::DriveAbsent:
            return QStringLiteral(
                       "前回の%3が途中で終わっていますが、ドライブ「%1」が接続されていませ"
                       "ん。\nファイルには何も変更を加えていません。記録は残してあります。ドライブ"
                       "を接続すると、続きを行うか元に戻すかを選べます。\n\nフォルダ： %2")
                .arg(widgets::displayName(pending.drive), widgets::displayName(pending.folder),
                     runKind(pending.merge));
        case fs::PendingRun::Status::CannotExamine:
            return QStringLiteral(
                       "前回の%3が途中で終わっていますが、そのフォルダを確認できません。\n"
                       "ファイルには何も変更を加えていません。次回の起動時にもう一度確認します。\n"
                       "\n"
                       "フォルダ： %1\n理由： %2")
                .arg(widgets::displayName(pending.folder),
                     reasonLine({core::RenameOutcome::FolderUnavailable, pending.err}),
                     runKind(pending.merge));
        case fs::PendingRun::Status::None:
        case fs::PendingRun::Status::Pending:
            break;
    }
    return {};
}

QString pendingRunQuestion(const fs::PendingRun& pending) {
    if (pending.merge) {
        QString text = QStringLiteral(
                           "前回のフォルダのまとめが途中で終わっています（プログラムが強制終了され"
                           "たか、電源が切れた可能性があります）。\n\nフォルダ： %1\n"
                           "まとめ先へ移したファイル： %2 個\nまだ元の場所にあるファイル： %3 個")
                           .arg(foldersText(pending.folder, pending.folders, pending.merge))
                           .arg(pending.done - pending.trashed)
                           .arg(pending.notDone);
        if (pending.trashed > 0) {
            text += QStringLiteral("\n同じ内容のためゴミ箱へ移したファイル： %1 個")
                        .arg(pending.trashed);
        }
        if (pending.missing > 0) {
            text += QStringLiteral("\nどこにも見つからないファイル： %1 個").arg(pending.missing);
        }
        return text + QStringLiteral(
                          "\n\n残りを最後までまとめるか、移したファイルを元の場所に戻すか、"
                          "このままにするかを選んでください。\n"
                          "このままにした場合も、あとで「ファイル」メニューの「元に戻す」で元に"
                          "戻せます。");
    }
    QString text = QStringLiteral(
                       "前回の名前の変更が途中で終わっています（プログラムが強制終了されたか、"
                       "電源が切れた可能性があります）。\n\nフォルダ： %1\n"
                       "新しい名前になっているファイル： %2 個\nまだ元の名前のファイル： %3 個")
                       .arg(foldersText(pending.folder, pending.folders, pending.merge))
                       .arg(pending.done)
                       .arg(pending.notDone);
    if (pending.missing > 0) {
        text +=
            QStringLiteral("\nどちらの名前でも見つからないファイル： %1 個").arg(pending.missing);
    }
    return text +
           QStringLiteral(
               "\n\n残りの名前の変更を最後まで行うか、変更済みのファイルを元の名前に戻すか、"
               "このままにするかを選んでください。\n"
               "このままにした場合も、あとで「ファイル」メニューの「元に戻す」で元に戻せます。");
}

QStringList pendingRunAnswers(bool merge) {
    if (merge) {
        return {QStringLiteral("最後までまとめる"), QStringLiteral("元の場所に戻す"),
                QStringLiteral("このままにする"), QStringLiteral("記録を消す")};
    }
    return {QStringLiteral("最後まで変更する"), QStringLiteral("元の名前に戻す"),
            QStringLiteral("このままにする"), QStringLiteral("記録を消す")};
}

QString absentDriveQuestion(const fs::PendingRun& pending) {
    return pendingRunProblemReport(pending, {}) +
           QStringLiteral(
               "\n\n記録を消すと、この%1は最後まで行うことも元に戻すこともできなくなります。")
               .arg(runKind(pending.merge));
}

QStringList absentDriveAnswers() {
    return {QStringLiteral("記録を残す"), QStringLiteral("記録を消す")};
}

QString noPendingRunReport() {
    return QStringLiteral("途中で終わった名前の変更やフォルダのまとめはありません。");
}

QString journalFailedQuestion(const std::string& stateDir, int error) {
    return QStringLiteral(
               "元に戻すための記録を保存できませんでした。\n\n保存先： %1\n理由： %2\n\n"
               "このまま名前を変更すると、あとで元に戻すことはできません。\n"
               "元に戻せない状態で名前を変更しますか？")
        .arg(widgets::displayName(stateDir), reasonLine(core::RenameStatus::failed(error)));
}

QStringList journalFailedAnswers() {
    return {QStringLiteral("変更する"), QStringLiteral("やめる")};
}

}  // namespace ui
