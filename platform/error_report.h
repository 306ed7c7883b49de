#pragma once

#include <QString>
#include <functional>
#include <string>

class QWidget;

namespace platform {

// Every error the user is told about goes through here, so tests can take the report instead
// of blocking on a dialog.
using ErrorReporter =
    std::function<void(QWidget* parent, const QString& title, const QString& text)>;

// Replaces the reporter; an empty one restores the message box.
void setErrorReporter(ErrorReporter reporter);
void reportError(QWidget* parent, const QString& title, const QString& text);

// Reports a folder that cannot be opened, with the reason and its error number.
void reportFolderError(QWidget* parent, const std::string& folder, int err);

}  // namespace platform
