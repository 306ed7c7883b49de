#include "ui/w_ver.h"

#include <QFont>
#include <QPushButton>

#include "platform/fonts.h"
#include "platform/frame.h"
#include "platform/label.h"
#include "platform/twips.h"
#include "ui/icon.h"

namespace {

QFont designFont(double points, bool bold) {
    return platform::namedFont(QString::fromUtf16(u"ＭＳ Ｐゴシック"), points, bold);
}

platform::Label* makeLabel(QWidget* parent, const char* name, int left, int top, int width,
                           int height) {
    auto* label = new platform::Label(parent);
    label->setObjectName(QLatin1String(name));
    platform::placeTwips(label, left, top, width, height);
    return label;
}

}  // namespace

w_ver::w_ver(platform::VersionNumbers version)
    : platform::Form(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      version_(version) {
    setObjectName(QStringLiteral("w_ver"));
    setWindowTitle(QString());
    setWindowIcon(ui::programIcon());
    const double dpi = platform::logicalDpi();
    setFixedSize(platform::twipsToPixels(7395, dpi), platform::twipsToPixels(5010, dpi));

    // In tab order; the controls inside Frame1 are placed from its corner.
    Frame1 = new platform::Frame(this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    platform::placeTwips(Frame1, 120, 120, 7080, 4050);
    connect(Frame1, &platform::Frame::Click, this, &w_ver::Frame1_Click);

    lblLicenseTo = makeLabel(Frame1, "lblLicenseTo", 120, 240, 6855, 255);

    lblCopyright = makeLabel(Frame1, "lblCopyright", 4440, 3120, 2415, 255);
    lblCopyright->SetCaption(QString::fromUtf16(u"著作権"));

    lblVersion = makeLabel(Frame1, "lblVersion", 4410, 2700, 2445, 285);
    lblVersion->setFont(designFont(12, true));
    lblVersion->SetCaption(QString::fromUtf16(u"ﾊﾞｰｼﾞｮﾝ"));

    lblPlatform = makeLabel(Frame1, "lblPlatform", 6735, 2340, 120, 315);
    lblPlatform->setFont(designFont(15.75, true));

    lblCompanyProduct = makeLabel(Frame1, "lblCompanyProduct", 2355, 585, 3570, 480);
    lblCompanyProduct->setFont(designFont(18, true));
    lblCompanyProduct->SetCaption(QString::fromUtf16(kCreditLine));

    lblProductName = makeLabel(Frame1, "lblProductName", 2520, 1140, 1845, 645);
    lblProductName->setFont(designFont(32.25, true));
    lblProductName->SetCaption(QStringLiteral("Kovra"));

    b_end = new QPushButton(QString::fromUtf16(u"Ｏ　　Ｋ"), this);
    b_end->setObjectName(QStringLiteral("b_end"));
    platform::placeTwips(b_end, 6120, 4320, 1095, 495);
    b_end->setAutoDefault(false);
    connect(b_end, &QPushButton::clicked, this, &w_ver::b_end_Click);

    Label1 = makeLabel(this, "Label1", 360, 4440, 4695, 375);
    Label1->setFont(designFont(12, false));
    Label1->SetCaption(QString::fromUtf16(u"Label1"));

    imgLogo = new platform::Image(Frame1);
    imgLogo->setObjectName(QStringLiteral("imgLogo"));
    platform::placeTwips(imgLogo, 480, 1320, 1215, 1185);
    imgLogo->SetPicture(ui::programPixmap());

    SetKeyPreview(true);
}

void w_ver::Form_Load() {
    lblVersion->SetCaption(QString::fromUtf16(u"ﾊﾞｰｼﾞｮﾝ ") + QString::number(version_.Major) +
                           u'.' + QString::number(version_.Minor) + u'.' +
                           QString::number(version_.Revision));
    lblProductName->SetCaption(QStringLiteral("Kovra"));
    lblCopyright->SetCaption(lblCopyright->Caption() + QStringLiteral("    ") +
                             QString::fromUtf16(kAuthorName));
    Label1->SetCaption(QString::fromUtf16(u"  　Ｅ＿ｍａｉｌアドレス　　") +
                       QString::fromUtf16(kEmailAddress) + QStringLiteral("    "));
}

void w_ver::Form_KeyPress(int& KeyAscii) {
    (void)KeyAscii;
    Unload();
}

void w_ver::b_end_Click() {
    Unload();
}

void w_ver::Frame1_Click() {
    Unload();
}
