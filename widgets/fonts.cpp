#include "widgets/fonts.h"

#include <QStringList>

namespace widgets {

void registerFontSubstitutes() {
    // Proportional faces first for the proportional Windows faces; IPA P Gothic is closest in
    // metrics, so the layouts drawn around those faces still fit.
    const QStringList proportional = {"IPAPGothic",   "IPA Pゴシック",      "Noto Sans CJK JP",
                                      "Noto Sans JP", "VL PGothic",         "TakaoPGothic",
                                      "IPAGothic",    "IPAゴシック",        "VL Gothic",
                                      "TakaoGothic",  "Droid Sans Fallback"};
    const QStringList fixed = {"IPAGothic",     "IPAゴシック",      "Noto Sans Mono CJK JP",
                               "VL Gothic",     "TakaoGothic",      "IPAPGothic",
                               "IPA Pゴシック", "Noto Sans CJK JP", "Droid Sans Fallback"};
    for (const char* face : {"ＭＳ Ｐゴシック", "MS PGothic", "MS UI Gothic"}) {
        QFont::insertSubstitutions(QString::fromUtf8(face), proportional);
    }
    for (const char* face : {"ＭＳ ゴシック", "MS Gothic"}) {
        QFont::insertSubstitutions(QString::fromUtf8(face), fixed);
    }
}

QFont namedFont(const QString& face, double points, bool bold) {
    QFont font(face);
    font.setPointSizeF(points);
    font.setWeight(bold ? QFont::Bold : QFont::Normal);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

QFont windowDefaultFont() {
    return namedFont(QStringLiteral("ＭＳ Ｐゴシック"), 9);
}

}  // namespace widgets
