#pragma once

#include <QRect>

class QWidget;

namespace widgets {

// Window layouts are given in twips, 1/1440 inch.
inline constexpr int kTwipsPerInch = 1440;

// The logical DPI of the primary screen (96 on most desktops, where a pixel is 15 twips).
double logicalDpi();

int twipsToPixels(int twips, double dpi);
QRect twipsRect(int left, int top, int width, int height, double dpi);

// Places `widget` at a position and size given in twips, at the primary screen's DPI.
void placeTwips(QWidget* widget, int left, int top, int width, int height);

}  // namespace widgets
