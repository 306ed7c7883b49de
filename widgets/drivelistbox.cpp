#include "widgets/drivelistbox.h"

#include <sys/stat.h>
#include <QSignalBlocker>
#include <QStorageInfo>
#include <algorithm>

#include "widgets/display.h"
#include "core/paths.h"
#include "fs/listing.h"

namespace widgets {

namespace {

bool startsWithFolder(const std::string& path, const char* folder) {
    const std::string prefix = folder;
    return path == prefix || path.rfind(prefix + "/", 0) == 0;
}

// Whether a mount is one a user would open to rename files in.
bool isUserVolume(const QStorageInfo& volume) {
    const std::string root = core::normalizeFolder(QFile::encodeName(volume.rootPath()).toStdString());
    if (root == "/") {
        return true;
    }
    static const char* const kPseudoTypes[] = {"proc",        "sysfs",
                                               "cgroup",      "cgroup2",
                                               "devpts",      "devtmpfs",
                                               "tmpfs",       "ramfs",
                                               "mqueue",      "debugfs",
                                               "tracefs",     "securityfs",
                                               "pstore",      "bpf",
                                               "configfs",    "fusectl",
                                               "hugetlbfs",   "autofs",
                                               "binfmt_misc", "efivarfs",
                                               "rpc_pipefs",  "nsfs",
                                               "overlay",     "squashfs",
                                               "fuse.portal", "fuse.gvfsd-fuse",
                                               "selinuxfs",   "nfsd"};
    const QByteArray type = volume.fileSystemType();
    for (const char* pseudo : kPseudoTypes) {
        if (type == pseudo) {
            return false;
        }
    }
    // Removable media are mounted under /run/media by the desktop; the rest of /run, /proc,
    // /sys and /dev belong to the system.
    if (startsWithFolder(root, "/proc") || startsWithFolder(root, "/sys") ||
        startsWithFolder(root, "/dev") || startsWithFolder(root, "/snap") ||
        (startsWithFolder(root, "/run") && !startsWithFolder(root, "/run/media"))) {
        return false;
    }
    // A single file mounted over another (containers do this) is no drive.
    struct stat st {};
    return ::stat(root.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

QString driveText(const DriveInfo& drive) {
    QString text = displayName(drive.root);
    if (!drive.label.isEmpty()) {
        text += QStringLiteral("  [") + drive.label + QLatin1Char(']');
    }
    return text;
}

}  // namespace

std::vector<DriveInfo> mountedDrives() {
    std::vector<DriveInfo> drives;
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        if (!volume.isValid() || !isUserVolume(volume)) {
            continue;
        }
        std::string root = core::normalizeFolder(QFile::encodeName(volume.rootPath()).toStdString());
        // A folder mounted over twice is one drive.
        if (std::none_of(drives.begin(), drives.end(),
                         [&](const DriveInfo& d) { return d.root == root; })) {
            drives.push_back({std::move(root), volume.name()});
        }
    }
    std::sort(drives.begin(), drives.end(), [](const DriveInfo& a, const DriveInfo& b) {
        if ((a.root == "/") != (b.root == "/")) {
            return a.root == "/";
        }
        return fs::displayLess(a.root, b.root);
    });
    if (drives.empty() || drives.front().root != "/") {
        drives.insert(drives.begin(), DriveInfo{"/", {}});
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
