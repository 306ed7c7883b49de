#include "fs/namerule.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <array>

#include "fs/mounts.h"

namespace fs {

namespace {

// statfs magic numbers of the drives that count UTF-16 code units.
constexpr long kMsdosMagic = 0x4d44;  // vfat and msdos
constexpr long kExfatMagic = 0x2011BAB0;
constexpr long kNtfsMagic = 0x5346544e;
constexpr long kNtfs3Magic = 0x7366746e;
constexpr long kFuseMagic = 0x65735546;

// The Windows file systems by the names mounts give them, the FUSE drivers' ones included.
bool countsUtf16(std::string_view type) {
    static constexpr std::array<std::string_view, 10> kTypes{
        "vfat", "msdos", "fat",     "exfat",      "exfat-fuse",
        "ntfs", "ntfs3", "ntfs-3g", "lowntfs-3g", "fusefat"};
    for (const std::string_view known : kTypes) {
        if (type == known) {
            return true;
        }
    }
    return false;
}

// The type of the FUSE mount holding `dirfd`, from the mount table: "fuseblk", "fuse.exfat"...
// Empty when the mount cannot be found.
std::string fuseType(int dirfd) {
    struct statx sx {};
    if (::statx(dirfd, "", AT_EMPTY_PATH, STATX_MNT_ID, &sx) != 0 ||
        (sx.stx_mask & STATX_MNT_ID) == 0) {
        return {};
    }
    for (const Mount& mount : readMountTable()) {
        if (mount.id >= 0 && static_cast<std::uint64_t>(mount.id) == sx.stx_mnt_id) {
            return mount.type;
        }
    }
    return {};
}

bool fuseCountsUtf16(const std::string& type) {
    const std::size_t dot = type.find('.');
    if (dot != std::string::npos) {
        return countsUtf16(std::string_view(type).substr(dot + 1));
    }
    // A FUSE driver of a block device without a subtype: Debian's are ntfs-3g and exfat-fuse.
    return type == "fuseblk";
}

// The limit nearly every server keeps, whatever a FUSE mount says of it.
constexpr std::size_t kCommonMax = 255;

// Whether the drive takes a name of this length: a lookup of a name that is free answers ENOENT
// where the drive takes the name, an error of its own (EINVAL, EBADMSG, ENAMETOOLONG) where not.
bool takesName(int dirfd, const std::string& name) {
    struct stat st {};
    return ::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno == ENOENT;
}

// A FUSE mount of a network share may pass on a limit that is not the server's (gvfs says 1024
// for an SMB share whose server takes 255): the server is asked by two lookups of names that
// surely do not exist, one of 256 bytes, one of 256 bytes that are fewer UTF-16 code units.
void serverRule(int dirfd, NameRule& rule) {
    const std::string marker = ".kovra-length-";
    std::string ascii = marker;
    ascii.resize(kCommonMax + 1, 'x');
    if (takesName(dirfd, ascii)) {
        return;
    }
    rule.max = kCommonMax;
    std::string wide = marker;  // "あ" is three bytes and one code unit
    while (wide.size() <= kCommonMax) {
        wide += "\xe3\x81\x82";
    }
    if (takesName(dirfd, wide)) {
        rule.unit = NameUnit::Utf16;
    }
}

}  // namespace

std::size_t utf16Length(std::string_view name) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < name.size();) {
        const auto b = static_cast<unsigned char>(name[i]);
        const std::size_t length = b < 0x80             ? 1
                                   : (b & 0xE0) == 0xC0 ? 2
                                   : (b & 0xF0) == 0xE0 ? 3
                                   : (b & 0xF8) == 0xF0 ? 4
                                                        : 0;
        bool valid = length > 0 && i + length <= name.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            valid = (static_cast<unsigned char>(name[i + k]) & 0xC0) == 0x80;
        }
        if (!valid) {
            ++units;
            ++i;
            continue;
        }
        units += length == 4 ? 2 : 1;  // beyond the BMP: a surrogate pair
        i += length;
    }
    return units;
}

std::size_t NameRule::length(std::string_view name) const {
    return unit == NameUnit::Utf16 ? utf16Length(name) : name.size();
}

NameRule nameRuleAt(int dirfd) {
    NameRule rule;
    struct statfs sf {};
    if (::fstatfs(dirfd, &sf) == 0) {
        const long type = static_cast<long>(sf.f_type);
        if (type == kMsdosMagic || type == kExfatMagic || type == kNtfsMagic ||
            type == kNtfs3Magic || (type == kFuseMagic && fuseCountsUtf16(fuseType(dirfd)))) {
            rule.unit = NameUnit::Utf16;
            return rule;  // 255 code units on all of them
        }
    }
    const long limit = ::fpathconf(dirfd, _PC_NAME_MAX);
    if (limit > 0) {
        rule.max = static_cast<std::size_t>(limit);
    }
    if (rule.max > kCommonMax && ::fstatfs(dirfd, &sf) == 0 &&
        static_cast<long>(sf.f_type) == kFuseMagic) {
        serverRule(dirfd, rule);
    }
    return rule;
}

NameRule nameRule(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    const NameRule rule = nameRuleAt(fd);
    ::close(fd);
    return rule;
}

}  // namespace fs
