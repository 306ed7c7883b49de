#pragma once

#include <QWidget>

#include "core/worklist.h"

namespace platform {

// A list box used only as a work list: it holds names and is never shown.
class ListBox : public QWidget, public core::WorkList {
    Q_OBJECT
public:
    explicit ListBox(QWidget* parent = nullptr) : QWidget(parent) { hide(); }
};

}  // namespace platform
