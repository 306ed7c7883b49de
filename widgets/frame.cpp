#include "widgets/frame.h"

#include <QMouseEvent>

namespace widgets {

Frame::Frame(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::Box | QFrame::Sunken);
}

// A control inside may pass its press on to us; only a press on our own surface starts a click.
static bool onOwnSurface(const QFrame* frame, const QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    return frame->rect().contains(pos) && frame->childAt(pos) == nullptr;
}

void Frame::mousePressEvent(QMouseEvent* event) {
    pressed_ = event->button() == Qt::LeftButton && onOwnSurface(this, event);
    event->accept();
}

void Frame::mouseReleaseEvent(QMouseEvent* event) {
    const bool click = pressed_ && event->button() == Qt::LeftButton && onOwnSurface(this, event);
    pressed_ = false;
    event->accept();
    if (click) {
        emit clicked();
    }
}

}  // namespace widgets
