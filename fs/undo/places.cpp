// Finding a run's folders again: at the path the run recorded, or at the same place on their
// drive mounted elsewhere, found by the drive's identity; the folder an undo made again in place
// of one the run removed is the run's too.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "fs/fd.h"
#include "fs/folder_reader.h"
#include "fs/mounts.h"
#include "fs/undo/places.h"
#include "fs/undo/undo.h"

namespace fs {

namespace {

constexpr char kDesktopMounts[] = "SOURCE=gvfsd-fuse";

// The desktop's network mounts lie in one FUSE mount, a folder each, named by their address:
// "smb-share:server=nas,share=pics,user=me". The same share mounted as another user, or in
// another domain, is the same folder of the same server.
std::string shareOf(std::string_view component) {
    const std::size_t colon = component.find(':');
    if (colon == std::string_view::npos) {
        return std::string(component);
    }
    std::string out(component.substr(0, colon + 1));
    std::string_view rest = component.substr(colon + 1);
    bool first = true;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        const std::string_view pair = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (pair.rfind("user=", 0) == 0 || pair.rfind("domain=", 0) == 0) {
            continue;
        }
        out.append(first ? "" : ",").append(pair);
        first = false;
    }
    return out;
}

// `relative` with its first component as it is mounted now below `mountPoint`, for a desktop
// network mount (none while that share is not mounted); as it is otherwise.
std::optional<std::string> relativeNow(const FolderPlace& place, const std::string& mountPoint) {
    if (place.mountIdentity != kDesktopMounts || place.relative.empty()) {
        return place.relative;
    }
    const std::size_t slash = place.relative.find('/');
    const std::string wanted = shareOf(place.relative.substr(0, slash));
    std::optional<std::string> found;
    readFolder(mountPoint, Kinds::NameOnly, [&](const FolderEntry& e) {
        if (shareOf(e.name) == wanted) {
            found.emplace(e.name);
            return false;
        }
        return true;
    });
    if (found && slash != std::string::npos) {
        found->append(place.relative.substr(slash));
    }
    return found;
}

// Whether `identity` tells one file system from another. A source that is only the driver's name
// ("fusefat", "tmpfs") is the same for every drive that driver mounts: such a drive counts only
// where it was mounted. The desktop's network mounts are told apart below their one mount point.
bool namesOneDrive(const std::string& identity) {
    if (identity == kDesktopMounts || identity.rfind("SOURCE=", 0) != 0) {
        return true;
    }
    return identity.find_first_of("/:") != std::string::npos;
}

// Whether the folder open as `fd` lies where `plan` says, on its drive as mounted now.
bool samePlace(int fd, const JournalPlan& plan) {
    const std::optional<MountedPath> at = mountOf(fd);
    if (!at || at->identity != plan.place.mountIdentity || at->mount.root != plan.place.mountRoot) {
        return false;
    }
    if (plan.place.mountIdentity == kDesktopMounts) {
        const std::size_t a = at->relative.find('/');
        const std::size_t b = plan.place.relative.find('/');
        return shareOf(std::string_view(at->relative).substr(0, a)) ==
                   shareOf(std::string_view(plan.place.relative).substr(0, b)) &&
               (a == std::string::npos ? std::string() : at->relative.substr(a)) ==
                   (b == std::string::npos ? std::string() : plan.place.relative.substr(b));
    }
    return at->relative == plan.place.relative;
}

// The folder at `path` if it is the run's folder `plan`: by identity where the drive keeps inode
// numbers, else by where it lies on its drive; or the one an undo made in its place. -1 otherwise
// (`status` says why).
int openAsRunFolder(const std::string& path, const JournalPlan& plan, FolderState::Status& status,
                    int& err) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) {
        err = errno;
        status = FolderState::Status::CannotOpen;
        return -1;
    }
    const std::optional<FileId> id = fileIdAt(fd.get(), ".");
    if (!id) {
        err = errno;
        status = FolderState::Status::CannotOpen;
        return -1;
    }
    const auto sameAs = [&](FileId recorded) {
        if (*id == recorded) {
            return true;
        }
        // Mounted anew: the device number may differ; the inode, where the drive keeps it, not.
        return !plan.place.mountIdentity.empty() &&
               (plan.identity != IdentityKind::Inode || id->inode == recorded.inode) &&
               samePlace(fd.get(), plan);
    };
    // Made again by an undo; made and not yet recorded, it is the one that stands at its place.
    const bool remade = plan.making && (plan.madeId == FileId{} || sameAs(plan.madeId));
    if (!remade && !sameAs(plan.folderId)) {
        status = FolderState::Status::OtherFolder;
        return -1;
    }
    status = FolderState::Status::Ok;
    return fd.release();
}

}  // namespace

Placed placedNow(const JournalPlan& plan) {
    if (plan.place.mountIdentity.empty()) {
        return {plan.folder, plan.place.mountPoint};
    }
    // Where it was, while its drive is still mounted there.
    const std::optional<Mount> mount = findMount(plan.place.mountIdentity, plan.place.mountRoot,
                                                 kLookupDeadline, plan.place.mountPoint);
    if (!mount ||
        (!namesOneDrive(plan.place.mountIdentity) && mount->mountPoint != plan.place.mountPoint)) {
        return {};
    }
    const std::optional<std::string> relative = relativeNow(plan.place, mount->mountPoint);
    if (!relative) {
        return {};
    }
    return {relative->empty()          ? mount->mountPoint
            : mount->mountPoint == "/" ? "/" + *relative
                                       : mount->mountPoint + "/" + *relative,
            mount->mountPoint};
}

std::string placeNow(const JournalPlan& plan) {
    return placedNow(plan).folder;
}

std::string pathNow(const JournalPlan& plan, const Placed& now, const std::string& recorded) {
    // A path below the folder's own mount point moves with it.
    const std::string& was = plan.place.mountPoint;
    if (now.mountPoint.empty() || was.empty() || now.mountPoint == was) {
        return recorded;
    }
    const std::string prefix = was == "/" ? "/" : was + "/";
    if (recorded.rfind(prefix, 0) != 0) {
        return recorded;
    }
    return (now.mountPoint == "/" ? "/" : now.mountPoint + "/") + recorded.substr(prefix.size());
}

int openRunFolder(const JournalPlan& plan, FolderState::Status& status, int& err) {
    err = 0;
    int fd = openAsRunFolder(plan.folder, plan, status, err);
    if (fd >= 0 || plan.place.mountIdentity.empty()) {
        return fd;
    }
    // A card taken out and put back may be mounted elsewhere: found by its identity.
    const std::string here = placedNow(plan).folder;
    if (here.empty()) {
        status = FolderState::Status::DriveAbsent;
        err = 0;
        return -1;
    }
    if (here != plan.folder) {
        fd = openAsRunFolder(here, plan, status, err);
    }
    return fd;
}

}  // namespace fs
