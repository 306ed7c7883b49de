#pragma once

#include "core/version.h"
#include "widgets/form.h"

class QPushButton;

namespace widgets {
class Frame;
class Image;
class Label;
}  // namespace widgets

namespace ui {

// The version window: product name, version, logo, the author's credit, the copyright holder and
// its e-mail address.
// Any character key, its OK button or a click on its frame closes it.
class VersionWindow : public widgets::Form {
    Q_OBJECT
public:
    // The version shown is the program's own unless one is given.
    explicit VersionWindow(core::VersionNumbers version = core::kProgramVersion);

    // The holder named by the package's copyright file, and its contact address there.
    static constexpr const char16_t* kAuthorName = u"Kovra Project";
    static constexpr const char16_t* kCreditLine = u"すなはらソフト工房";
    static constexpr const char16_t* kEmailAddress = u"kovra@example.com";

protected:
    void onLoad() override;
    void onKeyPress(int& keyAscii) override;

private:
    void onOkClicked();
    void onFrameClicked();

    core::VersionNumbers version_;

    widgets::Frame* frame_;
    widgets::Label* licenseLabel_;
    widgets::Label* copyrightLabel_;
    widgets::Label* versionLabel_;
    widgets::Label* platformLabel_;
    widgets::Label* creditLabel_;
    widgets::Label* productLabel_;
    QPushButton* okButton_;
    widgets::Label* emailLabel_;
    widgets::Image* logo_;
};

}  // namespace ui
