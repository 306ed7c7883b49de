#pragma once

// The pictures of the merge window: the selected file as a picture, and beside it the copy kept
// when it goes to the Trash as a duplicate, each with its size, time and folder. A picture comes
// from the desktop's thumbnail cache where it holds a current one, else it is decoded on a worker,
// scaled while decoded and turned as its EXIF orientation says; never on the window's thread.

#include <QImage>
#include <QSize>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <string>

class QLabel;

namespace ui {

// A picture for `path`, at most `box` in size: the thumbnail cache's (freedesktop layout under
// $XDG_CACHE_HOME/thumbnails, keyed by the MD5 of the file's URI, valid while its Thumb::MTime
// is the file's), else the file decoded. Null when it cannot be shown; `why` then says so in
// words. `fromCache` tells where it came from. Blocking: call it on a worker.
QImage loadPicture(const std::string& path, QSize box, QString* why = nullptr,
                   bool* fromCache = nullptr);

// One file shown: its picture (or why there is none) above its size, time and folder.
class PictureView : public QWidget {
    Q_OBJECT
public:
    explicit PictureView(QWidget* parent = nullptr);
    ~PictureView() override;
    // Shows `path` (empty: nothing); the picture comes later, from a worker.
    void showFile(const std::string& path);
    // The picture shown now; null while it loads or when there is none.
    QImage image() const { return image_; }
    // Whether the picture came from the thumbnail cache.
    bool fromCache() const { return fromCache_; }
    bool loading() const { return loading_; }

signals:
    void loaded();

private:
    void done(std::uint64_t generation, const QImage& image, const QString& why, bool fromCache);

    QLabel* picture_ = nullptr;
    QLabel* facts_ = nullptr;
    QImage image_;
    bool fromCache_ = false;
    bool loading_ = false;
    std::uint64_t generation_ = 0;
    std::shared_ptr<bool> alive_;
};

}  // namespace ui
