#include "ui/w_setumei.h"

#include <QFont>
#include <QPushButton>

#include "platform/fonts.h"
#include "platform/label.h"
#include "platform/twips.h"
#include "ui/icon.h"

namespace {

// The explanation, piece by piece, each with the carriage returns that follow it. Blanks and
// ideographic spaces at the start of a piece are its indentation.
struct Piece {
    const char16_t* text;
    int returns;
};
constexpr Piece kExplanation[] = {
    {u"  フォルダ名付きのファイル名にリネーム", 1},
    {u"内容:", 1},
    {u"【こんな事している人居ませんか？《私だけでしょうか？　(^^;)　》】", 2},
    {u"    インターネット等で集めた画像データ等はフォルダ単位に類似したファイル名に", 1},
    {u"　なっている事が多いと思います。", 2},
    {u"　そこで現フォルダ名をファイル名に追加した名前にリネームするだけのツール", 1},
    {u"  です。", 2},
    {u"　適当な時期に一つのフォルダに移動させる時に、同一ファイル名ではないので", 1},
    {u"  いちいちリネームする必要は有りません。", 2},
    {u"　果たしてどれだけ利用価値が有るか？　それは疑問ですが・・・(^^;) ", 1},
};

}  // namespace

w_setumei::w_setumei()
    : platform::Form(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("w_setumei"));
    setWindowTitle(QString::fromUtf16(u"説明"));
    setWindowIcon(ui::programIcon());
    const double dpi = platform::logicalDpi();
    setFixedSize(platform::twipsToPixels(9615, dpi), platform::twipsToPixels(6495, dpi));

    // In tab order.
    Label1 = new platform::Label(this);
    Label1->setObjectName(QStringLiteral("Label1"));
    platform::placeTwips(Label1, 240, 360, 9015, 5415);
    Label1->setFont(platform::namedFont(QStringLiteral(u"MS UI Gothic"), 12));

    b_ok = new QPushButton(QString::fromUtf16(u"Ｏ　　Ｋ"), this);
    b_ok->setObjectName(QStringLiteral("b_ok"));
    platform::placeTwips(b_ok, 7920, 6000, 1095, 375);
    // Neither the default nor the cancel button: Enter and Esc do not press it.
    b_ok->setAutoDefault(false);
    b_ok->setDefault(false);
    connect(b_ok, &QPushButton::clicked, this, &w_setumei::b_ok_Click);
}

void w_setumei::Form_Load() {
    QString text;
    for (const Piece& piece : kExplanation) {
        text += QString::fromUtf16(piece.text);
        text += QString(piece.returns, QChar(u'\r'));
    }
    Label1->SetCaption(text);
}

void w_setumei::b_ok_Click() {
    Unload();
}
