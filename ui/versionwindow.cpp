#include "ui/versionwindow.h"

#include <QFont>
#include <QWindow>
#include "widgets/button.h"

#include "ui/icon.h"
#include "widgets/fonts.h"
#include "widgets/frame.h"
#include "widgets/label.h"
#include "widgets/twips.h"

namespace ui {

namespace {

QFont designFont(double points, bool bold) {
    return widgets::namedFont(QString::fromUtf16(u"ＭＳ Ｐゴシック"), points, bold);
}

widgets::Label* makeLabel(QWidget* parent, const char* name, int left, int top, int width,
                          int height) {
    auto* label = new widgets::Label(parent);
    label->setObjectName(QLatin1String(name));
    widgets::placeTwips(label, left, top, width, height);
    return label;
}

}  // namespace

VersionWindow::VersionWindow(core::VersionNumbers version)
    : widgets::Form(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      version_(version) {
    setObjectName(QStringLiteral("w_ver"));
    setWindowTitle(QString());
    // An empty title would show the program's name: the window system gets a blank instead,
    // while the window's own title stays empty.
    winId();
    windowHandle()->setTitle(QStringLiteral(" "));
    // Without a title, a screen reader names the window by the menu item that opens it.
    setAccessibleName(QString::fromUtf16(u"バージョン情報"));
    setWindowIcon(ui::programIcon());
    const double dpi = widgets::logicalDpi();
    setFixedSize(widgets::twipsToPixels(7395, dpi), widgets::twipsToPixels(5010, dpi));

    // In tab order; the controls inside frame_ are placed from its corner.
    frame_ = new widgets::Frame(this);
    frame_->setObjectName(QStringLiteral("Frame1"));
    widgets::placeTwips(frame_, 120, 120, 7080, 4050);
    connect(frame_, &widgets::Frame::clicked, this, &VersionWindow::onFrameClicked);

    licenseLabel_ = makeLabel(frame_, "lblLicenseTo", 120, 240, 6855, 255);

    copyrightLabel_ = makeLabel(frame_, "lblCopyright", 4440, 3120, 2415, 255);
    copyrightLabel_->setCaption(QString::fromUtf16(u"著作権"));

    versionLabel_ = makeLabel(frame_, "lblVersion", 4410, 2700, 2445, 285);
    versionLabel_->setFont(designFont(12, true));
    versionLabel_->setCaption(QString::fromUtf16(u"ﾊﾞｰｼﾞｮﾝ"));

    platformLabel_ = makeLabel(frame_, "lblPlatform", 6735, 2340, 120, 315);
    platformLabel_->setFont(designFont(15.75, true));

    creditLabel_ = makeLabel(frame_, "lblCompanyProduct", 2355, 585, 3570, 480);
    creditLabel_->setFont(designFont(18, true));
    creditLabel_->setCaption(QString::fromUtf16(kCreditLine));

    productLabel_ = makeLabel(frame_, "lblProductName", 2520, 1140, 1845, 645);
    productLabel_->setFont(designFont(32.25, true));
    productLabel_->setCaption(QStringLiteral("Kovra"));

    okButton_ = new widgets::Button(QString::fromUtf16(u"Ｏ　　Ｋ"), this);
    okButton_->setObjectName(QStringLiteral("b_end"));
    widgets::placeTwips(okButton_, 6120, 4320, 1095, 495);
    connect(okButton_, &QPushButton::clicked, this, &VersionWindow::onOkClicked);

    emailLabel_ = makeLabel(this, "Label1", 360, 4440, 4695, 375);
    emailLabel_->setFont(designFont(12, false));
    emailLabel_->setCaption(QString::fromUtf16(u"Label1"));

    logo_ = new widgets::Image(frame_);
    logo_->setObjectName(QStringLiteral("imgLogo"));
    widgets::placeTwips(logo_, 480, 1320, 1215, 1185);
    logo_->setPicture(ui::programPixmap());
    logo_->setAccessibleName(QString::fromUtf16(u"Kovra のアイコン"));

    setKeyPreview(true);
}

void VersionWindow::onLoad() {
    versionLabel_->setCaption(
        QString::fromUtf16(u"ﾊﾞｰｼﾞｮﾝ ") + QString::number(version_.majorVersion) + u'.' +
        QString::number(version_.minorVersion) + u'.' + QString::number(version_.revision));
    productLabel_->setCaption(QStringLiteral("Kovra"));
    copyrightLabel_->setCaption(copyrightLabel_->caption() + QStringLiteral("    ") +
                                QString::fromUtf16(kAuthorName));
    emailLabel_->setCaption(QString::fromUtf16(u"  　Ｅ＿ｍａｉｌアドレス　　") +
                            QString::fromUtf16(kEmailAddress) + QStringLiteral("    "));
}

void VersionWindow::onKeyPress(int& keyAscii) {
    (void)keyAscii;
    unload();
}

void VersionWindow::onOkClicked() {
    unload();
}

void VersionWindow::onFrameClicked() {
    unload();
}

}  // namespace ui
