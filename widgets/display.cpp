#include "widgets/display.h"

namespace widgets {

QString displayName(const std::string& name) {
    QString text = QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
    for (QChar& c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20) {
            c = QChar(char16_t(0x2400 + u));  // the "control pictures" block: ␊ for a newline
        } else if (u == 0x7f) {
            c = QChar(char16_t(0x2421));
        }
    }
    return text;
}

}  // namespace widgets
