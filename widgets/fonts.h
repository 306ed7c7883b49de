#pragma once

#include <QFont>
#include <QString>

namespace widgets {

// The windows name the Japanese Windows faces they were drawn with. Those faces do not exist
// here: this registers the closest installed ones under their names. Call once, before any
// window is made.
void registerFontSubstitutes();

// A font by face name and size in points (fractions allowed), regular or bold.
QFont namedFont(const QString& face, double points, bool bold = false);

// The face every window uses for controls that name no font of their own.
QFont windowDefaultFont();

}  // namespace widgets
