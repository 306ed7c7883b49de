#include "fs/write_back.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace fs {

namespace {

constexpr unsigned long kFuseMagic = 0x65735546;

// The NUL-separated strings of a /proc file (cmdline, environ); empty when it cannot be read.
std::vector<std::string> nulSeparated(const std::string& path) {
    std::vector<std::string> items;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return items;
    }
    std::string content;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            content.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(fd);
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\0', start);
        if (end == std::string::npos) {
            end = content.size();
        }
        items.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

// `path` made absolute against `cwd` and written plainly ("a//b/./c/" as "a/b/c"), without
// asking any drive: the mount point itself may hang.
std::string plainPath(const std::string& path, const std::string& cwd) {
    const std::string whole = !path.empty() && path.front() == '/' ? path : cwd + "/" + path;
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= whole.size()) {
        std::size_t end = whole.find('/', start);
        if (end == std::string::npos) {
            end = whole.size();
        }
        const std::string part = whole.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string plain;
    for (const std::string& part : parts) {
        plain += "/" + part;
    }
    return plain.empty() ? "/" : plain;
}

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The cache mode an rclone mount of `mountPoint` was started with, from its daemon's command
// line and environment; nullopt when no such daemon is seen (another user's, another
// namespace's).
std::optional<std::string> rcloneCacheMode(const std::string& mountPoint, const std::string& proc) {
    DIR* dir = ::opendir(proc.c_str());
    if (dir == nullptr) {
        return std::nullopt;
    }
    std::optional<std::string> mode;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string pid = entry->d_name;
        if (pid.empty() || !std::all_of(pid.begin(), pid.end(), ::isdigit)) {
            continue;
        }
        const std::vector<std::string> args = nulSeparated(proc + "/" + pid + "/cmdline");
        if (args.size() < 3 || args[0].find("rclone") == std::string::npos ||
            std::find_if(args.begin(), args.end(), [](const std::string& a) {
                return a == "mount" || a == "cmount";
            }) == args.end()) {
            continue;
        }
        char cwd[PATH_MAX];
        const ssize_t n = ::readlink((proc + "/" + pid + "/cwd").c_str(), cwd, sizeof cwd - 1);
        const std::string where = n > 0 ? std::string(cwd, static_cast<std::size_t>(n)) : "/";
        if (std::none_of(args.begin() + 1, args.end(),
                         [&](const std::string& a) { return plainPath(a, where) == mountPoint; })) {
            continue;
        }
        // rclone's default, unless its environment or its options say otherwise (the last one
        // given counts).
        mode = "off";
        for (const std::string& variable : nulSeparated(proc + "/" + pid + "/environ")) {
            if (variable.rfind("RCLONE_VFS_CACHE_MODE=", 0) == 0) {
                mode = variable.substr(variable.find('=') + 1);
            }
        }
        for (std::size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--vfs-cache-mode" && i + 1 < args.size()) {
                mode = args[++i];
            } else if (args[i].rfind("--vfs-cache-mode=", 0) == 0) {
                mode = args[i].substr(args[i].find('=') + 1);
            }
        }
        break;
    }
    ::closedir(dir);
    return mode;
}

}  // namespace

WriteBack writeBackOf(const Mount& mount, const std::string& proc) {
    // davfs2 keeps every file written in its cache and uploads it after its delay_upload.
    if (mount.type == "davfs" || mount.type == "fuse.davfs") {
        return WriteBack::Later;
    }
    if (mount.type != "fuse.rclone") {
        return WriteBack::InOrder;
    }
    const std::optional<std::string> mode = rcloneCacheMode(mount.mountPoint, proc);
    if (!mode) {
        return WriteBack::Unknown;
    }
    // off and minimal hand a file opened for writing only straight to the server at its close,
    // as the reservation opens it; writes and full keep it for a later upload.
    const std::string m = lowered(*mode);
    if (m == "off" || m == "minimal") {
        return WriteBack::InOrder;
    }
    return m == "writes" || m == "full" ? WriteBack::Later : WriteBack::Unknown;
}

bool flagOnlyLooks(const Mount& mount) {
    return mount.type == "fuse.gvfsd-fuse";
}

DriveWays waysOf(int fd) {
    struct statfs fsInfo {};
    struct stat st {};
    if (::fstatfs(fd, &fsInfo) != 0 || ::fstat(fd, &st) != 0 ||
        static_cast<unsigned long>(fsInfo.f_type) != kFuseMagic) {
        return {};
    }
    static std::mutex guard;
    static std::map<dev_t, DriveWays> known;
    {
        const std::lock_guard<std::mutex> lock(guard);
        if (const auto it = known.find(st.st_dev); it != known.end()) {
            return it->second;
        }
    }
    DriveWays ways;
    if (const std::optional<MountedPath> place = mountOf(fd)) {
        ways.writeBack = writeBackOf(place->mount);
        ways.flagOnlyLooks = flagOnlyLooks(place->mount);
    }
    const std::lock_guard<std::mutex> lock(guard);
    known[st.st_dev] = ways;
    return ways;
}

}  // namespace fs
