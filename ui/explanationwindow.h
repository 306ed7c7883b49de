#pragma once

#include "widgets/form.h"

class QPushButton;

namespace widgets {
class Label;
}

namespace ui {

// The explanation window: what the tool does and why, and an OK button that closes it.
class ExplanationWindow : public widgets::Form {
    Q_OBJECT
public:
    ExplanationWindow();

protected:
    void onLoad() override;

private:
    void onOkClicked();

    widgets::Label* textLabel_;
    QPushButton* okButton_;
};

}  // namespace ui
