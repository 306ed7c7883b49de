#include "fs/mounts.h"

#include <blkid/blkid.h>
#include <dirent.h>
#include <fcntl.h>
#include <libmount/libmount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <string_view>
#include <unordered_map>

#include "core/paths.h"
#include "fs/deadline.h"
#include "fs/listing.h"

namespace fs {

namespace {

std::string readWholeFile(const std::string& path) {
    std::string content;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return content;
    }
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            content.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(fd);
    return content;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// udev writes the bytes it does not keep as they are (blank, slash, backslash...) as \xhh.
std::string decodeUdev(std::string_view name) {
    std::string result;
    result.reserve(name.size());
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x' &&
            hexValue(name[i + 2]) >= 0 && hexValue(name[i + 3]) >= 0) {
            result.push_back(static_cast<char>(hexValue(name[i + 2]) * 16 + hexValue(name[i + 3])));
            i += 3;
        } else {
            result.push_back(name[i]);
        }
    }
    return result;
}

std::string text(const char* value) {
    return value != nullptr ? std::string(value) : std::string();
}

bool startsWithFolder(const std::string& path, std::string_view folder) {
    return core::isUnder(path, std::string(folder));
}

bool isSystemMount(const Mount& mount) {
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
    for (const char* pseudo : kPseudoTypes) {
        if (mount.type == pseudo) {
            return true;
        }
    }
    // Removable media are mounted under /run/media by the desktop; the rest of /run, /proc,
    // /sys and /dev belong to the system.
    const std::string& path = mount.mountPoint;
    return startsWithFolder(path, "/proc") || startsWithFolder(path, "/sys") ||
           startsWithFolder(path, "/dev") || startsWithFolder(path, "/snap") ||
           (startsWithFolder(path, "/run") && !startsWithFolder(path, "/run/media"));
}

// For each mount, whether a path walk can reach it: a mount is hidden when a later mount sits
// on its folder or on a folder above it, unless that later mount is one it hangs below.
std::vector<bool> reachable(const std::vector<Mount>& table) {
    std::unordered_map<int, std::size_t> byId;
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (table[i].id >= 0) {
            byId[table[i].id] = i;
        }
    }
    const auto isAncestor = [&](std::size_t candidate, std::size_t mount) {
        if (table[candidate].id < 0) {
            return false;
        }
        std::size_t current = mount;
        // Bounded by the table's size: a hostile table may hold a cycle.
        for (std::size_t steps = 0; steps < table.size(); ++steps) {
            const auto parent = byId.find(table[current].parentId);
            if (parent == byId.end() || parent->second == current) {
                return false;
            }
            if (parent->second == candidate) {
                return true;
            }
            current = parent->second;
        }
        return false;
    };
    std::vector<bool> result(table.size(), true);
    // Later mounts by their folder, filled while walking the table backwards.
    std::unordered_map<std::string, std::vector<std::size_t>> later;
    for (std::size_t i = table.size(); i-- > 0;) {
        const std::string& path = table[i].mountPoint;
        bool hidden = false;
        for (std::size_t end = path.size(); !hidden && end != std::string::npos;) {
            const std::string folder = end == 0 ? std::string("/") : path.substr(0, end);
            if (const auto it = later.find(folder); it != later.end()) {
                hidden = std::any_of(it->second.begin(), it->second.end(),
                                     [&](std::size_t over) { return !isAncestor(over, i); });
            }
            end = end == 0 ? std::string::npos : path.rfind('/', end - 1);
        }
        result[i] = !hidden;
        later[path].push_back(i);
    }
    return result;
}

// Where UUIDs and labels come from. libblkid answers "which device has LABEL=x" through udev's
// links without reading a drive (blkid_evaluate_tag), but it has no such answer for "what label
// has this device": blkid_get_tag_value opens the device to check its cache entry (which a user
// may not do, and which can hang), and the cache that blkid_get_dev(..., BLKID_DEV_FIND) reads
// alone is written by root's blkid runs only and is not checked against a card changed since.
// So udev's record of the device comes first: udev probed it with libblkid as root when it
// appeared or changed, any user may read the record, and no drive is touched. Only a device
// without one (no udev running) is probed by libblkid itself, where this process may read it,
// on threads of their own so that a drive that hangs costs the caller no more than the deadline.
struct Identity {
    bool known = false;
    std::string uuid;
    std::string label;
};

Identity fromUdev(const std::string& udevData, dev_t device) {
    Identity id;
    const std::string record = readWholeFile(udevData + "/b" + std::to_string(major(device)) + ":" +
                                             std::to_string(minor(device)));
    std::size_t start = 0;
    while (start < record.size()) {
        std::size_t end = record.find('\n', start);
        if (end == std::string::npos) {
            end = record.size();
        }
        const std::string_view line = std::string_view(record).substr(start, end - start);
        const auto value = [&](std::string_view key) {
            return line.substr(0, key.size()) == key ? decodeUdev(line.substr(key.size()))
                                                     : std::string();
        };
        if (line.rfind("E:ID_FS_TYPE=", 0) == 0) {
            id.known = true;
        } else if (line.rfind("E:ID_FS_UUID_ENC=", 0) == 0) {
            id.uuid = value("E:ID_FS_UUID_ENC=");
        } else if (line.rfind("E:ID_FS_LABEL_ENC=", 0) == 0) {
            id.label = value("E:ID_FS_LABEL_ENC=");
        }
        start = end + 1;
    }
    return id;
}

std::string probeValue(blkid_probe probe, const char* name) {
    const char* data = nullptr;
    std::size_t size = 0;
    if (blkid_probe_lookup_value(probe, name, &data, &size) != 0 || data == nullptr) {
        return {};
    }
    return std::string(data, ::strnlen(data, size));
}

// Reads the file system's first blocks; may hang on a failing drive.
Identity probeDevice(const std::string& path) {
    Identity id;
    const std::unique_ptr<blkid_struct_probe, void (*)(blkid_probe)> probe(
        blkid_new_probe_from_filename(path.c_str()), blkid_free_probe);
    if (!probe) {
        return id;
    }
    blkid_probe_enable_superblocks(probe.get(), 1);
    blkid_probe_set_superblocks_flags(probe.get(),
                                      BLKID_SUBLKS_UUID | BLKID_SUBLKS_LABEL | BLKID_SUBLKS_TYPE);
    if (blkid_do_safeprobe(probe.get()) == 0) {
        id.known = true;
        id.uuid = probeValue(probe.get(), "UUID");
        id.label = probeValue(probe.get(), "LABEL");
    }
    return id;
}

// The block device a mount lives on, and its node when the source names one. Only /dev is
// looked at: a source elsewhere may lie on a mount that hangs.
dev_t blockDevice(const Mount& mount, std::string& node) {
    struct stat st {};
    if (mount.source.rfind("/dev/", 0) == 0 && ::stat(mount.source.c_str(), &st) == 0 &&
        S_ISBLK(st.st_mode)) {
        node = mount.source;
        return st.st_rdev;
    }
    // "/dev/root" and the like name no node; the mount's own number is the device's then.
    return major(mount.device) != 0 ? mount.device : 0;
}

std::optional<MountedPath> located(const std::vector<Mount>& table, std::size_t index,
                                   const std::string& path, std::chrono::milliseconds deadline) {
    MountedPath result;
    result.mount = table[index];
    if (!core::isUnder(path, result.mount.mountPoint)) {
        return std::nullopt;
    }
    std::vector<Mount> one{result.mount};
    addIdentities(one, kUdevData, deadline);
    result.mount = std::move(one.front());
    result.identity = identity(result.mount);
    const std::size_t skip =
        result.mount.mountPoint.size() + (result.mount.mountPoint == "/" ? 0 : 1);
    result.relative = path.size() > skip ? path.substr(skip) : std::string();
    return result;
}

}  // namespace

std::vector<Mount> readMountTable(const std::string& path) {
    std::vector<Mount> table;
    const std::unique_ptr<libmnt_table, void (*)(libmnt_table*)> parsed(mnt_new_table(),
                                                                        mnt_unref_table);
    // Lines that do not parse are skipped by libmount; a missing file leaves the table empty.
    if (!parsed || mnt_table_parse_file(parsed.get(), path.c_str()) != 0) {
        return table;
    }
    const std::unique_ptr<libmnt_iter, void (*)(libmnt_iter*)> it(mnt_new_iter(MNT_ITER_FORWARD),
                                                                  mnt_free_iter);
    libmnt_fs* fs = nullptr;
    while (it && mnt_table_next_fs(parsed.get(), it.get(), &fs) == 0) {
        Mount mount;
        mount.mountPoint = text(mnt_fs_get_target(fs));
        mount.type = text(mnt_fs_get_fstype(fs));
        mount.source = text(mnt_fs_get_source(fs));
        mount.root = text(mnt_fs_get_root(fs));
        mount.device = mnt_fs_get_devno(fs);
        mount.id = mnt_fs_get_id(fs);
        mount.parentId = mnt_fs_get_parent_id(fs);
        if (!mount.mountPoint.empty() && mount.mountPoint.front() == '/' && !mount.type.empty()) {
            table.push_back(std::move(mount));
        }
    }
    return table;
}

std::vector<Mount> userDrives(const std::vector<Mount>& table) {
    const std::vector<bool> visible = reachable(table);
    std::vector<Mount> drives;
    Mount root;
    root.mountPoint = "/";
    root.root = "/";
    for (std::size_t i = 0; i < table.size(); ++i) {
        const Mount& mount = table[i];
        if (!visible[i]) {
            continue;
        }
        if (mount.mountPoint == "/") {
            root = mount;
            continue;
        }
        if (isSystemMount(mount)) {
            continue;
        }
        // A folder mounted over twice is one drive: the last mount over it is the one seen.
        const auto same = std::find_if(drives.begin(), drives.end(), [&](const Mount& d) {
            return d.mountPoint == mount.mountPoint;
        });
        if (same != drives.end()) {
            *same = mount;
        } else {
            drives.push_back(mount);
        }
    }
    std::sort(drives.begin(), drives.end(), [](const Mount& a, const Mount& b) {
        return displayLess(a.mountPoint, b.mountPoint);
    });
    drives.insert(drives.begin(), std::move(root));
    return drives;
}

void addIdentities(std::vector<Mount>& mounts, const std::string& udevData,
                   std::chrono::milliseconds deadline) {
    // One answer per device: a disk's bind mounts share it.
    std::map<dev_t, Identity> found;
    std::map<dev_t, PendingAnswer<Identity>> probes;
    for (const Mount& mount : mounts) {
        std::string node;
        const dev_t device = blockDevice(mount, node);
        if (device == 0 || found.count(device) != 0 || probes.count(device) != 0) {
            continue;
        }
        Identity id = fromUdev(udevData, device);
        if (id.known) {
            found[device] = std::move(id);
        } else if (!node.empty() && ::faccessat(AT_FDCWD, node.c_str(), R_OK, AT_EACCESS) == 0) {
            probes[device] = startCall([node] { return probeDevice(node); });
        }
    }
    const auto giveUpAt = std::chrono::steady_clock::now() + deadline;
    for (const auto& [device, pending] : probes) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            giveUpAt - std::chrono::steady_clock::now());
        if (pending.wait_for(std::max(left, std::chrono::milliseconds(0)))) {
            found[device] = pending.get();
        }
    }
    for (Mount& mount : mounts) {
        std::string node;
        const auto it = found.find(blockDevice(mount, node));
        if (it != found.end() && it->second.known) {
            if (!it->second.uuid.empty()) {
                mount.uuid = it->second.uuid;
            }
            if (!it->second.label.empty()) {
                mount.label = it->second.label;
            }
        }
    }
}

namespace {

// What a gvfs folder's name says of its share: "smb-share:port=1445,server=nas,share=pics" as
// "pics (nas)"; the name itself when it says nothing known.
std::string shareLabel(const std::string& name) {
    const std::size_t colon = name.find(':');
    if (colon == std::string::npos) {
        return name;
    }
    std::map<std::string, std::string> keys;
    for (std::size_t start = colon + 1; start < name.size();) {
        std::size_t end = name.find(',', start);
        if (end == std::string::npos) {
            end = name.size();
        }
        const std::string pair = name.substr(start, end - start);
        const std::size_t equals = pair.find('=');
        if (equals != std::string::npos) {
            keys[pair.substr(0, equals)] = pair.substr(equals + 1);
        }
        start = end + 1;
    }
    const std::string server = keys.count("server") != 0 ? keys["server"] : keys["host"];
    const std::string share = keys.count("share") != 0 ? keys["share"] : keys["prefix"];
    if (server.empty()) {
        return name;
    }
    return share.empty() ? server : share + " (" + server + ")";
}

}  // namespace

std::vector<Mount> gvfsShares(const Mount& gvfs, std::chrono::milliseconds deadline) {
    const std::string folder = gvfs.mountPoint;
    const std::optional<std::vector<std::string>> names =
        callWithDeadline<std::vector<std::string>>(
            [folder] {
                // Names only: a look at a share's own folder would go to its server.
                std::vector<std::string> found;
                if (DIR* dir = ::opendir(folder.c_str())) {
                    while (const dirent* entry = ::readdir(dir)) {
                        const std::string name = entry->d_name;
                        if (name != "." && name != "..") {
                            found.push_back(name);
                        }
                    }
                    ::closedir(dir);
                }
                std::sort(
                    found.begin(), found.end(),
                    [](const std::string& a, const std::string& b) { return displayLess(a, b); });
                return found;
            },
            deadline);
    std::vector<Mount> shares;
    for (const std::string& name : names.value_or(std::vector<std::string>{})) {
        Mount share = gvfs;
        share.mountPoint = core::joinPath(folder, name);
        share.label = shareLabel(name);
        shares.push_back(std::move(share));
    }
    return shares;
}

std::vector<Mount> mountedDrives() {
    const std::vector<Mount> table = readMountTable();
    std::vector<Mount> drives = userDrives(table);
    addIdentities(drives);
    const std::vector<bool> visible = reachable(table);
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (visible[i] && table[i].type == "fuse.gvfsd-fuse") {
            for (Mount& share : gvfsShares(table[i])) {
                drives.push_back(std::move(share));
            }
        }
    }
    return drives;
}

std::string identity(const Mount& mount) {
    if (!mount.uuid.empty()) {
        return "UUID=" + mount.uuid;
    }
    // A device's name goes to whatever card is put in next: it never stands for a file system.
    const bool onDevice = mount.source.rfind("/dev/", 0) == 0 || major(mount.device) != 0;
    if (onDevice || mount.source.empty()) {
        return {};
    }
    std::string source = mount.source;
    if (mount.type == "fuse.sshfs") {
        // "user@host:path": the same folder of the same server whoever logged in.
        const std::size_t colon = source.find(':');
        const std::size_t at = source.rfind('@', colon);
        if (colon != std::string::npos && at != std::string::npos) {
            source.erase(0, at + 1);
        }
        while (source.size() > 1 && source.back() == '/' && source[source.size() - 2] != ':') {
            source.pop_back();
        }
    }
    return "SOURCE=" + source;
}

namespace {

// What the kernel says of an open file or folder: its mount ID and device, and its path.
bool placeOf(int fd, struct statx& st, std::string& path) {
    // Cached attributes do: only the mount ID and the device are wanted, which the kernel knows.
    if (::statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_MNT_ID | STATX_NLINK, &st) != 0 ||
        ((st.stx_mask & STATX_NLINK) != 0 && st.stx_nlink == 0)) {
        return false;
    }
    char link[PATH_MAX];
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(self.c_str(), link, sizeof link);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof link || link[0] != '/') {
        return false;
    }
    path.assign(link, static_cast<std::size_t>(n));
    return true;
}

}  // namespace

std::optional<MountedPath> mountOf(int fd, const MountedPath& known) {
    struct statx st {};
    std::string path;
    if (!placeOf(fd, st, path) || (st.stx_mask & STATX_MNT_ID) == 0 || known.mount.id < 0 ||
        static_cast<std::uint64_t>(known.mount.id) != st.stx_mnt_id ||
        !core::isUnder(path, known.mount.mountPoint)) {
        return std::nullopt;
    }
    MountedPath result = known;
    const std::size_t skip =
        result.mount.mountPoint.size() + (result.mount.mountPoint == "/" ? 0 : 1);
    result.relative = path.size() > skip ? path.substr(skip) : std::string();
    return result;
}

std::optional<MountedPath> mountOf(int fd, std::chrono::milliseconds deadline) {
    struct statx st {};
    std::string path;
    if (!placeOf(fd, st, path)) {
        return std::nullopt;
    }
    const std::vector<Mount> table = readMountTable();
    if ((st.stx_mask & STATX_MNT_ID) != 0) {
        for (std::size_t i = 0; i < table.size(); ++i) {
            if (table[i].id >= 0 && static_cast<std::uint64_t>(table[i].id) == st.stx_mnt_id) {
                return located(table, i, path, deadline);
            }
        }
        return std::nullopt;
    }
    // Kernels before 5.8 give no mount ID: the deepest mount of that device above the path.
    const dev_t device = makedev(st.stx_dev_major, st.stx_dev_minor);
    std::optional<std::size_t> best;
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (table[i].device == device && core::isUnder(path, table[i].mountPoint) &&
            (!best || table[i].mountPoint.size() >= table[*best].mountPoint.size())) {
            best = i;
        }
    }
    return best ? located(table, *best, path, deadline) : std::nullopt;
}

std::optional<MountedPath> mountOf(const std::string& path, std::chrono::milliseconds deadline) {
    const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::optional<MountedPath> result = mountOf(fd, deadline);
    ::close(fd);
    return result;
}

std::optional<Mount> findMount(const std::string& wanted, const std::string& root,
                               std::chrono::milliseconds deadline, const std::string& mountPoint) {
    if (wanted.empty()) {
        return std::nullopt;
    }
    std::vector<Mount> table = readMountTable();
    addIdentities(table, kUdevData, deadline);
    const std::vector<bool> visible = reachable(table);
    std::optional<Mount> latest;
    for (std::size_t i = table.size(); i-- > 0;) {
        if (visible[i] && table[i].root == root && identity(table[i]) == wanted) {
            if (table[i].mountPoint == mountPoint) {
                return table[i];
            }
            if (!latest) {
                latest = table[i];
            }
        }
    }
    return latest;
}

namespace {

// The mount of `table` whose mount point is the deepest folder above `path`, if any.
const Mount* deepestAbove(const std::string& path, const std::vector<Mount>& table) {
    const Mount* best = nullptr;
    for (const Mount& mount : table) {
        if (core::isUnder(path, mount.mountPoint) &&
            (best == nullptr || mount.mountPoint.size() >= best->mountPoint.size())) {
            best = &mount;
        }
    }
    return best;
}

}  // namespace

std::string driveFolder(const std::string& path, const std::vector<Mount>& table) {
    const Mount* mount = deepestAbove(path, table);
    if (mount == nullptr) {
        return "/";
    }
    std::string drive = mount->mountPoint;
    if (mount->type == "fuse.gvfsd-fuse" && path.size() > drive.size() + 1) {
        // Each share is a folder of its own below the one mount.
        const std::size_t start = drive == "/" ? 1 : drive.size() + 1;
        const std::size_t end = path.find('/', start);
        drive = path.substr(0, end);
    }
    return drive;
}

bool driveGone(const std::string& drive, const std::vector<Mount>& table) {
    if (drive == "/") {
        return false;
    }
    const Mount* mount = deepestAbove(drive, table);
    if (mount == nullptr || mount->mountPoint == "/" ||
        (mount->mountPoint != drive && mount->type != "fuse.gvfsd-fuse")) {
        return true;
    }
    struct statx st {};
    return ::statx(AT_FDCWD, drive.c_str(), AT_STATX_FORCE_SYNC, STATX_TYPE, &st) != 0;
}

bool callsRoundTrip(int fd) {
    // By the file system's magic number (linux/magic.h): FUSE, NFS, SMB and CIFS, 9P, Ceph, AFS.
    static constexpr unsigned long kRemote[] = {0x65735546, 0x6969,     0x517b,   0xfe534d42,
                                                0xff534d42, 0x01021997, 0xc36400, 0x5346414f};
    struct statfs st {};
    if (::fstatfs(fd, &st) != 0) {
        return false;
    }
    const auto type = static_cast<unsigned long>(st.f_type);
    return std::find(std::begin(kRemote), std::end(kRemote), type) != std::end(kRemote);
}

int foldersAtOnce(int fd) {
    const long cores = ::sysconf(_SC_NPROCESSORS_ONLN);
    const int perCore = callsRoundTrip(fd) ? 4 : 1;
    return static_cast<int>(std::max(1L, cores)) * perCore;
}

bool respondsWithin(const std::string& path, std::chrono::milliseconds deadline) {
    // The path is copied: a stat given up on may return after the caller's string is gone.
    const std::optional<bool> answered = callWithDeadline<bool>(
        [path] {
            struct statx st {};
            // Forced so that attributes a FUSE or network file system cached earlier do not
            // answer for a server that is no longer there.
            return ::statx(AT_FDCWD, path.c_str(), AT_STATX_FORCE_SYNC, STATX_TYPE, &st) == 0;
        },
        deadline);
    return answered.value_or(false);
}

}  // namespace fs
