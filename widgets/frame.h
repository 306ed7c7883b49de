#pragma once

#include <QFrame>

namespace widgets {

// A frame without a title: its controls are placed from its own corner. `clicked` fires for a
// click on the frame's own surface, not for one on a control inside it.
class Frame : public QFrame {
    Q_OBJECT
public:
    explicit Frame(QWidget* parent = nullptr);

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool pressed_ = false;
};

}  // namespace widgets
