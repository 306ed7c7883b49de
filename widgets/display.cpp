#include "widgets/display.h"

#include "core/shown_name.h"

namespace widgets {

QString displayName(std::string_view name) {
    const std::string shown = core::shownName(name);
    return QString::fromUtf8(shown.data(), static_cast<qsizetype>(shown.size()));
}

}  // namespace widgets
