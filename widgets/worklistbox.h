#pragma once

#include <QWidget>

#include "core/worklist.h"

namespace widgets {

// A list box used only as a work list: it holds names and is never shown.
class WorkListBox : public QWidget, public core::WorkList {
    Q_OBJECT
public:
    explicit WorkListBox(QWidget* parent = nullptr) : QWidget(parent) { hide(); }
};

}  // namespace widgets
