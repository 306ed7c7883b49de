#include "platform/error_report.h"

#include <QMessageBox>

#include "platform/display.h"
#include "platform/errors.h"

namespace platform {

namespace {
ErrorReporter& currentReporter() {
    static ErrorReporter reporter;
    return reporter;
}
}  // namespace

void setErrorReporter(ErrorReporter reporter) {
    currentReporter() = std::move(reporter);
}

void reportError(QWidget* parent, const QString& title, const QString& text) {
    if (currentReporter()) {
        currentReporter()(parent, title, text);
        return;
    }
    QMessageBox::critical(parent, title, text);
}

void reportFolderError(QWidget* parent, const std::string& folder, int err) {
    const core::RenameStatus status{err, false, true};
    reportError(parent, QStringLiteral("Kovra"),
                QStringLiteral("フォルダを開けません。\n\nフォルダ： %1\n理由： %2")
                    .arg(displayName(folder), QString::fromStdString(reasonLine(status))));
}

}  // namespace platform
