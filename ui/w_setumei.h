#pragma once

#include "platform/form.h"

class QPushButton;

namespace platform {
class Label;
}

// The explanation window: what the tool does and why, and an OK button that closes it.
class w_setumei : public platform::Form {
    Q_OBJECT
public:
    w_setumei();

protected:
    void Form_Load() override;

private:
    void b_ok_Click();

    platform::Label* Label1;
    QPushButton* b_ok;
};
