#pragma once

#include "platform/app_version.h"
#include "platform/form.h"

class QPushButton;

namespace platform {
class Frame;
class Image;
class Label;
}  // namespace platform

// The version window: product name, version, logo, the author's credit, name and e-mail address.
// Any character key, its OK button or a click on its frame closes it.
class w_ver : public platform::Form {
    Q_OBJECT
public:
    // The version shown is the program's own unless one is given.
    explicit w_ver(platform::VersionNumbers version = platform::App::Version);

    // Family name, an ideographic space, given name.
    static constexpr const char16_t* kAuthorName = u"砂原　夏彦";
    static constexpr const char16_t* kCreditLine = u"すなはらソフト工房";
    static constexpr const char16_t* kEmailAddress = u"nt@example.com";

protected:
    void Form_Load() override;
    void Form_KeyPress(int& KeyAscii) override;

private:
    void b_end_Click();
    void Frame1_Click();

    platform::VersionNumbers version_;

    platform::Frame* Frame1;
    platform::Label* lblLicenseTo;
    platform::Label* lblCopyright;
    platform::Label* lblVersion;
    platform::Label* lblPlatform;
    platform::Label* lblCompanyProduct;
    platform::Label* lblProductName;
    QPushButton* b_end;
    platform::Label* Label1;
    platform::Image* imgLogo;
};
