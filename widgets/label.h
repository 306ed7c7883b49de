#pragma once

#include <QLabel>
#include <QString>

namespace widgets {

// A label: plain text from the top-left corner, where a carriage return starts a new line and
// blanks are kept as they are. It takes clicks on itself; they never reach the control below.
class Label : public QLabel {
    Q_OBJECT
public:
    explicit Label(QWidget* parent = nullptr);

    // The caption as set, carriage returns included.
    const QString& caption() const { return caption_; }
    void setCaption(const QString& caption);

private:
    QString caption_;
};

// An image: shows its picture stretched to its rectangle. Like a label, it takes its clicks.
class Image : public QLabel {
    Q_OBJECT
public:
    explicit Image(QWidget* parent = nullptr);

    void setPicture(const QPixmap& picture) { setPixmap(picture); }
};

}  // namespace widgets
