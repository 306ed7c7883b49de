#include "platform/form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>

namespace platform {

Form::Form(Qt::WindowFlags flags) : QWidget(nullptr, flags) {}

Form::~Form() = default;

void Form::Load() {
    if (loaded_) {
        return;
    }
    loaded_ = true;
    Form_Load();
}

void Form::Unload() {
    if (unloaded_) {
        return;
    }
    close();
}

void Form::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    if (!event->isAccepted()) {
        return;
    }
    unloaded_ = true;
    SetKeyPreview(false);
    // Later, not now: we may be inside one of our own controls' handlers.
    deleteLater();
}

void Form::SetKeyPreview(bool on) {
    if (on == keyPreview_ || qApp == nullptr) {
        return;
    }
    keyPreview_ = on;
    // On the application, so that the key is seen whichever of our controls has the focus,
    // before that control handles it.
    if (on) {
        qApp->installEventFilter(this);
    } else {
        qApp->removeEventFilter(this);
    }
}

int Form::KeyAscii(const QKeyEvent& event) {
    switch (event.key()) {
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
        case Qt::Key_Delete:
            return 0;
        default:
            break;
    }
    const QString text = event.text();
    return text.isEmpty() ? 0 : static_cast<int>(text.at(0).unicode());
}

bool Form::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress || forwarding_ || !watched->isWidgetType() ||
        static_cast<QWidget*>(watched)->window() != this) {
        return QWidget::eventFilter(watched, event);
    }
    auto* key = static_cast<QKeyEvent*>(event);
    int keyAscii = KeyAscii(*key);
    if (keyAscii == 0) {
        return false;
    }
    Form_KeyPress(keyAscii);
    if (keyAscii != 0 && !unloaded_) {
        // The control gets the key, and its parents if it passes it on, without this filter
        // seeing it again on the way up.
        forwarding_ = true;
        QApplication::instance()->notify(watched, event);
        forwarding_ = false;
    }
    key->accept();
    return true;
}

}  // namespace platform
