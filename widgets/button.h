#pragma once

#include <QKeyEvent>
#include <QPushButton>

namespace widgets {

// A command button as the windows were designed with: the focused button is pressed by Enter as
// well as by Space, and no button is a default that takes Enter from other controls.
class Button : public QPushButton {
public:
    explicit Button(const QString& caption, QWidget* parent = nullptr)
        : QPushButton(caption, parent) {
        setAutoDefault(false);
        setDefault(false);
    }

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
            !event->isAutoRepeat()) {
            animateClick();
            event->accept();
            return;
        }
        QPushButton::keyPressEvent(event);
    }
};

}  // namespace widgets
