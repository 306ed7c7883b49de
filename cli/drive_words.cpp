// What the commands say of a drive: one that has no safe rename, one that does not answer.

#include <QtGlobal>
#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "cli/command_util.h"
#include "cli/text.h"
#include "fs/mounts.h"
#include "fs/write_back.h"

namespace cli {

// Why nothing could be renamed on the drive holding `folder`, naming the drive.
std::string noSafeRename(const std::string& folder) {
    const std::optional<fs::MountedPath> drive = fs::mountOf(folder, std::chrono::seconds(2));
    if (!drive) {
        return message(
            QT_TRANSLATE_NOOP("cli", "the drive has no rename that cannot replace a file"));
    }
    if (fs::writeBackOf(drive->mount) != fs::WriteBack::InOrder) {
        return message(QT_TRANSLATE_NOOP("cli",
                                         "the drive %1 (%2) sends what is written to its server "
                                         "only later, so a rename there could empty a file; "
                                         "mount it without a write cache (for rclone: "
                                         "--vfs-cache-mode off or minimal)"),
                       {escaped(drive->mount.mountPoint), escaped(drive->mount.type)});
    }
    return message(
        QT_TRANSLATE_NOOP("cli", "the drive %1 (%2) has no rename that cannot replace a file"),
        {escaped(drive->mount.mountPoint), escaped(drive->mount.type)});
}

std::string renameFailure(const std::string& folder, int error) {
    switch (error) {
        case ETIMEDOUT:
        case ENOTCONN:
        case ECONNABORTED:
        case ECONNRESET:
        case EHOSTDOWN:
        case EHOSTUNREACH:
        case ENETDOWN:
        case ENETUNREACH: {
            // Told from the mount table alone: the drive itself is not asked again.
            const std::vector<fs::Mount> table = fs::readMountTable();
            return message(QT_TRANSLATE_NOOP("cli",
                                             "the drive %1 does not answer (its server stopped "
                                             "or the connection to it broke)"),
                           {escaped(fs::driveFolder(folder, table))});
        }
        default:
            return reason(error);
    }
}

}  // namespace cli
