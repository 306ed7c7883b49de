#include "fs/namerule.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <locale.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <wctype.h>

#include <array>
#include <cerrno>
#include <climits>
#include <optional>

#include "core/paths.h"
#include "fs/fd.h"
#include "fs/folder_reader.h"
#include "fs/mounts.h"

namespace fs {

namespace {

// statfs magic numbers of the drives that count UTF-16 code units.
constexpr long kMsdosMagic = 0x4d44;  // vfat and msdos
constexpr long kExfatMagic = 0x2011BAB0;
constexpr long kNtfsMagic = 0x5346544e;
constexpr long kNtfs3Magic = 0x7366746e;
constexpr long kFuseMagic = 0x65735546;
constexpr long kCifsMagic = 0xFF534D42;
constexpr long kSmb2Magic = 0xFE534D42;

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

// The length of the UTF-8 sequence `name` begins at `i` with, or 0 where it is not valid there.
std::size_t sequenceAt(std::string_view name, std::size_t i) {
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
    return valid ? length : 0;
}

char32_t decodeAt(std::string_view name, std::size_t i, std::size_t length) {
    static constexpr unsigned char kLead[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t c = static_cast<unsigned char>(name[i]) & kLead[length];
    for (std::size_t k = 1; k < length; ++k) {
        c = (c << 6) | (static_cast<unsigned char>(name[i + k]) & 0x3F);
    }
    return c;
}

void encodeInto(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Unicode's upper case of `c`, whatever the process's own locale; unchanged without one.
char32_t upperOf(char32_t c) {
    static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    if (utf8 == nullptr) {
        return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c;
    }
    return static_cast<char32_t>(::towupper_l(static_cast<wint_t>(c), utf8));
}

bool hasAsciiLetter(std::string_view name) {
    for (const char c : name) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
            return true;
        }
    }
    return false;
}

std::string swappedCase(std::string_view name) {
    std::string out(name);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        } else if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

// Whether the folder open as `dirfd` finds its entry `name` under the name with its ASCII
// letters' case swapped. A FUSE driver may give each name looked up an inode number of its own,
// so where the numbers differ the folder is read: the swapped name is another file only if an
// entry bears it.
bool takesOtherCase(int dirfd, const std::string& name) {
    const std::string swapped = swappedCase(name);
    struct stat asked {};
    struct stat other {};
    if (::fstatat(dirfd, swapped.c_str(), &other, AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
    }
    if (::fstatat(dirfd, name.c_str(), &asked, AT_SYMLINK_NOFOLLOW) == 0 &&
        asked.st_dev == other.st_dev && asked.st_ino == other.st_ino) {
        return true;
    }
    bool listed = false;
    readFolder(dirfd, Kinds::NameOnly, [&](const FolderEntry& e) {
        listed = e.name == swapped;
        return !listed;
    });
    return !listed;
}

// What the drive of the folder open as `dirfd` answers about case, asked with a name of the
// folder that has a letter, else with the folder's own name in its parent; nothing when neither
// has one.
std::optional<bool> askedFolds(int dirfd) {
    std::string sample;
    readFolder(dirfd, Kinds::NameOnly, [&](const FolderEntry& e) {
        if (hasAsciiLetter(e.name)) {
            sample = e.name;
        }
        return sample.empty();
    });
    if (!sample.empty()) {
        return takesOtherCase(dirfd, sample);
    }
    char path[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(dirfd);
    const ssize_t n = ::readlink(link.c_str(), path, sizeof path);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof path) {
        return std::nullopt;
    }
    const std::string own = core::fileName(std::string(path, static_cast<std::size_t>(n)));
    Fd parent(::openat(dirfd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat folder {};
    struct stat inParent {};
    struct stat entry {};
    if (!hasAsciiLetter(own) || parent.get() < 0 || ::fstat(dirfd, &folder) != 0 ||
        ::fstat(parent.get(), &inParent) != 0 || inParent.st_dev != folder.st_dev ||
        ::fstatat(parent.get(), own.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0 ||
        entry.st_ino != folder.st_ino) {
        return std::nullopt;  // at the top of its drive, or moved since it was opened
    }
    return takesOtherCase(parent.get(), own);
}

// The rule of a drive that cannot be asked (an empty folder at the top of its drive), by its
// type: the FUSE drivers of exFAT show as "fuseblk" or "fuse.exfat".
CaseRule typicalRule(int dirfd, long type) {
    if (type == kCifsMagic || type == kSmb2Magic) {
        return CaseRule::Unicode;
    }
    if (type == kFuseMagic) {
        const std::string fuse = fuseType(dirfd);
        if (fuse == "fuseblk" || fuse == "fuse.exfat" || fuse == "fuse.exfat-fuse") {
            return CaseRule::Unicode;
        }
        if (fuse == "fuse.fusefat") {
            return CaseRule::Ascii;
        }
    }
    return CaseRule::Exact;
}

// A folder of ext4, f2fs or tmpfs made to fold case (chattr +F).
bool foldsByFlag(int dirfd) {
    constexpr int kCasefoldFlag = 0x40000000;  // FS_CASEFOLD_FL
    int flags = 0;
    return ::ioctl(dirfd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & kCasefoldFlag) != 0;
}

}  // namespace

void nameKeyInto(std::string& out, CaseRule cases, std::string_view name) {
    out.clear();
    if (cases == CaseRule::Exact) {
        out.assign(name);
        return;
    }
    out.reserve(name.size());
    for (std::size_t i = 0; i < name.size();) {
        const char b = name[i];
        if (static_cast<unsigned char>(b) < 0x80 || cases == CaseRule::Ascii) {
            out += b >= 'a' && b <= 'z' ? static_cast<char>(b - 'a' + 'A') : b;
            ++i;
            continue;
        }
        const std::size_t length = sequenceAt(name, i);
        if (length == 0) {
            out += b;  // not UTF-8: compared as it is
            ++i;
            continue;
        }
        encodeInto(out, upperOf(decodeAt(name, i, length)));
        i += length;
    }
}

std::string nameKey(CaseRule cases, std::string_view name) {
    std::string out;
    nameKeyInto(out, cases, name);
    return out;
}

CaseRule caseRuleAt(int dirfd) {
    struct statfs sf {};
    if (::fstatfs(dirfd, &sf) != 0) {
        return CaseRule::Exact;
    }
    const long type = static_cast<long>(sf.f_type);
    if (type == kMsdosMagic) {
        return CaseRule::Ascii;
    }
    if (type == kExfatMagic) {
        return CaseRule::Unicode;
    }
    if (type != kFuseMagic && type != kNtfs3Magic && type != kNtfsMagic && type != kCifsMagic &&
        type != kSmb2Magic) {
        return foldsByFlag(dirfd) ? CaseRule::Unicode : CaseRule::Exact;
    }
    const std::optional<bool> folds = askedFolds(dirfd);
    if (!folds) {
        return typicalRule(dirfd, type);
    }
    return *folds ? CaseRule::Unicode : CaseRule::Exact;
}

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
