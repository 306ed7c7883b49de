// Renders the program's 32 x 32 icon at the icon theme's sizes: usage
// kovra_icongen <icon> <output folder> <size>...; writes <output folder>/<size>/kovra.png.

#include <QDir>
#include <QImage>
#include <cstdio>

int main(int argc, char* argv[]) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <icon> <output folder> <size>...\n", argv[0]);
        return 2;
    }
    const QImage icon(QString::fromLocal8Bit(argv[1]));
    if (icon.isNull()) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    for (int i = 3; i < argc; ++i) {
        const int size = QString::fromLatin1(argv[i]).toInt();
        const QString folder = QString::fromLocal8Bit(argv[2]) + "/" + QString::number(size);
        QDir().mkpath(folder);
        // Nearest-neighbour scaling keeps the drawing's hard edges: sharp, never smoothed.
        const QImage canvas =
            icon.convertToFormat(QImage::Format_ARGB32)
                .scaled(size, size, Qt::IgnoreAspectRatio, Qt::FastTransformation);
        if (!canvas.save(folder + "/kovra.png")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(folder));
            return 1;
        }
    }
    return 0;
}
