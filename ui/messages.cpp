#include "ui/messages.h"

#include <QDateTime>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <vector>

#include "core/paths.h"
#include "fs/mounts.h"
#include "fs/namerule.h"
#include "fs/write_back.h"
#include "ui/messagedialog.h"
#include "widgets/display.h"

namespace ui {

namespace {

Reporter& currentReporter() {
    static Reporter reporter;
    return reporter;
}

Asker& currentAsker() {
    static Asker asker;
    return asker;
}

QString failedRenameReason(int error, std::size_t nameBytes, long nameLimit) {
    switch (error) {
        case EEXIST:
        case ENOTEMPTY:
            return QStringLiteral("新しい名前のファイル（またはフォルダ）が既にあります");
        case EISDIR:
            return QStringLiteral("新しい名前のフォルダが既にあります");
        case ENOENT:
            return QStringLiteral(
                "ファイルが見つかりません（削除または移動された可能性があります）");
        case EACCES:
            return QStringLiteral(
                "アクセス権がありません（このフォルダを変更する権限がありません）");
        case EPERM:
            return QStringLiteral(
                "この操作は許可されていません（保護されたファイルかフォルダです）");
        case EROFS:
            return QStringLiteral("読み取り専用のドライブです");
        case ENAMETOOLONG:
            // Within the limit the name was not the cause: the whole path was too long.
            if (nameBytes > 0 && nameLimit > 0 && nameBytes > static_cast<std::size_t>(nameLimit)) {
                return QStringLiteral("新しい名前が長すぎます（%1 バイト、上限 %2 バイト）")
                    .arg(nameBytes)
                    .arg(nameLimit);
            }
            return QStringLiteral("名前またはフォルダのパスが長すぎます");
        case ENOSPC:
            return QStringLiteral("ディスクの空き容量が足りません");
        case EDQUOT:
            return QStringLiteral("ディスク使用量の上限（クォータ）に達しました");
        case EBUSY:
        case ETXTBSY:
            return QStringLiteral("ファイルが使用中です");
        case EIO:
            return QStringLiteral("入出力エラーが発生しました（ドライブを確認してください）");
        case EUCLEAN:
            return QStringLiteral(
                "ドライブのファイルシステムが壊れています（ディスクの検査が必要です）");
        case ENOTDIR:
            return QStringLiteral("フォルダが見つかりません");
        case ENODEV:
        case ENXIO:
        case ENOMEDIUM:
            return QStringLiteral("ドライブの準備ができていません");
        case ESTALE:
        case ENOTCONN:
        case ETIMEDOUT:
        case EHOSTDOWN:
        case EHOSTUNREACH:
        case ENETDOWN:
        case ENETUNREACH:
        case ECONNABORTED:
        case ECONNRESET:
            return QStringLiteral(
                "ネットワーク上のドライブに接続できません（接続を確認してください）");
        case EXDEV:
            return QStringLiteral("別のドライブには移動できません");
        case EMLINK:
            return QStringLiteral("ファイルのリンク数が上限に達しています");
        case ELOOP:
            return QStringLiteral("シンボリックリンクの階層が深すぎます");
        case EINVAL:
            // What a drive answers for a name it cannot hold: a character such as : * ? " < > | \,
            // a trailing dot or blank, or a name too long for it.
            return QStringLiteral(
                "このドライブでは、この名前を付けられません（: * ? \" < > | \\ などの文字、名前の"
                "最後の点や空白は使えません。名前が長すぎる可能性もあります）");
        case EOPNOTSUPP:
        case ENOSYS:
            return QStringLiteral("このドライブでは名前を変更できません");
        case ENOKEY:
            return QStringLiteral("暗号化されたフォルダの鍵が読み込まれていません");
        case ENOMEM:
            return QStringLiteral("メモリが足りません");
        case EMFILE:
        case ENFILE:
            return QStringLiteral("開いているファイルが多すぎます");
        case EINTR:
        case EAGAIN:
            return QStringLiteral("処理が中断されました（もう一度やり直してください）");
        case EBADF:
        case EFAULT:
            return QStringLiteral("プログラム内部のエラーです");
        default:
            return QStringLiteral("予期しないエラーです（%1）")
                .arg(QString::fromLocal8Bit(std::strerror(error)));
    }
}

}  // namespace

QString folderReason(int error) {
    switch (error) {
        case ENOENT:
            return QStringLiteral(
                "フォルダが見つかりません（削除または移動された可能性があります）");
        case ENOTDIR:
            return QStringLiteral("フォルダではありません");
        case EACCES:
        case EPERM:
            return QStringLiteral("アクセス権がありません");
        case ETIMEDOUT:
            return QStringLiteral(
                "ドライブが応答しません（接続が切れたか、機器が停止している可能性があります）");
        case EIO:
        case ENODEV:
        case ENXIO:
        case ENOMEDIUM:
        case ESTALE:
            return QStringLiteral(
                "ドライブの準備ができていません（取り外されたか、接続が切れています）");
        default:
            return failedRenameReason(error, 0, 0);
    }
}

QString renameReason(const core::RenameStatus& status, std::size_t nameBytes, long nameLimit) {
    switch (status.outcome) {
        case core::RenameOutcome::NoSafeRename:
            return QStringLiteral(
                "このドライブのファイルシステムでは、既存のファイルを上書きする危険なしに名前を"
                "変更できません");
        case core::RenameOutcome::FolderUnavailable:
            // Nothing was renamed: the folder shown could not be opened any more.
            return folderReason(status.error);
        case core::RenameOutcome::Failed:
            if (status.othersFileInStickyFolder) {
                return QStringLiteral(
                    "別のユーザーのファイルです（このフォルダは共有フォルダのため、ファイルの持ち主"
                    "しか名前を変更できません）");
            }
            break;
        case core::RenameOutcome::Done:
            break;
    }
    return failedRenameReason(status.error, nameBytes, nameLimit);
}

QString reasonLine(const core::RenameStatus& status, std::size_t nameBytes, long nameLimit) {
    return renameReason(status, nameBytes, nameLimit) +
           QStringLiteral("（エラー番号 %1）").arg(status.error);
}

QString noSafeRenameReason(const std::string& folder, int error) {
    const std::optional<fs::MountedPath> drive = fs::mountOf(folder, std::chrono::seconds(2));
    if (!drive) {
        return reasonLine({core::RenameOutcome::NoSafeRename, error});
    }
    if (fs::writeBackOf(drive->mount) != fs::WriteBack::InOrder) {
        return QStringLiteral(
                   "ドライブ %1（%2）は書き込んだ内容を後からサーバーへ送るため、名前を変更すると"
                   "ファイルが空になるおそれがあります。書き込みキャッシュなしでマウントしてくださ"
                   "い"
                   "（rclone では --vfs-cache-mode off か minimal）")
            .arg(widgets::displayName(drive->mount.mountPoint),
                 widgets::displayName(drive->mount.type));
    }
    return QStringLiteral(
               "ドライブ %1（%2）では、既存のファイルを上書きする危険なしに名前を変更できません"
               "（エラー番号 %3）")
        .arg(widgets::displayName(drive->mount.mountPoint), widgets::displayName(drive->mount.type))
        .arg(error);
}

QString runFailureReason(const core::RunResult& result) {
    if (result.status.outcome == core::RenameOutcome::NoSafeRename) {
        return noSafeRenameReason(result.folder, result.status.error);
    }
    if (result.status.outcome == core::RenameOutcome::Failed && result.status.error == ETIMEDOUT) {
        // Named from the mount table alone: the drive itself is not asked again.
        return QStringLiteral(
                   "ドライブ %1 が応答しません（サーバーが止まったか、接続が切れました）"
                   "（エラー番号 %2）")
            .arg(widgets::displayName(fs::driveFolder(result.folder, fs::readMountTable())))
            .arg(result.status.error);
    }
    if (result.status.outcome != core::RenameOutcome::Failed ||
        result.status.error != ENAMETOOLONG) {
        return reasonLine(result.status);
    }
    const fs::NameRule rule = fs::nameRule(result.folder);
    if (rule.unit == fs::NameUnit::Utf16 && !rule.fits(result.failedNewName)) {
        // These drives count UTF-16 code units: a character beyond the BMP (an emoji) is two.
        return QStringLiteral(
                   "新しい名前が長すぎます（%1 文字、上限 %2 文字。絵文字などは 2 "
                   "文字と数えます）（エラー番号 %3）")
            .arg(rule.length(result.failedNewName))
            .arg(rule.max)
            .arg(result.status.error);
    }
    const long limit = rule.unit == fs::NameUnit::Bytes ? static_cast<long>(rule.max) : 0;
    return reasonLine(result.status, result.failedNewName.size(), limit);
}

QString runFailureReport(const core::RunResult& result) {
    QString text = QStringLiteral(
                       "ファイル名を変更できませんでした。ここで処理を止めました。\n\n"
                       "ファイル： %1\n新しい名前： %2\nフォルダ： %3\n理由： %4")
                       .arg(widgets::displayName(result.failedName),
                            widgets::displayName(result.failedNewName),
                            widgets::displayName(result.folder), runFailureReason(result));
    if (result.renamed > 0) {
        text += QStringLiteral("\n\nこれより前の %1 個のファイルは新しい名前になっています。")
                    .arg(result.renamed);
    }
    return text;
}

QString folderErrorReport(const std::string& folder, int error) {
    return QStringLiteral("フォルダを開けません。\n\nフォルダ： %1\n理由： %2")
        .arg(widgets::displayName(folder),
             reasonLine({core::RenameOutcome::FolderUnavailable, error}));
}

QString folderReplacedReport(const std::string& folder) {
    return QStringLiteral(
               "フォルダが、一覧を読んだあとで別のフォルダに置き換えられていました。\n"
               "ファイル名は何も変更していません。ファイル一覧を読み直しました。\n\n"
               "フォルダ： %1")
        .arg(widgets::displayName(folder));
}

QString folderGoneNotice(const std::string& folder, const std::string& opened) {
    return QStringLiteral("フォルダ %1 は名前を変えられたか削除されました。%2 を開きました。")
        .arg(widgets::displayName(folder), widgets::displayName(opened));
}

QString folderReplacedNotice(const std::string& folder) {
    return QStringLiteral("フォルダ %1 は別のフォルダに置き換えられました。読み直しました。")
        .arg(widgets::displayName(folder));
}

QString driveGoneNotice(const std::string& drive, const std::string& opened) {
    return QStringLiteral("ドライブ %1 が取り外されました。%2 を開きました。")
        .arg(widgets::displayName(drive), widgets::displayName(opened));
}

QString commandFailedReport(const std::string& said) {
    return QStringLiteral("Kovra の処理は、一部または全部を行えませんでした。\n\n") +
           QString::fromLocal8Bit(said.data(), static_cast<qsizetype>(said.size())).trimmed();
}

QString pathErrorReport(const std::string& path, int error) {
    return QStringLiteral("指定されたファイルまたはフォルダを開けません。\n\nパス： %1\n理由： %2")
        .arg(widgets::displayName(path),
             reasonLine({core::RenameOutcome::FolderUnavailable, error}));
}

QString severalFoldersReport(const std::vector<std::string>& folders) {
    QString text = QStringLiteral(
        "指定されたファイルは複数のフォルダにあります。一度に開けるのは一つのフォルダだけです。\n");
    for (const std::string& folder : folders) {
        text += QStringLiteral("\n　") + widgets::displayName(folder);
    }
    return text;
}

QString syncFailureReport(const std::string& folder, int error) {
    // The renames happened, but the disk did not confirm them: say so rather than nothing.
    return QStringLiteral(
               "ファイル名の変更をディスクに書き込めたか確認できませんでした。\n"
               "電源が切れると、新しい名前が失われることがあります。\n\n"
               "フォルダ： %1\n理由： %2")
        .arg(widgets::displayName(folder), reasonLine(core::RenameStatus::failed(error)));
}

QString hiddenNamesQuestion(const std::vector<std::string>& hidden) {
    constexpr std::size_t kShown = 5;
    QString names;
    for (std::size_t i = 0; i < hidden.size() && i < kShown; ++i) {
        names += QStringLiteral("　") + widgets::displayName(hidden[i]) + QLatin1Char('\n');
    }
    if (hidden.size() > kShown) {
        names += QStringLiteral("　ほか %1 個\n").arg(hidden.size() - kShown);
    }
    return QStringLiteral(
               "変更するファイルのうち %1 個は、名前が「.」で始まる隠しファイルです。\n%2\n"
               "名前の前にフォルダ名を付けると先頭の「.」がなくなり、隠しファイルではなくなります。"
               "設定ファイルの場合は、それを使うプログラムが読み込めなくなることがあります。\n\n"
               "隠しファイルの名前も変更しますか？")
        .arg(hidden.size())
        .arg(names);
}

core::HiddenNames askAboutHiddenNames(QWidget* parent, const std::vector<std::string>& hidden) {
    // Left out unless the user asks for them: that is the choice that cannot break anything.
    const QStringList buttons{QStringLiteral("隠しファイルも変更する"),
                              QStringLiteral("隠しファイルを除いて変更する"),
                              QStringLiteral("キャンセル")};
    switch (ask(parent, hiddenNamesQuestion(hidden), buttons, 1, 2)) {
        case 0:
            return core::HiddenNames::Rename;
        case 1:
            return core::HiddenNames::LeaveOut;
        default:
            return core::HiddenNames::Cancel;
    }
}

QString readingStatus(std::int64_t entries) {
    return QStringLiteral("ファイルを読み込んでいます… %1 件").arg(entries);
}

QString fileListDescription(const QString& purpose, std::int64_t listed, std::int64_t selected) {
    return purpose + QStringLiteral("。%1 個のファイルのうち %2 個を選択しています。")
                         .arg(listed)
                         .arg(selected);
}

QString notAnsweringStatus(const std::string& folder) {
    return QStringLiteral("ドライブが応答しません。別のドライブかフォルダを選んでください。（%1）")
        .arg(widgets::displayName(folder));
}

QString progressCount(std::int64_t done, std::int64_t total) {
    return total > 0 ? QStringLiteral(" %1 / %2").arg(done).arg(total) : QString();
}

QString mergeActionText(fs::MergeAction action) {
    switch (action) {
        case fs::MergeAction::Move:
            return QStringLiteral("移動");
        case fs::MergeAction::MoveNumbered:
            return QStringLiteral("名前を付けて移動");
        case fs::MergeAction::TrashDuplicate:
            return QStringLiteral("同じ内容：ゴミ箱へ");
        case fs::MergeAction::LeaveDuplicate:
            return QStringLiteral("同じ内容：残す");
        case fs::MergeAction::LeaveClash:
            return QStringLiteral("名前が重なる：残す");
        case fs::MergeAction::LeaveHidden:
            return QStringLiteral("隠しファイル：残す");
        case fs::MergeAction::LeaveLinkToFolder:
        case fs::MergeAction::LeaveNamedLink:
            return QStringLiteral("フォルダへのリンク：残す");
        case fs::MergeAction::LeaveNameTooLong:
            return QStringLiteral("名前が長すぎる：残す");
        case fs::MergeAction::LeaveFolderLocked:
            return QStringLiteral("元のフォルダを変更できない：残す");
        case fs::MergeAction::LeaveDestinationLocked:
            return QStringLiteral("まとめ先に書き込めない：残す");
        case fs::MergeAction::LeaveSpecialFile:
            return QStringLiteral("特殊ファイル：残す");
        case fs::MergeAction::LeaveNoTrash:
            return QStringLiteral("同じ内容・ゴミ箱なし：残す");
        case fs::MergeAction::LeaveTrashNameTooLong:
            return QStringLiteral("同じ内容・ゴミ箱には長すぎる名前：残す");
        case fs::MergeAction::LeaveProgramFile:
            return QStringLiteral("実行中のプログラム：残す");
        case fs::MergeAction::LeaveOthersFile:
            return QStringLiteral("別のユーザーのファイル：残す");
        case fs::MergeAction::LeaveChanged:
            return QStringLiteral("コピー中に変更された：残す");
    }
    return {};
}

QString mergeSourceText(const std::string& folderName, std::int64_t files) {
    return QStringLiteral("%1（%2 個）").arg(widgets::displayName(folderName)).arg(files);
}

QString mergeProgressText(std::int64_t done, std::int64_t total) {
    return QStringLiteral("ファイルを移動しています…") + progressCount(done, total);
}

QString mergePlanningStatus(std::int64_t files) {
    return QStringLiteral("ファイルを調べています… %1 個").arg(files);
}

QString mergeNameFromText(fs::NameFrom from) {
    switch (from) {
        case fs::NameFrom::Source:
            return QStringLiteral("まとめるフォルダの名前");
        case fs::NameFrom::Path:
            return QStringLiteral("まとめるフォルダから下のすべての名前");
        case fs::NameFrom::Folder:
            break;
    }
    return QStringLiteral("ファイルがあったフォルダの名前");
}

QString mergePlanSummary(const fs::MergePlan& plan) {
    using A = fs::MergeAction;
    const std::int64_t left = static_cast<std::int64_t>(plan.size()) - plan.acting();
    QString text = QStringLiteral("移動：%1 個　ゴミ箱へ：%2 個　残す：%3 個")
                       .arg(plan.count(A::Move) + plan.count(A::MoveNumbered))
                       .arg(plan.count(A::TrashDuplicate))
                       .arg(left);
    if (plan.folderClashes() > 0) {
        text += QStringLiteral(
                    "\n同じ名前のフォルダが別々の場所にあるため、%1 個のファイルの名前が"
                    "重なります。名前に付けるフォルダを「%2」にすると重なりません。")
                    .arg(plan.folderClashes())
                    .arg(mergeNameFromText(plan.avoidingChoice()));
    }
    return text;
}

QString mergePlanFailedStatus(const std::string& path, int error) {
    return QStringLiteral("%1 を読めません：%2")
        .arg(widgets::displayName(path), folderReason(error));
}

QString uncertainFolderNameReport(const QString& shown) {
    return QStringLiteral(
               "選ばれたフォルダの名前には表示できない文字があり、どのフォルダか確かめられ"
               "ません。まとめ先は変えていません。\n\nフォルダ： %1\n\n"
               "コマンド「kovra merge」なら、このフォルダもまとめ先にできます。")
        .arg(shown);
}

QString mergeReport(const fs::MergeResult& result) {
    QString head;
    switch (result.end) {
        case fs::MergeResult::End::Completed:
            break;
        case fs::MergeResult::End::Cancelled:
            head = QStringLiteral("中止しました。ファイル → 元に戻す で戻せます。\n\n");
            break;
        case fs::MergeResult::End::DestinationFailed:
            return QStringLiteral(
                       "まとめ先のフォルダを作れないか、開けません。何も移動していません。\n"
                       "理由： %1")
                .arg(reasonLine(core::RenameStatus::failed(result.err)));
        case fs::MergeResult::End::JournalFailed:
            return QStringLiteral(
                       "元に戻すための記録を書けません。何も移動していません。\n"
                       "理由： %1")
                .arg(reasonLine(core::RenameStatus::failed(result.err)));
    }
    // What happened first, in one line: how many moved, how many stayed.
    QString text = head + QStringLiteral("%1 個のファイルを移しました。").arg(result.moved);
    if (result.left > 0) {
        text += QStringLiteral("%1 個は残しました（理由は一覧に）").arg(result.left);
    }
    if (result.trashed > 0) {
        text += QStringLiteral("\n同じ内容の %1 個はゴミ箱に入れました。").arg(result.trashed);
    }
    if (result.leftOut > 0) {
        text += QStringLiteral("\n隠しファイルとフォルダへのリンク %1 個はそのままです。")
                    .arg(result.leftOut);
    }
    if (result.foldersRemoved > 0) {
        text +=
            QStringLiteral("\n空になったフォルダ %1 個を削除しました。").arg(result.foldersRemoved);
    }
    if (!result.partlyKept.empty()) {
        text += QStringLiteral(
                    "\n\n別のドライブに移したファイルのうち %1 個は、移動先のドライブが扱えない"
                    "ため、次のものを移せませんでした：")
                    .arg(result.partlyKept.size());
        constexpr std::size_t kShown = 5;
        for (std::size_t i = 0; i < result.partlyKept.size() && i < kShown; ++i) {
            const fs::PartlyKept& file = result.partlyKept[i];
            text += QStringLiteral("\n%1　（%2）")
                        .arg(widgets::displayName(file.path), mergeLostText(file.lost));
        }
        if (result.partlyKept.size() > kShown) {
            text += QStringLiteral("\nほか %1 個").arg(result.partlyKept.size() - kShown);
        }
    }
    if (result.syncError != 0) {
        text += QStringLiteral("\n\n") +
                QStringLiteral("移動をディスクに書き込めたか確認できませんでした。理由： %1")
                    .arg(reasonLine(core::RenameStatus::failed(result.syncError)));
    }
    return text;
}

ReportKind mergeReportKind(const fs::MergeResult& result) {
    switch (result.end) {
        case fs::MergeResult::End::DestinationFailed:
        case fs::MergeResult::End::JournalFailed:
            return ReportKind::Error;
        case fs::MergeResult::End::Cancelled:
            return ReportKind::Warning;
        case fs::MergeResult::End::Completed:
            break;
    }
    return result.left > 0 || result.syncError != 0 || !result.partlyKept.empty()
               ? ReportKind::Warning
               : ReportKind::Information;
}

QString pictureMissingText() {
    return QStringLiteral("ファイルが見つかりません。");
}

QString pictureNotAPictureText() {
    return QStringLiteral("画像ではないか、表示できない形式のファイルです。");
}

QString pictureUnreadableText() {
    return QStringLiteral("画像を読めません。");
}

QString pictureLoadingText() {
    return QStringLiteral("画像を読んでいます…");
}

QString pictureShownText() {
    return QStringLiteral("画像");
}

QString pictureFactsText(std::int64_t bytes, std::int64_t modifiedAt, const std::string& folder) {
    const QString size = bytes >= 1024 * 1024
                             ? QStringLiteral("%1 MB").arg(double(bytes) / (1024 * 1024), 0, 'f', 1)
                             : QStringLiteral("%1 KB").arg((bytes + 1023) / 1024);
    return QStringLiteral("%1　%2\n%3")
        .arg(size,
             QDateTime::fromSecsSinceEpoch(modifiedAt).toString(QStringLiteral("yyyy/MM/dd HH:mm")),
             widgets::displayName(folder));
}

QString pictureThisFileTitle() {
    return QStringLiteral("このファイル");
}

QString pictureKeptCopyTitle() {
    return QStringLiteral("残す同じ内容のファイル");
}

QString mergeLostText(unsigned lost) {
    if ((lost & fs::kLostAttributes) != 0 && (lost & fs::kLostAcl) != 0) {
        return QStringLiteral("拡張属性とアクセス制御リスト（ACL）");
    }
    return (lost & fs::kLostAcl) != 0 ? QStringLiteral("アクセス制御リスト（ACL）")
                                      : QStringLiteral("拡張属性");
}

QString mergeLeftLine(const fs::LeftFile& file) {
    using A = fs::MergeAction;
    QString why;
    if (file.why == A::TrashDuplicate || file.why == A::Move || file.why == A::MoveNumbered) {
        // A failure of the run: the Trash's own refusals as the plan words them.
        if (file.why == A::TrashDuplicate && (file.err == ENOTSUP || file.err == ENAMETOOLONG)) {
            why = mergeActionText(file.err == ENOTSUP ? A::LeaveNoTrash : A::LeaveTrashNameTooLong);
        } else if (file.why == A::TrashDuplicate) {
            why = QStringLiteral("同じ内容ですが、ゴミ箱に入れられません：") +
                  renameReason(core::RenameStatus::failed(file.err));
        } else {
            why = renameReason(core::RenameStatus::failed(file.err));
        }
    } else if (file.why == A::LeaveChanged) {
        why = QStringLiteral(
            "コピーしている間にファイルが変更されたため、コピーを消して元のファイルを"
            "残しました");
    } else if (file.why == A::LeaveOthersFile) {
        why = QStringLiteral(
            "別のユーザーのファイルです（このフォルダは共有フォルダのため、ファイルの持ち主しか移動"
            "できません）");
    } else if (file.why == A::LeaveNamedLink) {
        why = mergeActionText(file.why) +
              QStringLiteral("。リンクはたどりません。フォルダそのものを選んでください");
    } else {
        // As the preview said, with the drive's reason where there is one.
        why = mergeActionText(file.why);
        if (file.err != 0) {
            why += QStringLiteral("、") + renameReason(core::RenameStatus::failed(file.err));
        }
    }
    return QStringLiteral("%1　（%2）").arg(widgets::displayName(file.path), why);
}

QString runNotAnsweringText(std::int64_t done, std::int64_t total) {
    const QString count = progressCount(done, total);
    return QStringLiteral("ドライブが応答しません。応答があれば続けます。") +
           (count.isEmpty() ? QString() : QStringLiteral("…") + count) +
           QStringLiteral("\nキャンセルすると、処理中のファイルの後で止めます。");
}

QString undoProgressText(std::int64_t done, std::int64_t total) {
    return QStringLiteral("元の名前に戻しています…") + progressCount(done, total);
}

QString finishProgressText(std::int64_t done, std::int64_t total) {
    return QStringLiteral("名前の変更の続きを行っています…") + progressCount(done, total);
}

QString stoppingText() {
    return QStringLiteral("中止しています…");
}

QString cancelledRunReport(std::int64_t renamed, bool undoable) {
    QString text =
        QStringLiteral("中止しました。%1 個のファイルの名前を変更しました。").arg(renamed);
    // A run the user chose to make without a journal cannot be taken back.
    if (undoable) {
        text += QStringLiteral("ファイル → 元に戻す で戻せます。");
    }
    return text;
}

QString startNotAnsweringStatus(const std::string& startFolder) {
    return QStringLiteral(
               "開始フォルダのドライブが応答しないため、ホームフォルダを開きました。（%1）")
        .arg(widgets::displayName(startFolder));
}

void setReporter(Reporter reporter) {
    currentReporter() = std::move(reporter);
}

void showReport(QWidget* parent, const QString& text) {
    const QString title = QStringLiteral("Kovra");
    if (currentReporter()) {
        currentReporter()(parent, title, text);
        return;
    }
    MessageDialog box(parent, MessageDialog::Kind::Error, title, text, {QStringLiteral("OK")}, 0,
                      0);
    box.exec();
}

void showInformation(QWidget* parent, const QString& text) {
    const QString title = QStringLiteral("Kovra");
    if (currentReporter()) {
        currentReporter()(parent, title, text);
        return;
    }
    MessageDialog box(parent, MessageDialog::Kind::Information, title, text, {QStringLiteral("OK")},
                      0, 0);
    box.exec();
}

void showWarning(QWidget* parent, const QString& text) {
    const QString title = QStringLiteral("Kovra");
    if (currentReporter()) {
        currentReporter()(parent, title, text);
        return;
    }
    MessageDialog box(parent, MessageDialog::Kind::Warning, title, text, {QStringLiteral("OK")}, 0,
                      0);
    box.exec();
}

void setAsker(Asker asker) {
    currentAsker() = std::move(asker);
}

int ask(QWidget* parent, const QString& text, const QStringList& buttons, int defaultButton,
        int escapeButton) {
    if (currentAsker()) {
        return currentAsker()(parent, text, buttons, defaultButton, escapeButton);
    }
    MessageDialog box(parent, MessageDialog::Kind::Question, QStringLiteral("Kovra"), text, buttons,
                      defaultButton, escapeButton);
    return box.exec();
}

}  // namespace ui
