#include "widgets/drop.h"

#include <QList>

namespace widgets {

std::vector<std::string> localPathsFromUriList(const QByteArray& uriList) {
    std::vector<std::string> paths;
    const QList<QByteArray> lines = uriList.split('\n');
    for (QByteArray line : lines) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith('#') || !line.toLower().startsWith("file://")) {
            continue;
        }
        // file://host/path: only this machine's files ("" or "localhost") can be opened.
        const QByteArray rest = line.mid(7);
        const qsizetype slash = rest.indexOf('/');
        if (slash < 0) {
            continue;
        }
        const QByteArray host = rest.left(slash).toLower();
        if (!host.isEmpty() && host != "localhost") {
            continue;
        }
        const QByteArray path = QByteArray::fromPercentEncoding(rest.mid(slash));
        if (path.contains('\0')) {
            continue;
        }
        std::string native = path.toStdString();
        while (native.size() > 1 && native.back() == '/') {
            native.pop_back();
        }
        paths.push_back(std::move(native));
    }
    return paths;
}

}  // namespace widgets
