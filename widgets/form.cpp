#include "widgets/form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>

namespace widgets {

Form::Form(Qt::WindowFlags flags) : QWidget(nullptr, flags) {}

Form::~Form() = default;

void Form::load() {
    if (loaded_) {
        return;
    }
    loaded_ = true;
    onLoad();
}

void Form::unload() {
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
    setKeyPreview(false);
    // Later, not now: we may be inside one of our own controls' handlers.
    deleteLater();
}

void Form::setKeyPreview(bool on) {
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

int Form::keyAscii(const QKeyEvent& event) {
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
    int code = keyAscii(*key);
    if (code == 0) {
        return false;
    }
    onKeyPress(code);
    if (code != 0 && !unloaded_) {
        // The control gets the key, and its parents if it passes it on, without this filter
        // seeing it again on the way up.
        forwarding_ = true;
        QApplication::instance()->notify(watched, event);
        forwarding_ = false;
    }
    key->accept();
    return true;
}

}  // namespace widgets
