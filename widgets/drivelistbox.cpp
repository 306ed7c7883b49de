#include "widgets/drivelistbox.h"

#include <QSignalBlocker>
#include <algorithm>

#include "core/paths.h"
#include "fs/listing.h"
#include "fs/mounts.h"
#include "widgets/display.h"

namespace widgets {

namespace {

QString driveText(const DriveInfo& drive) {
    // Its folder's name is the desktop's code for it ("smb-share:server=nas,share=pics").
    if (drive.share && !drive.label.isEmpty()) {
        return drive.label;
    }
    QString text = displayName(drive.root);
    if (!drive.label.isEmpty()) {
        text += QStringLiteral("  [") + drive.label + QLatin1Char(']');
    }
    return text;
}

}  // namespace

std::vector<DriveInfo> mountedDrives() {
    // From the mount table alone: asking a drive itself can wait forever on a stuck one.
    std::vector<DriveInfo> drives;
    for (const fs::Mount& mount : fs::mountedDrives()) {
        drives.push_back(
            {mount.mountPoint, displayName(mount.label), mount.type == "fuse.gvfsd-fuse"});
    }
    return drives;
}

DriveListBox::DriveListBox(QWidget* parent) : QComboBox(parent) {
    setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    connect(this, &QComboBox::activated, this, [this](int index) {
        // Picking the drive that is already selected changes nothing.
        if (index != selected_) {
            selected_ = index;
            emit driveChanged();
        }
    });
}

void DriveListBox::setDrives(std::vector<DriveInfo> drives) {
    const QSignalBlocker blocker(this);
    drives_ = std::move(drives);
    clear();
    for (const DriveInfo& drive : drives_) {
        addItem(driveText(drive));
    }
    setCurrentIndex(-1);
    selected_ = -1;
}

void DriveListBox::showPopup() {
    reread();
    QComboBox::showPopup();
}

void DriveListBox::reread() {
    if (source_) {
        std::vector<DriveInfo> drives = source_();
        const bool same = std::equal(drives.begin(), drives.end(), drives_.begin(), drives_.end(),
                                     [](const DriveInfo& a, const DriveInfo& b) {
                                         return a.root == b.root && a.label == b.label;
                                     });
        if (!same) {
            const std::string selected =
                selected_ >= 0 ? drives_[static_cast<std::size_t>(selected_)].root : std::string();
            setDrives(std::move(drives));
            setDrive(selected);
            emit drivesChanged();
        }
    }
}

std::vector<std::string> DriveListBox::roots() const {
    std::vector<std::string> result;
    result.reserve(drives_.size());
    for (const DriveInfo& drive : drives_) {
        result.push_back(drive.root);
    }
    return result;
}

std::string DriveListBox::drive() const {
    const int index = currentIndex();
    return index >= 0 && static_cast<std::size_t>(index) < drives_.size()
               ? drives_[static_cast<std::size_t>(index)].root
               : std::string();
}

void DriveListBox::setDrive(const std::string& root) {
    const QSignalBlocker blocker(this);
    const auto it = std::find_if(drives_.begin(), drives_.end(),
                                 [&](const DriveInfo& d) { return d.root == root; });
    selected_ = it == drives_.end() ? -1 : static_cast<int>(it - drives_.begin());
    setCurrentIndex(selected_);
}

}  // namespace widgets
