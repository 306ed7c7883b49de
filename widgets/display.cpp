#include "widgets/display.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <array>
#include <optional>

#include "widgets/fonts.h"

namespace widgets {

namespace {

// 0x00-0x1f, then DEL.
constexpr int kControls = 33;

int controlIndex(char16_t u) {
    return u < 0x20 ? u : (u == 0x7f ? 32 : -1);
}

// The control character's symbol from the "control pictures" block (␊ for a newline) where an
// installed font draws it; otherwise the escape `ls -b` writes, so it never shows as a box.
QString controlForm(int index, const QFontMetrics* metrics) {
    const char16_t picture = index < 32 ? char16_t(0x2400 + index) : char16_t(0x2421);
    if (metrics != nullptr && metrics->inFontUcs4(picture)) {
        return QString(QChar(picture));
    }
    switch (index) {
        case '\t':
            return QStringLiteral("\\t");
        case '\n':
            return QStringLiteral("\\n");
        case '\r':
            return QStringLiteral("\\r");
        default:
            return QStringLiteral("\\%1").arg(index < 32 ? index : 0x7f, 3, 8, QLatin1Char('0'));
    }
}

const std::array<QString, kControls>& controlForms() {
    // Asked once: the fonts do not change while the program runs. The lists' face stands for all
    // faces here, since they share the same fallbacks.
    static const std::array<QString, kControls> forms = [] {
        std::array<QString, kControls> result;
        std::optional<QFontMetrics> metrics;
        if (qGuiApp != nullptr) {
            metrics.emplace(windowDefaultFont());
        }
        for (int i = 0; i < kControls; ++i) {
            result[static_cast<std::size_t>(i)] = controlForm(i, metrics ? &*metrics : nullptr);
        }
        return result;
    }();
    return forms;
}

}  // namespace

QString displayName(const std::string& name) {
    const QString text = QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
    qsizetype first = 0;
    while (first < text.size() && controlIndex(text[first].unicode()) < 0) {
        ++first;
    }
    if (first == text.size()) {
        return text;  // the usual case: nothing to replace
    }
    const std::array<QString, kControls>& forms = controlForms();
    QString shown = text.left(first);
    for (qsizetype i = first; i < text.size(); ++i) {
        const int index = controlIndex(text[i].unicode());
        if (index < 0) {
            shown += text[i];
        } else {
            shown += forms[static_cast<std::size_t>(index)];
        }
    }
    return shown;
}

}  // namespace widgets
