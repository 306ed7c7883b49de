#include "ui/messages.h"

#include <QMessageBox>
#include <QPushButton>
#include <cerrno>
#include <cstring>
#include <vector>

#include "core/paths.h"
#include "fs/rename.h"
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
            return QStringLiteral(
                "この名前は使えません（このドライブで使えない文字が含まれている可能性があります）");
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
        case core::RenameOutcome::Done:
        case core::RenameOutcome::Failed:
            break;
    }
    return failedRenameReason(status.error, nameBytes, nameLimit);
}

QString reasonLine(const core::RenameStatus& status, std::size_t nameBytes, long nameLimit) {
    return renameReason(status, nameBytes, nameLimit) +
           QStringLiteral("（エラー番号 %1）").arg(status.error);
}

QString runFailureReason(const core::RunResult& result) {
    const long limit = result.status.error == ENAMETOOLONG ? fs::nameMax(result.folder) : 0;
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

QString syncFailureReport(const std::string& folder, int error) {
    // The renames happened, but the disk did not confirm them: say so rather than nothing.
    return QStringLiteral(
               "ファイル名の変更をディスクに書き込めたか確認できませんでした。\n"
               "電源が切れると、新しい名前が失われることがあります。\n\n"
               "フォルダ： %1\n理由： %2")
        .arg(widgets::displayName(folder), reasonLine(core::RenameStatus::failed(error)));
}

QString readingStatus(std::int64_t entries) {
    return QStringLiteral("ファイルを読み込んでいます… %1 件").arg(entries);
}

QString notAnsweringStatus(const std::string& folder) {
    return QStringLiteral("ドライブが応答しません。別のドライブかフォルダを選んでください。（%1）")
        .arg(widgets::displayName(folder));
}

QString runNotAnsweringText(std::int64_t done, std::int64_t total) {
    return QStringLiteral(
               "ドライブが応答しません。応答があれば続けます。… %1 / %2\n"
               "キャンセルすると、処理中のファイルの後で止めます。")
        .arg(done)
        .arg(total);
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
    QMessageBox::critical(parent, title, text);
}

void showInformation(QWidget* parent, const QString& text) {
    const QString title = QStringLiteral("Kovra");
    if (currentReporter()) {
        currentReporter()(parent, title, text);
        return;
    }
    QMessageBox::information(parent, title, text);
}

void setAsker(Asker asker) {
    currentAsker() = std::move(asker);
}

int ask(QWidget* parent, const QString& text, const QStringList& buttons, int defaultButton,
        int escapeButton) {
    if (currentAsker()) {
        return currentAsker()(parent, text, buttons, defaultButton, escapeButton);
    }
    QMessageBox box(QMessageBox::Question, QStringLiteral("Kovra"), text, QMessageBox::NoButton,
                    parent);
    std::vector<QAbstractButton*> added;
    for (const QString& caption : buttons) {
        added.push_back(box.addButton(caption, QMessageBox::ActionRole));
    }
    if (defaultButton >= 0 && defaultButton < static_cast<int>(added.size())) {
        box.setDefaultButton(static_cast<QPushButton*>(added[defaultButton]));
    }
    if (escapeButton >= 0 && escapeButton < static_cast<int>(added.size())) {
        box.setEscapeButton(added[escapeButton]);
    }
    box.exec();
    for (std::size_t i = 0; i < added.size(); ++i) {
        if (box.clickedButton() == added[i]) {
            return static_cast<int>(i);
        }
    }
    return escapeButton;
}

}  // namespace ui
