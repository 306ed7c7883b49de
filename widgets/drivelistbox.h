#pragma once

#include <QComboBox>
#include <QString>
#include <functional>
#include <string>
#include <vector>

namespace widgets {

// A mounted file system the user can pick: its root folder and its label (may be empty).
struct DriveInfo {
    std::string root;
    QString label;
    bool share = false;  // a share of a desktop's network mount: shown by its label alone
};

// The mounted file systems a user would pick, "/" first, the rest by root path. The kernel's
// pseudo file systems and memory-backed ones are left out.
std::vector<DriveInfo> mountedDrives();

// The drive list box: one entry per drive, shown as its root path and label. `driveChanged` fires
// when the user picks another drive, not when the program selects one.
class DriveListBox : public QComboBox {
    Q_OBJECT
public:
    explicit DriveListBox(QWidget* parent = nullptr);

    void setDrives(std::vector<DriveInfo> drives);
    // Where the list is read again each time it opens; mountedDrives unless replaced (tests).
    void setDriveSource(std::function<std::vector<DriveInfo>()> source) {
        source_ = std::move(source);
    }
    const std::vector<DriveInfo>& drives() const { return drives_; }
    std::vector<std::string> roots() const;

    // The selected drive's root path; empty when none is selected.
    std::string drive() const;
    // Selects the drive whose root is `root` (none if there is no such drive) without firing
    // `driveChanged`.
    void setDrive(const std::string& root);

    // Reads the drives again, so one unmounted since is gone and a new one is there; the
    // selected drive stays selected while it is mounted.
    void showPopup() override;
    // Reads the drives again from the source; drivesChanged when they differ. The selected
    // drive stays selected while it is there.
    void reread();

signals:
    void driveChanged();
    // The drives listed changed when the list was read again.
    void drivesChanged();

private:
    std::vector<DriveInfo> drives_;
    std::function<std::vector<DriveInfo>()> source_ = mountedDrives;
    int selected_ = -1;
};

}  // namespace widgets
