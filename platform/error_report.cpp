#include "platform/error_report.h"

#include <QMessageBox>

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

}  // namespace platform
