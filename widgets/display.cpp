#include "widgets/display.h"

#include <algorithm>
#include <iterator>

#include <QCoreApplication>
#include <QFontMetrics>
#include <QGuiApplication>

#include "core/shown_name.h"
#include "widgets/fonts.h"

namespace widgets {

char32_t trailingBlankMark() {
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) {
        return U'\u2420';
    }
    // Looked at once: the fonts stay those of the start. Names are drawn in the lists' font and
    // in the window's.
    static const char32_t mark = [] {
        const QFontMetrics metrics[] = {
            QFontMetrics(namedFont(QString::fromUtf8("ＭＳ Ｐゴシック"), 12)),
            QFontMetrics(QGuiApplication::font())};
        for (const char32_t candidate : {U'\u2420', U'\u2423'}) {  // ␠, else ␣
            if (std::all_of(
                    std::begin(metrics), std::end(metrics),
                    [candidate](const QFontMetrics& m) { return m.inFontUcs4(candidate); })) {
                return candidate;
            }
        }
        return U'\0';  // \u{0020}, in letters every font has
    }();
    return mark;
}

QString displayName(std::string_view name) {
    const std::string shown = core::shownName(name, trailingBlankMark());
    return QString::fromUtf8(shown.data(), static_cast<qsizetype>(shown.size()));
}

std::optional<std::string> certainNativePath(const QString& path) {
    if (path.isEmpty() || path.contains(QChar::ReplacementCharacter)) {
        return std::nullopt;
    }
    return path.toUtf8().toStdString();
}

}  // namespace widgets
