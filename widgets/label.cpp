#include "widgets/label.h"

namespace widgets {

Label::Label(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setAttribute(Qt::WA_NoMousePropagation);
}

void Label::setCaption(const QString& caption) {
    caption_ = caption;
    // Qt draws a lone carriage return as a blank; a line feed is the line break it knows.
    QString shown = caption;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QChar(u'\r'), QChar(u'\n'));
    setText(shown);
}

Image::Image(QWidget* parent) : QLabel(parent) {
    setScaledContents(true);
    setAttribute(Qt::WA_NoMousePropagation);
}

}  // namespace widgets
