#include "ui/merge_picture.h"

#include <sys/stat.h>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QImageReader>
#include <QLabel>
#include <QPixmap>
#include <QPointer>
#include <QUrl>
#include <QVBoxLayout>
#include <thread>

#include "core/paths.h"
#include "ui/messages.h"

namespace ui {

namespace {

// The largest picture shown: a thumbnail cache's "large" size.
constexpr int kBox = 256;

QString cacheHome() {
    const QString set = qEnvironmentVariable("XDG_CACHE_HOME");
    return set.isEmpty() ? qEnvironmentVariable("HOME") + QStringLiteral("/.cache") : set;
}

// The thumbnail the desktop made of `file` (its mtime `mtime`), at least `box` where it has one;
// null when none is current.
QImage cachedThumbnail(const QString& file, std::int64_t mtime, QSize box) {
    const QByteArray uri = QUrl::fromLocalFile(file).toEncoded();
    const QString key =
        QString::fromLatin1(QCryptographicHash::hash(uri, QCryptographicHash::Md5).toHex());
    const QString folder = cacheHome() + QStringLiteral("/thumbnails/");
    // The smallest that fills the box first, then larger ones, then the small one.
    const int need = std::max(box.width(), box.height());
    QStringList sizes{QStringLiteral("large"), QStringLiteral("x-large"),
                      QStringLiteral("xx-large")};
    if (need <= 128) {
        sizes.prepend(QStringLiteral("normal"));
    } else {
        sizes.append(QStringLiteral("normal"));
    }
    for (const QString& size : sizes) {
        const QString path = folder + size + QLatin1Char('/') + key + QStringLiteral(".png");
        if (!QFile::exists(path)) {
            continue;
        }
        QImage thumbnail(path);
        // Made from the file as it is now, or stale.
        if (!thumbnail.isNull() &&
            thumbnail.text(QStringLiteral("Thumb::MTime")) == QString::number(mtime)) {
            return thumbnail;
        }
    }
    return {};
}

}  // namespace

QImage loadPicture(const std::string& path, QSize box, QString* why, bool* fromCache) {
    if (fromCache != nullptr) {
        *fromCache = false;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        if (why != nullptr) {
            *why = pictureMissingText();
        }
        return {};
    }
    const QString file = QFile::decodeName(path.c_str());
    if (QImage thumbnail = cachedThumbnail(file, st.st_mtime, box); !thumbnail.isNull()) {
        if (fromCache != nullptr) {
            *fromCache = true;
        }
        return thumbnail.width() > box.width() || thumbnail.height() > box.height()
                   ? thumbnail.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                   : thumbnail;
    }
    QImageReader reader(file);
    reader.setAutoTransform(true);
    // Scaled while decoded: a JPEG decodes at an eighth of its size as fast as an eighth of it.
    const QSize size = reader.size();
    if (size.isValid()) {
        const bool turned =
            (reader.transformation() & QImageIOHandler::TransformationRotate90) != 0;
        const QSize fit = turned ? box.transposed() : box;
        if (size.width() > fit.width() || size.height() > fit.height()) {
            reader.setScaledSize(size.scaled(fit, Qt::KeepAspectRatio));
        }
    }
    QImage image = reader.read();
    if (image.isNull() && why != nullptr) {
        *why = reader.error() == QImageReader::UnsupportedFormatError ? pictureNotAPictureText()
                                                                      : pictureUnreadableText();
    }
    return image;
}

PictureView::PictureView(QWidget* parent) : QWidget(parent), alive_(std::make_shared<bool>(true)) {
    picture_ = new QLabel(this);
    picture_->setAlignment(Qt::AlignCenter);
    picture_->setMinimumSize(kBox / 2, kBox / 2);
    picture_->setWordWrap(true);
    facts_ = new QLabel(this);
    facts_->setWordWrap(true);
    facts_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(picture_, 1);
    layout->addWidget(facts_);
}

PictureView::~PictureView() {
    *alive_ = false;
}

void PictureView::showFile(const std::string& path) {
    const std::uint64_t generation = ++generation_;
    image_ = QImage();
    fromCache_ = false;
    picture_->clear();
    facts_->clear();
    loading_ = !path.empty();
    if (path.empty()) {
        return;
    }
    picture_->setText(pictureLoadingText());
    QPointer<PictureView> self(this);
    const QSize box(kBox, kBox);
    std::thread([self, generation, path, box] {
        QString why;
        bool cached = false;
        const QImage image = loadPicture(path, box, &why, &cached);
        struct stat st {};
        const QString facts =
            ::stat(path.c_str(), &st) == 0
                ? pictureFactsText(st.st_size, st.st_mtime, core::parentFolder(path))
                : QString();
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, generation, image, why, cached, facts] {
                if (self) {
                    self->facts_->setText(facts);
                    self->done(generation, image, why, cached);
                }
            },
            Qt::QueuedConnection);
    }).detach();
}

void PictureView::done(std::uint64_t generation, const QImage& image, const QString& why,
                       bool fromCache) {
    if (generation != generation_) {
        return;  // another file was chosen meanwhile
    }
    loading_ = false;
    image_ = image;
    fromCache_ = fromCache;
    if (image.isNull()) {
        picture_->setText(why);
    } else {
        picture_->setPixmap(QPixmap::fromImage(image));
    }
    picture_->setAccessibleName(image.isNull() ? why : pictureShownText());
    emit loaded();
}

}  // namespace ui
