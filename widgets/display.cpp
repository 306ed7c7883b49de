#include "widgets/display.h"

#include "core/shown_name.h"

namespace widgets {

QString displayName(std::string_view name) {
    const std::string shown = core::shownName(name);
    return QString::fromUtf8(shown.data(), static_cast<qsizetype>(shown.size()));
}

std::optional<std::string> certainNativePath(const QString& path) {
    if (path.isEmpty() || path.contains(QChar::ReplacementCharacter)) {
        return std::nullopt;
    }
    return path.toUtf8().toStdString();
}

}  // namespace widgets
