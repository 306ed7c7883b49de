#include "ui/explanationwindow.h"

#include <QFont>
#include "widgets/button.h"

#include "ui/icon.h"
#include "widgets/fonts.h"
#include "widgets/label.h"
#include "widgets/twips.h"

namespace ui {

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

ExplanationWindow::ExplanationWindow()
    : widgets::Form(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("w_setumei"));
    setWindowTitle(QString::fromUtf16(u"説明"));
    setWindowIcon(ui::programIcon());
    const double dpi = widgets::logicalDpi();
    setFixedSize(widgets::twipsToPixels(9615, dpi), widgets::twipsToPixels(6495, dpi));

    // In tab order.
    textLabel_ = new widgets::Label(this);
    textLabel_->setObjectName(QStringLiteral("Label1"));
    widgets::placeTwips(textLabel_, 240, 360, 9015, 5415);
    textLabel_->setFont(widgets::namedFont(QStringLiteral(u"MS UI Gothic"), 12));

    okButton_ = new widgets::Button(QString::fromUtf16(u"Ｏ　　Ｋ"), this);
    okButton_->setObjectName(QStringLiteral("b_ok"));
    widgets::placeTwips(okButton_, 7920, 6000, 1095, 375);
    // Neither the default nor the cancel button: Esc does not press it, and Enter only when it
    // has the focus.
    connect(okButton_, &QPushButton::clicked, this, &ExplanationWindow::onOkClicked);
}

void ExplanationWindow::onLoad() {
    QString text;
    for (const Piece& piece : kExplanation) {
        text += QString::fromUtf16(piece.text);
        text += QString(piece.returns, QChar(u'\r'));
    }
    textLabel_->setCaption(text);
}

void ExplanationWindow::onOkClicked() {
    unload();
}

}  // namespace ui
