#include "fs/mounts.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "core/paths.h"
#include "fs/deadline.h"

namespace fs {

namespace {

std::string readWholeFile(const std::string& path) {
    std::string content;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return content;
    }
    // Files under /proc report no size: read until the end.
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

bool isOctal(char c) {
    return c >= '0' && c <= '7';
}

// mountinfo writes blank, tab, newline and backslash as \ooo; everything else is the bytes.
std::string decodeOctal(std::string_view field) {
    std::string result;
    result.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] <= '3' &&
            isOctal(field[i + 1]) && isOctal(field[i + 2]) && isOctal(field[i + 3])) {
            result.push_back(static_cast<char>((field[i + 1] - '0') * 64 +
                                               (field[i + 2] - '0') * 8 + (field[i + 3] - '0')));
            i += 3;
        } else {
            result.push_back(field[i]);
        }
    }
    return result;
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

// udev writes the bytes it does not allow in a link name (blank, slash, backslash...) as \xhh.
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

// Splits on single blanks, keeping empty fields: an empty mount source shows as two blanks.
std::vector<std::string_view> splitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t blank = line.find(' ', start);
        fields.push_back(line.substr(start, blank - start));
        if (blank == std::string_view::npos) {
            return fields;
        }
        start = blank + 1;
    }
}

bool parseId(std::string_view text, int& value) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && !text.empty();
}

// One mountinfo line: ID, parent ID, major:minor, root, mount point, options, optional fields
// up to "-", then type, source and the file system's options.
bool parseLine(std::string_view line, Mount& mount) {
    const std::vector<std::string_view> fields = splitFields(line);
    if (fields.size() < 6) {
        return false;
    }
    std::size_t separator = 6;
    while (separator < fields.size() && fields[separator] != "-") {
        ++separator;
    }
    if (separator + 2 >= fields.size()) {
        return false;
    }
    if (!parseId(fields[0], mount.id) || !parseId(fields[1], mount.parentId)) {
        return false;
    }
    mount.mountPoint = decodeOctal(fields[4]);
    mount.type = decodeOctal(fields[separator + 1]);
    mount.source = decodeOctal(fields[separator + 2]);
    mount.label.clear();
    return !mount.mountPoint.empty() && mount.mountPoint.front() == '/' && !mount.type.empty();
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

unsigned char foldAscii(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

bool displayLess(const std::string& a, const std::string& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char fa = foldAscii(static_cast<unsigned char>(a[i]));
        const unsigned char fb = foldAscii(static_cast<unsigned char>(b[i]));
        if (fa != fb) {
            return fa < fb;
        }
    }
    if (a.size() != b.size()) {
        return a.size() < b.size();
    }
    return a < b;
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

// The device's kernel name: the last part of where a chain of /dev links ends.
std::string deviceName(std::string path) {
    // Device links such as /dev/mapper/home point at the node (../dm-1) in /dev itself.
    for (int hops = 0; hops < 8; ++hops) {
        char target[4096];
        const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
        if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target) {
            break;
        }
        const std::string link(target, static_cast<std::size_t>(n));
        path = link.front() == '/' ? link : core::joinPath(core::parentFolder(path), link);
    }
    return core::fileName(path);
}

}  // namespace

std::vector<Mount> readMountTable(const std::string& path) {
    const std::string content = readWholeFile(path);
    std::vector<Mount> table;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos) {
            end = content.size();
        }
        Mount mount;
        if (parseLine(std::string_view(content).substr(start, end - start), mount)) {
            table.push_back(std::move(mount));
        }
        start = end + 1;
    }
    return table;
}

std::vector<Mount> userDrives(const std::vector<Mount>& table) {
    const std::vector<bool> visible = reachable(table);
    std::vector<Mount> drives;
    Mount root{"/", {}, {}, {}};
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

void addLabels(std::vector<Mount>& mounts, const std::string& byLabelFolder) {
    DIR* dir = ::opendir(byLabelFolder.c_str());
    if (dir == nullptr) {
        return;
    }
    std::vector<std::pair<std::string, std::string>> links;  // link name, device name
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        char target[4096];
        const ssize_t n = ::readlinkat(::dirfd(dir), name.c_str(), target, sizeof target);
        if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target) {
            continue;
        }
        const std::string link(target, static_cast<std::size_t>(n));
        links.emplace_back(name, core::fileName(link));
    }
    ::closedir(dir);
    // One answer whatever order the folder lists its links in.
    std::sort(links.begin(), links.end());
    for (Mount& mount : mounts) {
        if (mount.source.rfind("/dev/", 0) != 0) {
            continue;
        }
        const std::string device = deviceName(mount.source);
        for (const auto& [name, linked] : links) {
            if (!device.empty() && linked == device) {
                mount.label = decodeUdev(name);
                break;
            }
        }
    }
}

std::vector<Mount> mountedDrives() {
    std::vector<Mount> drives = userDrives(readMountTable());
    addLabels(drives);
    return drives;
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
