#include "fs/journal.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <system_error>

#include "core/naming.h"
#include "fs/fd.h"
#include "fs/folder_reader.h"
#include "fs/merge/steps.h"
#include "fs/mounts.h"

namespace fs {

namespace {

using namespace journal_format;

constexpr char kMagic[8] = {'K', 'O', 'V', 'R', 'A', 'J', 'N', 'L'};
constexpr char kRunsFolder[] = "runs";
constexpr char kRunPrefix[] = "run-";
constexpr char kBadSuffix[] = ".bad";
constexpr char kTempPrefix[] = ".tmp.";

enum Record : std::uint32_t {
    kFolder = 1,    // a folder of the plan
    kEntries = 2,   // renames of a folder (in version 3: of the last folder)
    kPlanned = 3,   // version 3: the plan is whole: folder and entry counts
    kLinked = 4,    // a new name linked in a folder
    kReserved = 5,  // a reservation made in a folder
    kEnded = 6,     // the run ended: files renamed, time
    kUndone = 7,    // the run was undone: time
    kKept = 8,      // the run was cut short and left so: time
    // A merge's records.
    kMergeTarget = 9,     // the destination, the merge's flags
    kMergeFolder = 10,    // a folder walked
    kMergeEntries = 11,   // files to move
    kMergePlanned = 12,   // the plan is whole: folder and entry counts
    kMergeNumbered = 13,  // an entry's numbered name
    kMergeTrashing = 14,  // an entry about to go to the Trash
    kMergeTrashed = 15,   // ... and where it went
    kMergeLinked = 16,    // an entry's second name linked in the destination
    kMergeReserved = 17,  // an empty reservation made for an entry
    kMergeCopying = 18,   // a copy to another drive begun for an entry
    kMergeCopied = 19,    // ... whole and checked
    kMergeRemoving = 20,  // folders about to be removed
    kMergeEnded = 21,     // the merge ended: time
    kMergeCopyBack = 22,  // an undo began copying an entry back
};

// Type, length, the check of those two, and the checksum after the payload.
constexpr std::size_t kRecordHead = 4 + 4 + 4;
constexpr std::size_t kRecordFrame = kRecordHead + 8;
// An entries record is written once it holds this much, so no record is huge.
constexpr std::size_t kEntriesRecordBytes = 1 << 20;
// The plan's first chunk, synced before the first rename: small, so that the renames begin at
// once. The writer's thread then writes chunks twice as large each time, up to the largest.
constexpr std::uint64_t kFirstChunk = 4096;
constexpr std::uint64_t kLargestChunk = std::uint64_t{1} << 18;
// Renames whose identity is asked of the drive cost a round trip each: a slow drive would wait
// long for the first chunk, so theirs start smaller.
constexpr std::uint64_t kFirstAskedChunk = 64;
// What a rename usually takes in an entries record: its old name and the frame around it.
constexpr std::uint64_t kEntryBytesHint = 64;
// Chunks written since the last sync, beyond which the writer's thread syncs without waiting for
// a chunk's worth of renames: folders of few files each are then synced a few at a time.
constexpr std::size_t kSyncChunks = 8;
// Far beyond any real plan; a larger file is not ours and is not read into memory.
constexpr std::uint64_t kMaxFileBytes = std::uint64_t{1} << 34;
// No file system gives longer names or paths; longer lengths mean a damaged file.
constexpr std::size_t kMaxNameBytes = 4096;
constexpr std::size_t kMaxPathBytes = 1 << 16;

void putU32(std::string& out, std::uint32_t v) {
    char bytes[4];
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<char>(v >> (8 * i));
    }
    out.append(bytes, sizeof bytes);
}

void putU64(std::string& out, std::uint64_t v) {
    char bytes[8];
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<char>(v >> (8 * i));
    }
    out.append(bytes, sizeof bytes);
}

void putBytes(std::string& out, std::string_view bytes) {
    putU32(out, static_cast<std::uint32_t>(bytes.size()));
    out += bytes;
}

void setU32(std::string& out, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out[at + static_cast<std::size_t>(i)] = static_cast<char>(v >> (8 * i));
    }
}

std::uint64_t getLE(const char* at, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        v = (v << 8) | static_cast<unsigned char>(at[i]);
    }
    return v;
}

// The first `n` (at most 8) bytes at `at` as a little-endian number, read at once.
std::uint64_t wordAt(const char* at, std::size_t n) {
    std::uint64_t word = 0;
    std::memcpy(&word, at, n);
    if constexpr (std::endian::native == std::endian::big) {
        word = __builtin_bswap64(word) >> (64 - 8 * n) % 64;
    }
    return word;
}

// The checksum of files of the version before: 64-bit FNV-1a.
std::uint64_t wholePlanChecksum(std::string_view bytes) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (const char c : bytes) {
        h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    }
    return h;
}

using Checksum = std::uint64_t (*)(std::string_view);

Checksum checksumOf(std::uint32_t version) {
    return version == kWholePlanVersion ? wholePlanChecksum : journalChecksum;
}

std::int64_t nowNs() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

bool validName(std::string_view name) {
    return !name.empty() && name.size() <= kMaxNameBytes && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

bool validFolder(std::string_view path) {
    return !path.empty() && path.front() == '/' && path.size() <= kMaxPathBytes &&
           path.find('\0') == std::string_view::npos;
}

// One record as written: type, length, payload, checksum.
std::string framed(std::uint32_t type, std::string_view payload,
                   Checksum checksum = journalChecksum) {
    std::string out;
    out.reserve(payload.size() + kRecordFrame);
    putU32(out, type);
    putU32(out, static_cast<std::uint32_t>(payload.size()));
    // A length damaged in the middle of the file is told from a record a kill cut short.
    putU32(out, static_cast<std::uint32_t>(checksum(out)));
    out += payload;
    putU64(out, checksum(out));
    return out;
}

// Frames the renames of folder `folder` as entries records straight into `out`. With `spill`,
// whole records are handed to it as soon as they hold a record's worth, so that a chunk of the
// plan never lies in memory at once.
class RecordSink final : public EntrySink {
public:
    using Spill = std::function<int(std::string& records)>;
    RecordSink(std::uint32_t folder, std::string& out, const Spill* spill = nullptr)
        : folder_(folder), out_(out), spill_(spill) {}
    void add(std::string_view oldName, std::string_view newName, FileId fileId) override {
        if (!validName(newName) || oldName == newName) {
            err = EINVAL;
        }
        append(oldName, newName, fileId);
    }
    void addPrefixed(std::string_view oldName, FileId fileId) override {
        append(oldName, {}, fileId);
    }
    void append(std::string_view oldName, std::string_view newName, FileId fileId) {
        if (err != 0) {
            return;
        }
        if (!validName(oldName)) {
            err = EINVAL;
            return;
        }
        if (count_ == 0) {
            start_ = out_.size();
            out_.append(kRecordHead + 8, '\0');  // framed once its length is known
        }
        putBytes(out_, oldName);
        putBytes(out_, newName);
        putU64(out_, fileId.device);
        putU64(out_, fileId.inode);
        ++count_;
        if (out_.size() - start_ >= kEntriesRecordBytes) {
            flush();
            if (spill_ != nullptr && err == 0) {
                err = (*spill_)(out_);
            }
        }
    }
    void flush() {
        if (count_ == 0) {
            return;
        }
        const std::size_t length = out_.size() - start_ - kRecordHead;
        setU32(out_, start_, kEntries);
        setU32(out_, start_ + 4, static_cast<std::uint32_t>(length));
        setU32(
            out_, start_ + 8,
            static_cast<std::uint32_t>(journalChecksum(std::string_view(out_).substr(start_, 8))));
        setU32(out_, start_ + kRecordHead, folder_);
        setU32(out_, start_ + kRecordHead + 4, count_);
        putU64(out_, journalChecksum(std::string_view(out_).substr(start_, kRecordHead + length)));
        count_ = 0;
    }
    int err = 0;

private:
    std::uint32_t folder_;
    std::string& out_;
    const Spill* spill_;
    std::size_t start_ = 0;
    std::uint32_t count_ = 0;
};

int writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

int preadAll(int fd, char* data, std::size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t n = ::pread(fd, data, size, offset);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            return EIO;  // shorter than fstat said: changed under us
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return 0;
}

// Appends one record to the journal at `path` and syncs it.
int appendTo(const std::string& path, std::uint32_t type, const std::string& payload) {
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return errno;
    }
    // Checked as the file's own version checks its records.
    char head[12] = {};
    const int readErr = preadAll(fd, head, sizeof head, 0);
    if (readErr != 0) {
        ::close(fd);
        return readErr;
    }
    const std::string record =
        framed(type, payload, checksumOf(static_cast<std::uint32_t>(getLE(head + 8, 4))));
    int err = writeAll(fd, record.data(), record.size());
    if (err == 0 && ::fsync(fd) != 0) {
        err = errno;
    }
    ::close(fd);
    return err;
}

// Removes the temporaries of writers killed before their commit: a plan of a million entries
// left behind would weigh tens of megabytes. A writer still running holds its own locked.
void removeDeadTemporaries(int dirfd) {
    const std::size_t prefix = sizeof kTempPrefix - 1;
    std::vector<std::string> temporaries;
    readFolder(dirfd, Kinds::NameOnly, [&](const FolderEntry& entry) {
        if (entry.name.substr(0, prefix) == kTempPrefix) {
            temporaries.emplace_back(entry.name);
        }
        return true;
    });
    for (const std::string& name : temporaries) {
        const int fd = ::openat(dirfd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            ::unlinkat(dirfd, name.c_str(), 0);
        }
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

// Reads a run's records out of the whole file `data`, trusting no length in it.
class Parser {
public:
    explicit Parser(std::string_view data) : data_(data) {}

    bool u8(std::uint8_t& v) {
        if (left() < 1) {
            return false;
        }
        v = static_cast<std::uint8_t>(data_[pos_]);
        pos_ += 1;
        return true;
    }
    bool u32(std::uint32_t& v) {
        if (left() < 4) {
            return false;
        }
        v = static_cast<std::uint32_t>(getLE(data_.data() + pos_, 4));
        pos_ += 4;
        return true;
    }
    bool u64(std::uint64_t& v) {
        if (left() < 8) {
            return false;
        }
        v = getLE(data_.data() + pos_, 8);
        pos_ += 8;
        return true;
    }
    bool i64(std::int64_t& v) {
        std::uint64_t u = 0;
        const bool ok = u64(u);
        v = static_cast<std::int64_t>(u);
        return ok;
    }
    bool bytes(std::string& out, std::size_t maxBytes) {
        std::uint32_t n = 0;
        if (!u32(n) || n > maxBytes || n > left()) {
            return false;
        }
        out.assign(data_.data() + pos_, n);
        pos_ += n;
        return true;
    }
    bool id(FileId& v) { return u64(v.device) && u64(v.inode); }
    std::size_t left() const { return data_.size() - pos_; }

private:
    std::string_view data_;
    std::size_t pos_ = 0;
};

// What a journal's records have told so far.
struct ParseState {
    bool streamed = false;  // version 4: the plan comes in chunks among the other records
    bool planned = false;   // version 3: the plan is whole
    std::uint64_t entries = 0;
    // How many renames each folder's records announce, to make room for them at once: counted
    // from the records' heads before they are checked, so only room is made of them.
    std::vector<std::uint64_t> announced;
    // Whether plan records may still come, and records about the plan may.
    bool planOpen() const { return streamed ? true : !planned; }
    bool planKnown(const JournalRead& read) const {
        return streamed ? !read.plans.empty() : planned;
    }
};

// Applies one record to `read`; false when it does not belong there or does not parse.
bool applyRecord(std::uint32_t type, std::string_view payload, ParseState& state,
                 JournalRead& read) {
    Parser p(payload);
    std::vector<JournalPlan>& plans = read.plans;
    const auto folderAt = [&](std::uint32_t index) -> JournalPlan* {
        return index < plans.size() ? &plans[index] : nullptr;
    };
    switch (type) {
        case kFolder: {
            if (!state.planOpen() || read.ended) {
                return false;
            }
            JournalPlan& plan = plans.emplace_back();
            if (plans.size() <= state.announced.size()) {
                plan.entries.reserve(state.announced[plans.size() - 1]);
            }
            std::uint8_t kind = 0;
            if (!p.bytes(plan.folder, kMaxPathBytes) || !validFolder(plan.folder) ||
                !p.id(plan.folderId) || !p.u8(kind) || kind > 1 ||
                !p.bytes(plan.place.mountIdentity, kMaxPathBytes) ||
                !p.bytes(plan.place.mountRoot, kMaxPathBytes) ||
                !p.bytes(plan.place.mountPoint, kMaxPathBytes) ||
                !p.bytes(plan.place.relative, kMaxPathBytes) ||
                !p.bytes(plan.place.label, kMaxPathBytes)) {
                return false;
            }
            plan.identity = static_cast<IdentityKind>(kind);
            break;
        }
        case kEntries: {
            std::uint32_t folder = static_cast<std::uint32_t>(plans.size()) - 1;
            std::uint32_t count = 0;
            JournalPlan* plan = nullptr;
            if (!state.planOpen() || read.ended || (state.streamed && !p.u32(folder)) ||
                (plan = folderAt(folder)) == nullptr || !p.u32(count) ||
                count > p.left() / (4 + 1 + 4 + 16)) {
                return false;
            }
            // Room made for twice as many at a time: a plan comes in many records.
            if (plan->entries.capacity() - plan->entries.size() < count) {
                plan->entries.reserve(
                    std::max(2 * plan->entries.capacity(), plan->entries.size() + count));
            }
            for (std::uint32_t i = 0; i < count; ++i) {
                JournalEntry& e = plan->entries.emplace_back();
                if (!p.bytes(e.oldName, kMaxNameBytes) || !p.bytes(e.newName, kMaxNameBytes) ||
                    !p.id(e.fileId)) {
                    return false;
                }
                if (e.newName.empty() && state.streamed) {
                    // The rename every run makes: its folder's name, "_" and the old name.
                    e.newName = core::prefixedName(plan->folder, e.oldName);
                }
                if (!validName(e.oldName) || !validName(e.newName) || e.oldName == e.newName) {
                    return false;
                }
            }
            state.entries += count;
            break;
        }
        case kPlanned: {
            std::uint64_t folders = 0;
            std::uint64_t total = 0;
            if (state.streamed || state.planned || !p.u64(folders) || !p.u64(total) ||
                folders != plans.size() || folders == 0 || total != state.entries) {
                return false;
            }
            state.planned = true;
            break;
        }
        case kLinked: {
            std::uint32_t folder = 0;
            std::string name;
            JournalPlan* plan = nullptr;
            if (!state.planKnown(read) || !p.u32(folder) || !p.bytes(name, kMaxNameBytes) ||
                !validName(name) || (plan = folderAt(folder)) == nullptr) {
                return false;
            }
            plan->linked.push_back(std::move(name));
            break;
        }
        case kReserved: {
            std::uint32_t folder = 0;
            std::string name;
            FileId id;
            JournalPlan* plan = nullptr;
            if (!state.planKnown(read) || !p.u32(folder) || !p.bytes(name, kMaxNameBytes) ||
                !validName(name) || !p.id(id) || (plan = folderAt(folder)) == nullptr) {
                return false;
            }
            plan->reservations.emplace_back(std::move(name), id);
            break;
        }
        case kEnded: {
            std::uint64_t renamed = 0;
            std::uint32_t folders = 0;
            if (!state.planKnown(read) || read.ended || !p.u64(renamed) || !p.i64(read.endedAt) ||
                !p.u32(folders) || (folders != 0 && folders != plans.size())) {
                return false;
            }
            for (std::uint32_t f = 0; f < folders; ++f) {
                if (!p.i64(plans[f].leftAt)) {
                    return false;
                }
            }
            read.ended = true;
            read.renamed = static_cast<std::int64_t>(renamed);
            break;
        }
        case kUndone:
        case kKept: {
            std::int64_t at = 0;
            if (!state.planKnown(read) || !p.i64(at)) {
                return false;
            }
            (type == kUndone ? read.undone : read.kept) = true;
            break;
        }
        default:
            return false;
    }
    return p.left() == 0;
}

// Which of the runs' folder names are runs, newest first.
std::vector<std::string> runNames(const std::string& runsDir) {
    std::vector<std::string> names;
    const std::size_t prefix = sizeof kRunPrefix - 1;
    const std::size_t suffix = sizeof kBadSuffix - 1;
    readFolder(runsDir, Kinds::NameOnly, [&](const FolderEntry& entry) {
        const std::string_view name = entry.name;
        if (name.substr(0, prefix) == kRunPrefix &&
            (name.size() < suffix || name.substr(name.size() - suffix) != kBadSuffix)) {
            names.emplace_back(name);
        }
        return true;
    });
    // The names begin with the start time in fixed width: their order is the runs' order.
    std::sort(names.rbegin(), names.rend());
    return names;
}

// Removes runs beyond the history's length that are over (ended, undone or left cut short) and
// that nobody holds. A run cut short and never looked at is kept, however old.
void pruneHistory(const std::string& runsDir) {
    const std::vector<std::string> names = runNames(runsDir);
    for (std::size_t i = kHistoryLength; i < names.size(); ++i) {
        const std::string path = runsDir + "/" + names[i];
        const LockedRun lock(path);
        if (!lock.valid()) {
            continue;
        }
        const JournalRead read = readJournalSummary(path);
        if (read.status == JournalRead::Status::Ok && (read.ended || read.undone || read.kept)) {
            ::unlink(path.c_str());
        }
    }
}

// Where the folder `dirfd` lies, and how its files are told apart.
struct FolderSetting {
    IdentityKind identity = IdentityKind::Inode;
    FolderPlace place;
};

// `lastMount` spares a run over many folders of one drive a reading of the mount table each.
FolderSetting settingOf(int dirfd, std::optional<MountedPath>& lastMount) {
    FolderSetting setting;
    std::optional<MountedPath> mounted = lastMount ? mountOf(dirfd, *lastMount) : std::nullopt;
    if (!mounted) {
        mounted = mountOf(dirfd);
    }
    lastMount = mounted;
    if (!mounted) {
        // Nothing known of the drive: told apart by what any drive keeps within a mount.
        setting.identity = IdentityKind::SizeAndTime;
        return setting;
    }
    setting.identity = identityKindOf(mounted->mount.type);
    setting.place = {mounted->identity, mounted->mount.root, mounted->mount.mountPoint,
                     mounted->relative, mounted->mount.label};
    return setting;
}

// The identity the plan keeps for `st`.
FileId planIdentity(const struct stat& st, IdentityKind kind) {
    if (kind == IdentityKind::SizeAndTime) {
        return {static_cast<std::uint64_t>(st.st_size),
                static_cast<std::uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
                    static_cast<std::uint64_t>(st.st_mtim.tv_nsec)};
    }
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

// The identity of `name` in `dirfd` as the plan keeps it; none when it cannot be looked up (a
// name gone since the listing: nothing will ever be done to it).
FileId identityAt(int dirfd, const std::string& name, IdentityKind kind) {
    struct stat st {};
    return ::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? planIdentity(st, kind)
                                                                         : FileId{};
}

}  // namespace

std::uint64_t journalChecksum(std::string_view bytes) {
    // Eight bytes at a time, each mixed in by multiplications that lose nothing: a changed word
    // always changes the sum, at a fraction of the cost of a byte at a time.
    constexpr std::uint64_t kMixIn = 0x9e3779b97f4a7c15ULL;
    constexpr std::uint64_t kStep = 0xbf58476d1ce4e5b9ULL;
    std::uint64_t h = 0x243f6a8885a308d3ULL ^ (bytes.size() * kMixIn);
    const auto step = [&h](std::uint64_t word) {
        h ^= word * kMixIn;
        h = ((h << 27) | (h >> 37)) * kStep;
    };
    std::size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        step(wordAt(bytes.data() + i, 8));
    }
    step(wordAt(bytes.data() + i, bytes.size() - i));
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    return h;
}

std::string stateDirectory() {
    const char* xdg = std::getenv("XDG_STATE_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        return (std::filesystem::path(xdg) / "kovra").string();
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') {
        const passwd* pw = ::getpwuid(::getuid());
        home =
            pw != nullptr && pw->pw_dir != nullptr && pw->pw_dir[0] == '/' ? pw->pw_dir : nullptr;
    }
    if (home == nullptr) {
        return {};
    }
    return (std::filesystem::path(home) / ".local" / "state" / "kovra").string();
}

int makeStateDirectory(const std::string& stateDir) {
    if (stateDir.empty()) {
        return ENOENT;
    }
    const std::filesystem::path dir = std::filesystem::path(stateDir).lexically_normal();
    const std::filesystem::path leaf = dir.has_filename() ? dir : dir.parent_path();
    if (leaf.has_parent_path()) {
        std::error_code ec;
        std::filesystem::create_directories(leaf.parent_path(), ec);
        if (ec) {
            return ec.value();
        }
    }
    if (::mkdir(leaf.c_str(), 0700) == 0) {
        // The umask may have taken more than asked; the state folder is the user's alone.
        return ::chmod(leaf.c_str(), 0700) == 0 ? 0 : errno;
    }
    if (errno != EEXIST) {
        return errno;
    }
    struct stat st {};
    if (::stat(leaf.c_str(), &st) != 0) {
        return errno;
    }
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

std::string runsDirectory(const std::string& stateDir) {
    return (std::filesystem::path(stateDir) / kRunsFolder).string();
}

IdentityKind identityKindOf(const std::string& type) {
    // File systems known to keep a file's inode number from one mount to the next. The rest
    // (FAT, exFAT, most FUSE and network drives) may number files anew at every mount.
    static const char* const kKeepInodes[] = {"ext2",  "ext3",  "ext4",    "xfs",      "btrfs",
                                              "tmpfs", "f2fs",  "jfs",     "reiserfs", "nilfs2",
                                              "zfs",   "ntfs3", "bcachefs"};
    for (const char* keeps : kKeepInodes) {
        if (type == keeps) {
            return IdentityKind::Inode;
        }
    }
    return IdentityKind::SizeAndTime;
}

JournalWriter::~JournalWriter() {
    drop();
}

void JournalWriter::stopWriting() {
    {
        const std::lock_guard lock(mutex_);
        closing_ = true;
        for (Section& section : sections_) {
            section.count = section.taken;
        }
        changed_.notify_all();
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

void JournalWriter::drop() {
    stopWriting();
    if (fd_ >= 0) {
        if (!committed_) {
            ::unlinkat(dirfd_, tempName_.c_str(), 0);
        }
        ::close(fd_);  // and the lock with it
    }
    if (dirfd_ >= 0) {
        ::close(dirfd_);
    }
    fd_ = -1;
    dirfd_ = -1;
    committed_ = false;
    head_.clear();
    const std::lock_guard lock(mutex_);
    sections_.clear();
    nextMade_ = 0;
    pending_.clear();
    pending_.shrink_to_fit();
    pendingKept_.clear();
    encodingFrom_ = encodingTo_ = 0;
    closing_ = false;
}

int JournalWriter::begin(const std::string& stateDir, bool mayLeaveReservations) {
    drop();
    err_ = 0;
    path_.clear();
    if (const int err = makeStateDirectory(stateDir); err != 0) {
        return err_ = err;
    }
    const std::string runsDir = runsDirectory(stateDir);
    if (::mkdir(runsDir.c_str(), 0700) != 0 && errno != EEXIST) {
        return err_ = errno;
    }
    runsDir_ = runsDir;
    dirfd_ = ::open(runsDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd_ < 0) {
        return err_ = errno;
    }
    removeDeadTemporaries(dirfd_);
    // A name no other writer picks: this process, a counter, and the clock.
    static std::atomic<unsigned> serial{0};
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
        tempName_ = std::string(kTempPrefix) + std::to_string(::getpid()) + "." +
                    std::to_string(serial++) + "." + std::to_string(nowNs());
        fd_ = ::openat(dirfd_, tempName_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd_ < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd_ < 0 || ::flock(fd_, LOCK_EX) != 0) {
        err_ = errno;
        drop();
        return err_;
    }
    head_.append(kMagic, sizeof kMagic);
    putU32(head_, kVersion);
    putU32(head_, mayLeaveReservations ? kMayLeaveReservations : 0);
    putU64(head_, static_cast<std::uint64_t>(nowNs()));
    putU64(head_, journalChecksum(head_));
    return 0;
}

int JournalWriter::begin(const std::string& stateDir, const std::string& folderPath,
                         FileId folderId, bool mayLeaveReservations) {
    if (!validFolder(folderPath)) {
        drop();
        return err_ = EINVAL;
    }
    if (const int err = begin(stateDir, mayLeaveReservations); err != 0) {
        return err;
    }
    return addFolder(folderPath, folderId);
}

int JournalWriter::addFolder(const std::string& folderPath, FileId folderId, IdentityKind identity,
                             const FolderPlace& place) {
    std::size_t section = 0;
    return addFolder(folderPath, folderId, identity, place, 0, nullptr, true, section);
}

int JournalWriter::addFolder(const std::string& folderPath, FileId folderId, IdentityKind identity,
                             const FolderPlace& place, std::uint64_t count, EntrySource source,
                             bool madeByWaiter, std::size_t& section) {
    const std::lock_guard lock(mutex_);
    if (err_ != 0 || fd_ < 0 || closing_) {
        return err_ != 0 ? err_ : EBADF;
    }
    if (!validFolder(folderPath) || sections_.size() >= UINT32_MAX) {
        return err_ = EINVAL;
    }
    std::string payload;
    putBytes(payload, folderPath);
    putU64(payload, folderId.device);
    putU64(payload, folderId.inode);
    payload += static_cast<char>(identity);
    putBytes(payload, place.mountIdentity);
    putBytes(payload, place.mountRoot);
    putBytes(payload, place.mountPoint);
    putBytes(payload, place.relative);
    putBytes(payload, place.label);
    pending_ += framed(kFolder, payload);
    Section& added = sections_.emplace_back();
    added.count = count;
    added.source = std::move(source);
    added.madeByWaiter = madeByWaiter;
    added.nextChunk = madeByWaiter ? kFirstAskedChunk : kFirstChunk;
    if (!added.source) {
        added.oneByOne = true;
        added.madeByWaiter = true;
        added.source = [renames = &added.added](std::uint64_t i, EntrySink& out) {
            const JournalEntry& e = (*renames)[i];
            out.add(e.oldName, e.newName, e.fileId);
        };
    }
    section = sections_.size() - 1;
    changed_.notify_all();
    return 0;
}

void JournalWriter::add(const std::string& oldName, const std::string& newName, FileId fileId) {
    const std::lock_guard lock(mutex_);
    if (err_ != 0 || fd_ < 0 || committed_) {
        return;
    }
    if (sections_.empty() || !sections_.back().oneByOne || !validName(oldName) ||
        !validName(newName) || oldName == newName) {
        err_ = EINVAL;
        return;
    }
    Section& section = sections_.back();
    section.added.push_back({oldName, newName, fileId});
    section.count = section.added.size();
}

int JournalWriter::encode(const Section& section, std::size_t index, std::uint64_t from,
                          std::uint64_t to, std::string& out, const RecordSpill* spill) {
    RecordSink sink(static_cast<std::uint32_t>(index), out, spill);
    for (std::uint64_t i = from; i < to && sink.err == 0; ++i) {
        section.source(i, sink);
    }
    sink.flush();
    return sink.err;
}

int JournalWriter::commit() {
    std::unique_lock lock(mutex_);
    if (err_ == 0 && (fd_ < 0 || committed_)) {
        err_ = EBADF;  // no begin, or committed already
    }
    if (err_ == 0 && sections_.empty()) {
        err_ = EINVAL;
    }
    // The head, every folder, every rename added one by one, and the first chunk of the rest.
    std::string out = head_;
    std::vector<Kept> kept;
    if (err_ == 0) {
        out += pending_;
        pending_.clear();
        std::uint64_t room = kFirstChunk;
        for (std::size_t i = 0; i < sections_.size() && err_ == 0; ++i) {
            Section& section = sections_[i];
            const bool oneByOne = section.oneByOne;
            const std::uint64_t n =
                oneByOne ? section.count : std::min({section.count, room, section.nextChunk});
            room -= oneByOne ? 0 : n;
            if (n > 0) {
                err_ = encode(section, i, 0, n, out);
                section.taken = n;
                kept.push_back({i, n, n});
            }
            if (section.madeByWaiter && !oneByOne) {
                section.nextChunk = std::min(2 * section.nextChunk, kLargestChunk);
            }
        }
    }
    if (err_ == 0) {
        err_ = writeAll(fd_, out.data(), out.size());
    }
    if (err_ == 0 && ::fsync(fd_) != 0) {
        err_ = errno;
    }
    // In place under a name of its own, which sorts by the start of the run.
    for (int attempt = 0; err_ == 0 && !committed_ && attempt < 100; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, "%s%020lld-%d-%d", kRunPrefix,
                      static_cast<long long>(nowNs()), static_cast<int>(::getpid()), attempt);
        if (::renameat2(dirfd_, tempName_.c_str(), dirfd_, name, RENAME_NOREPLACE) == 0) {
            committed_ = true;
            path_ = runsDir_ + "/" + name;
        } else if (errno != EEXIST) {
            err_ = errno;
        }
    }
    if (err_ == 0 && !committed_) {
        err_ = EEXIST;
    }
    if (err_ == 0 && ::fsync(dirfd_) != 0) {
        err_ = errno;
    }
    if (err_ != 0) {
        const int err = err_;
        if (committed_) {
            ::unlink(path_.c_str());  // not synced into place: no run may rely on it
            committed_ = false;
            path_.clear();
        }
        lock.unlock();
        drop();
        return err_ = err;
    }
    for (const Kept& k : kept) {
        sections_[k.section].kept = k.upTo;
    }
    thread_ = std::thread([this] { writeAhead(); });
    return 0;
}

void JournalWriter::writeAhead() {
    pruneHistory(runsDir_);
    std::uint64_t chunk = 2 * kFirstChunk;
    std::string queued;
    std::string out;
    // Records go to the file as they are made: a chunk of the plan is never held whole.
    const RecordSpill spill = [this](std::string& records) {
        const std::lock_guard file(fileMutex_);
        const int err = writeAll(fd_, records.data(), records.size());
        records.clear();
        return err;
    };
    std::vector<Kept> kept;
    struct Claim {
        const Section* section;
        std::size_t index;
        std::uint64_t from;
        std::uint64_t to;
    };
    std::vector<Claim> claims;
    // Written and not yet synced: a sync waits for a chunk's worth, or for a run that waits.
    std::vector<Kept> written;
    std::uint64_t unsynced = 0;
    std::unique_lock lock(mutex_);
    // Whether some folder has renames this thread is to make.
    const auto renamesToMake = [this] {
        while (nextMade_ < sections_.size() &&
               (sections_[nextMade_].madeByWaiter ||
                sections_[nextMade_].taken >= sections_[nextMade_].count)) {
            ++nextMade_;
        }
        return nextMade_ < sections_.size();
    };
    for (;;) {
        changed_.wait(lock, [&] {
            return err_ != 0 || closing_ || !pending_.empty() || renamesToMake() ||
                   (waiters_ > 0 && !written.empty());
        });
        if (err_ != 0) {
            break;
        }
        int err = 0;
        if (!pending_.empty() || renamesToMake()) {
            // What others made (folders, a waiter's renames), then renames made here, a chunk of
            // them, folder after folder.
            queued.swap(pending_);
            kept.swap(pendingKept_);
            claims.clear();
            std::uint64_t room = chunk;
            for (std::size_t i = nextMade_; i < sections_.size() && room > 0; ++i) {
                Section& section = sections_[i];
                if (section.madeByWaiter || section.taken >= section.count) {
                    continue;
                }
                const std::uint64_t n = std::min(section.count - section.taken, room);
                claims.push_back({&section, i, section.taken, section.taken + n});
                section.taken += n;
                room -= n;
            }
            if (!claims.empty()) {
                encodingFrom_ = claims.front().index;
                encodingTo_ = claims.back().index + 1;
                chunk = std::min(2 * chunk, kLargestChunk);
            }
            lock.unlock();
            if (!queued.empty()) {
                err = spill(queued);
            }
            if (queued.capacity() > 2 * kEntriesRecordBytes) {
                std::string().swap(queued);  // a waiter's large chunk: its room is not kept
            }
            // Room made at once rather than by doubling, up to the record written out when full.
            std::uint64_t claimed = 0;
            for (const Claim& claim : claims) {
                claimed += claim.to - claim.from;
            }
            out.reserve(std::min<std::uint64_t>(out.size() + claimed * kEntryBytesHint,
                                                2 * kEntriesRecordBytes));
            for (const Claim& claim : claims) {
                if (err == 0) {
                    err = encode(*claim.section, claim.index, claim.from, claim.to, out, &spill);
                }
                if (err == 0 && out.size() >= kEntriesRecordBytes) {
                    err = spill(out);  // the records of many small folders
                }
                kept.push_back({claim.index, claim.to, claim.to - claim.from});
            }
            if (!claims.empty()) {
                // Their sources are not called again: a folder may be cut now.
                const std::lock_guard encoded(mutex_);
                encodingFrom_ = encodingTo_ = 0;
                changed_.notify_all();
            }
            if (err == 0 && !out.empty()) {
                err = spill(out);
            }
            out.clear();
            lock.lock();
            for (const Kept& k : kept) {
                unsynced += k.renames;
            }
            written.insert(written.end(), kept.begin(), kept.end());
            kept.clear();
        }
        if (err == 0 && !written.empty() &&
            (waiters_ > 0 || closing_ || unsynced >= kFirstChunk ||
             written.size() >= kSyncChunks)) {
            lock.unlock();
            err = ::fsync(fd_) == 0 ? 0 : errno;
            lock.lock();
            for (const Kept& k : written) {
                Section& section = sections_[k.section];
                section.kept = std::max(section.kept, k.upTo);
            }
            written.clear();
            unsynced = 0;
            changed_.notify_all();
        }
        if (err != 0) {
            err_ = err;
            break;
        }
        if (closing_ && written.empty() && pending_.empty() && !renamesToMake()) {
            break;  // closing with nothing left to write
        }
    }
    // Nobody waits in vain for what will not be written now.
    if (err_ == 0) {
        err_ = ECANCELED;
    }
    changed_.notify_all();
}

int JournalWriter::waitKept(std::size_t section, std::uint64_t entries, std::uint64_t& kept) {
    std::unique_lock lock(mutex_);
    if (!committed_ || section >= sections_.size()) {
        return EBADF;
    }
    Section& s = sections_[section];
    if (s.kept >= entries) {
        kept = s.kept;
        return 0;
    }
    if (err_ != 0) {
        return err_;
    }
    if (entries > s.count) {
        return EINVAL;
    }
    if (s.madeByWaiter && s.taken < entries) {
        // Made here, a chunk at a time, each one larger.
        const std::uint64_t from = s.taken;
        const std::uint64_t to = std::min(s.count, std::max(entries, from + s.nextChunk));
        s.nextChunk = std::min(2 * s.nextChunk, kLargestChunk);
        s.taken = to;
        lock.unlock();
        std::string out;
        const int err = encode(s, section, from, to, out);
        lock.lock();
        if (err != 0) {
            err_ = err;
        } else {
            if (pending_.empty()) {
                pending_.swap(out);  // not copied: a chunk may weigh megabytes
            } else {
                pending_ += out;
            }
            pendingKept_.push_back({section, to, to - from});
        }
    }
    ++waiters_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return err_ != 0 || s.kept >= entries; });
    --waiters_;
    kept = s.kept;
    return s.kept >= entries ? 0 : err_;
}

void JournalWriter::cutFolder(std::size_t section) {
    std::unique_lock lock(mutex_);
    if (section >= sections_.size()) {
        return;
    }
    Section& s = sections_[section];
    s.count = s.taken;
    changed_.wait(lock, [&] { return section < encodingFrom_ || section >= encodingTo_; });
}

int JournalWriter::append(std::uint32_t type, const std::string& payload, bool sync) {
    if (!committed_ || fd_ < 0) {
        return EBADF;
    }
    const std::string record = framed(type, payload);
    const std::lock_guard file(fileMutex_);
    if (const int err = writeAll(fd_, record.data(), record.size()); err != 0) {
        return err;
    }
    return sync && ::fsync(fd_) != 0 ? errno : 0;
}

int JournalWriter::recordLinked(std::size_t folder, const std::string& name) {
    std::string payload;
    putU32(payload, static_cast<std::uint32_t>(folder));
    putBytes(payload, name);
    return append(kLinked, payload, false);
}

int JournalWriter::recordReservation(std::size_t folder, const std::string& name, FileId id) {
    std::string payload;
    putU32(payload, static_cast<std::uint32_t>(folder));
    putBytes(payload, name);
    putU64(payload, id.device);
    putU64(payload, id.inode);
    return append(kReserved, payload, false);
}

int JournalWriter::end(std::int64_t renamed, const std::vector<std::int64_t>& folderTimes) {
    if (!committed_ || fd_ < 0) {
        return EBADF;
    }
    stopWriting();
    // The writer's thread leaves ECANCELED behind when it ends of itself.
    int err = err_ == ECANCELED ? 0 : err_;
    if (err == 0 && renamed == 0) {
        // Nothing to take back: no entry in the history.
        err = ::unlink(path_.c_str()) == 0 ? 0 : errno;
    } else if (err == 0) {
        std::string payload;
        putU64(payload, static_cast<std::uint64_t>(renamed));
        putU64(payload, static_cast<std::uint64_t>(nowNs()));
        const bool timed = folderTimes.size() == sections_.size();
        putU32(payload, timed ? static_cast<std::uint32_t>(sections_.size()) : 0);
        for (std::size_t f = 0; timed && f < folderTimes.size(); ++f) {
            putU64(payload, static_cast<std::uint64_t>(folderTimes[f]));
        }
        err = append(kEnded, payload, true);
    }
    drop();
    return err;
}

namespace {

// Reads a run's records from `fd` of `size` bytes. A summary checks the head of every record but
// skips the renames themselves, reading only their count: enough to list the run and tell its
// state, cheap for a run of a million files.
JournalRead parseJournal(int fd, std::uint64_t size, bool summary) {
    JournalRead result;
    result.status = JournalRead::Status::Bad;
    // Not cleared first: every byte is read over.
    std::unique_ptr<char[]> whole;
    std::string scratch;
    if (!summary) {
        whole = std::make_unique_for_overwrite<char[]>(size);
        if ((result.err = preadAll(fd, whole.get(), size, 0)) != 0) {
            return result;
        }
    }
    // The bytes [at, at + n), from memory or read now; empty when they cannot be read.
    const auto bytesAt = [&](std::uint64_t at, std::size_t n) -> std::string_view {
        if (!summary) {
            return std::string_view(whole.get(), size).substr(at, n);
        }
        scratch.resize(n);
        if ((result.err = preadAll(fd, scratch.data(), n, static_cast<off_t>(at))) != 0) {
            return {};
        }
        return scratch;
    };
    const std::string_view head = bytesAt(0, kHeadBytes);
    if (head.size() != kHeadBytes) {
        return result;
    }
    const auto version = static_cast<std::uint32_t>(getLE(head.data() + 8, 4));
    const auto flags = static_cast<std::uint32_t>(getLE(head.data() + 12, 4));
    result.startedAt = static_cast<std::int64_t>(getLE(head.data() + 16, 8));
    if (std::memcmp(head.data(), kMagic, sizeof kMagic) != 0 ||
        (version != kVersion && version != kWholePlanVersion) ||
        (flags & ~kMayLeaveReservations) != 0 ||
        getLE(head.data() + 24, 8) != checksumOf(version)(head.substr(0, 24))) {
        return result;
    }
    const Checksum checksum = checksumOf(version);
    ParseState state;
    state.streamed = version == kVersion;
    if (!summary && state.streamed) {
        // Each entries record names its folder, among those before it, and how many it holds.
        std::size_t folders = 0;
        for (std::uint64_t pos = kHeadBytes; size - pos >= kRecordFrame;) {
            const char* const at = whole.get() + pos;
            const std::uint64_t length = getLE(at + 4, 4);
            if (length > size - pos - kRecordFrame) {
                break;
            }
            const auto type = static_cast<std::uint32_t>(getLE(at, 4));
            folders += type == kFolder ? 1 : 0;
            if (type == kEntries && length >= 8 && getLE(at + kRecordHead, 4) < folders) {
                const auto folder = static_cast<std::size_t>(getLE(at + kRecordHead, 4));
                state.announced.resize(std::max(state.announced.size(), folder + 1));
                state.announced[folder] += std::min<std::uint64_t>(getLE(at + kRecordHead + 4, 4),
                                                                   length / (4 + 1 + 4 + 16));
            }
            pos += kRecordFrame + length;
        }
    }
    const auto bad = [&result] {
        result.plans.clear();
        return result;
    };
    for (std::uint64_t pos = kHeadBytes; pos < size;) {
        const std::uint64_t left = size - pos;
        if (left < kRecordFrame) {
            break;  // a record a kill cut short
        }
        const std::string recordHead(bytesAt(pos, kRecordHead));
        if (recordHead.size() != kRecordHead) {
            return bad();
        }
        const auto type = static_cast<std::uint32_t>(getLE(recordHead.data(), 4));
        const std::uint64_t length = getLE(recordHead.data() + 4, 4);
        if (getLE(recordHead.data() + 8, 4) !=
            static_cast<std::uint32_t>(checksum(std::string_view(recordHead).substr(0, 8)))) {
            return bad();
        }
        if (length > left - kRecordFrame) {
            break;  // cut short at the very end
        }
        const bool last = pos + kRecordFrame + length == size;
        // A record being written when the run was killed is the last one; before the plan was
        // whole, a file of the version before was never put in place.
        const bool mayBeTorn = last && (state.streamed || state.planned);
        if (summary && type == kEntries && state.planOpen() && !mayBeTorn) {
            const std::size_t prefix = state.streamed ? 8 : 4;
            const std::string_view counts = bytesAt(pos + kRecordHead, prefix);
            if (counts.size() != prefix || length < prefix || result.ended ||
                result.plans.empty() ||
                (state.streamed && getLE(counts.data(), 4) >= result.plans.size())) {
                return bad();
            }
            state.entries += getLE(counts.data() + prefix - 4, 4);
            pos += kRecordFrame + length;
            continue;
        }
        const std::string_view record = bytesAt(pos, kRecordHead + length + 8);
        if (record.size() != kRecordHead + length + 8) {
            return bad();
        }
        const std::uint64_t sum = getLE(record.data() + kRecordHead + length, 8);
        if (sum != checksum(record.substr(0, kRecordHead + length))) {
            if (mayBeTorn) {
                break;  // its bytes were being written when the run was killed
            }
            return bad();
        }
        if (summary && type == kEntries) {
            // Whole: only its count is wanted.
            const std::size_t prefix = state.streamed ? 8 : 4;
            if (length < prefix || !state.planOpen() || result.ended || result.plans.empty() ||
                (state.streamed && getLE(record.data() + kRecordHead, 4) >= result.plans.size())) {
                return bad();
            }
            state.entries += getLE(record.data() + kRecordHead + prefix - 4, 4);
        } else if (!applyRecord(type, record.substr(kRecordHead, length), state, result)) {
            return bad();
        }
        pos += kRecordFrame + length;
    }
    if (!state.planKnown(result)) {
        return bad();
    }
    const std::uint64_t entries = state.entries;
    result.entries = static_cast<std::int64_t>(entries);
    for (JournalPlan& plan : result.plans) {
        plan.mayLeaveReservations = (flags & kMayLeaveReservations) != 0;
        plan.startedAt = result.startedAt;
        plan.endedAt = result.endedAt;
    }
    result.status = JournalRead::Status::Ok;
    return result;
}

JournalRead openAndParse(const std::string& path, bool summary) {
    JournalRead result;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno != ENOENT) {
            result.status = JournalRead::Status::Bad;
            result.err = errno;
        }
        return result;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        result.status = JournalRead::Status::Bad;
        result.err = errno;
    } else if (!S_ISREG(st.st_mode) || st.st_size < static_cast<off_t>(kHeadBytes) ||
               static_cast<std::uint64_t>(st.st_size) > kMaxFileBytes) {
        result.status = JournalRead::Status::Bad;
    } else {
        result = parseJournal(fd, static_cast<std::uint64_t>(st.st_size), summary);
    }
    ::close(fd);
    return result;
}

}  // namespace

JournalRead readJournal(const std::string& path) {
    return openAndParse(path, false);
}

JournalRead readJournalSummary(const std::string& path) {
    if (isMergeJournal(path)) {
        return mergeSummary(path);
    }
    return openAndParse(path, true);
}

int cutTornTail(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        return errno;
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    char head[kHeadBytes];
    // Only a streamed journal can be torn within its records; an older one is left as it is.
    if (size < kHeadBytes || preadAll(fd.get(), head, sizeof head, 0) != 0 ||
        std::memcmp(head, kMagic, sizeof kMagic) != 0 || getLE(head + 8, 4) != kVersion) {
        return 0;
    }
    const Checksum checksum = checksumOf(kVersion);
    std::uint64_t pos = kHeadBytes;
    while (pos < size) {
        const std::uint64_t left = size - pos;
        char recordHead[kRecordHead];
        if (left < kRecordFrame) {
            break;
        }
        if (const int err = preadAll(fd.get(), recordHead, sizeof recordHead, off_t(pos));
            err != 0) {
            return err;
        }
        if (getLE(recordHead + 8, 4) !=
            static_cast<std::uint32_t>(checksum(std::string_view(recordHead, 8)))) {
            return 0;  // damage, not a tear
        }
        const std::uint64_t length = getLE(recordHead + 4, 4);
        if (length > left - kRecordFrame) {
            break;
        }
        const std::uint64_t next = pos + kRecordFrame + length;
        if (next == size) {
            std::string record(kRecordHead + length + 8, '\0');
            if (const int err = preadAll(fd.get(), record.data(), record.size(), off_t(pos));
                err != 0) {
                return err;
            }
            if (getLE(record.data() + kRecordHead + length, 8) ==
                checksum(std::string_view(record).substr(0, kRecordHead + length))) {
                return 0;  // the last record is whole
            }
            break;
        }
        pos = next;
    }
    if (pos >= size) {
        return 0;
    }
    return ::ftruncate(fd.get(), off_t(pos)) == 0 && ::fsync(fd.get()) == 0 ? 0 : errno;
}

int markUndone(const std::string& path) {
    if (const int err = cutTornTail(path); err != 0) {
        return err;
    }
    std::string payload;
    putU64(payload, static_cast<std::uint64_t>(nowNs()));
    return appendTo(path, kUndone, payload);
}

int markKept(const std::string& path) {
    if (const int err = cutTornTail(path); err != 0) {
        return err;
    }
    std::string payload;
    putU64(payload, static_cast<std::uint64_t>(nowNs()));
    return appendTo(path, kKept, payload);
}

LockedRun::LockedRun(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd_ < 0) {
        err_ = errno;
        return;
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        err_ = errno;
        busy_ = err_ == EWOULDBLOCK;
        ::close(fd_);
        fd_ = -1;
    }
}

LockedRun::~LockedRun() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::vector<std::string> runJournals(const std::string& stateDir) {
    const std::string runsDir = runsDirectory(stateDir);
    std::vector<std::string> paths = runNames(runsDir);
    for (std::string& name : paths) {
        name = runsDir + "/" + name;
    }
    return paths;
}

int setAside(const std::string& path) {
    // Our own state file: replacing an older copy set aside is fine.
    return ::rename(path.c_str(), (path + kBadSuffix).c_str()) == 0 ? 0 : errno;
}

int removeJournal(const std::string& path) {
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

// Hears what the rename learns in one folder and writes it to the journal.
class RunRecorder::Folder::Observer : public RenameObserver {
public:
    Observer(JournalWriter& writer, std::size_t folder) : writer_(writer), folder_(folder) {}
    void linked(const std::string& name) override { writer_.recordLinked(folder_, name); }
    void reserved(const std::string& name, FileId id) override {
        writer_.recordReservation(folder_, name, id);
    }

private:
    JournalWriter& writer_;
    std::size_t folder_;
};

RunRecorder::Folder::Folder(RunRecorder& recorder, int dirfd, FileId id)
    : recorder_(recorder), dirfd_(dirfd), id_(id) {}

RunRecorder::Folder::~Folder() {
    if (begun_ && !ended_) {
        // Gone without an end, as a kill would leave it: nothing more of its plan is written.
        recorder_.writer_.cutFolder(section_);
    }
}

int RunRecorder::Folder::begin(const std::string& folder, const core::WorkList& renameList) {
    if (begun_) {
        return EINVAL;
    }
    const int err = recorder_.addFolder(*this, folder, renameList);
    begun_ = err == 0;
    if (begun_) {
        observer_ = std::make_unique<Observer>(recorder_.writer_, section_);
    }
    return err;
}

int RunRecorder::Folder::keep(std::int64_t entries, std::int64_t& kept) {
    if (!begun_ || ended_ || entries < 0) {
        return EINVAL;
    }
    std::uint64_t written = 0;
    const int err =
        recorder_.writer_.waitKept(section_, static_cast<std::uint64_t>(entries), written);
    kept = static_cast<std::int64_t>(std::min<std::uint64_t>(written, INT64_MAX));
    return err;
}

void RunRecorder::Folder::end(std::int64_t renamed) {
    if (!begun_ || ended_) {
        return;
    }
    ended_ = true;
    // The folder as the run left it: undo trusts its listing while nothing changed there.
    struct stat st {};
    const std::int64_t leftAt =
        ::fstat(dirfd_, &st) == 0
            ? static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec
            : 0;
    recorder_.writer_.cutFolder(section_);
    recorder_.folderEnded(section_, renamed, leftAt);
}

RenameObserver* RunRecorder::Folder::observer() {
    return observer_.get();
}

RunRecorder::RunRecorder(std::string stateDir, bool mayLeaveReservations)
    : stateDir_(std::move(stateDir)), mayLeaveReservations_(mayLeaveReservations) {}

RunRecorder::~RunRecorder() {
    window_.reset();
    if (windowFd_ >= 0) {
        ::close(windowFd_);
    }
}

std::unique_ptr<RunRecorder::Folder> RunRecorder::folder(int dirfd, FileId id) {
    return std::unique_ptr<Folder>(new Folder(*this, dirfd, id));
}

int RunRecorder::addFolder(Folder& folder, const std::string& path,
                           const core::WorkList& renameList) {
    const std::lock_guard lock(mutex_);
    if (err_ == 0 && stateDir_.empty()) {
        err_ = ENOENT;
    }
    if (err_ == 0 && !started_) {
        err_ = writer_.begin(stateDir_, mayLeaveReservations_);
        started_ = true;
    }
    if (err_ != 0) {
        return err_;
    }
    const int dirfd = folder.dirfd_;
    const FolderSetting setting = settingOf(dirfd, lastMount_);
    const IdentityKind kind = setting.identity;
    const std::uint64_t count = static_cast<std::uint64_t>(renameList.count());
    const core::WorkList* const list = &renameList;
    EntrySource source;
    bool asksDrive = kind == IdentityKind::SizeAndTime;
    if (!asksDrive && count > 0) {
        // The file list's own reading gave each name its inode number; a list without them (or
        // a name without one) is looked up in one pass over the folder.
        bool fromList = true;
        for (std::int64_t i = 0; fromList && i < renameList.count(); ++i) {
            fromList = renameList.inodeAt(i) != 0;
        }
        std::shared_ptr<InodesByName> inodes;
        if (!fromList) {
            inodes = std::make_shared<InodesByName>();
            if (const int err = inodes->read(dirfd); err != 0) {
                return err_ = err;
            }
        }
        // Some file systems (overlays, some network ones) give readdir inode numbers that differ
        // from stat's: the first name tells, once per mount.
        const int mountId = lastMount_ ? lastMount_->mount.id : -1;
        if (statEachOn_ && mountId >= 0 && statEachOn_->first == mountId) {
            asksDrive = statEachOn_->second;
        } else {
            const std::string& first = renameList.at(0);
            const std::optional<std::uint64_t> found =
                fromList ? std::optional(renameList.inodeAt(0)) : inodes->find(first);
            const FileId byStat = identityAt(dirfd, first, kind);
            asksDrive = !found || byStat.inode != *found || byStat.device != folder.id_.device;
            if (byStat != FileId{} && mountId >= 0) {
                statEachOn_ = std::pair(mountId, asksDrive);
            }
        }
        const std::uint64_t device = folder.id_.device;
        source = [list, device, inodes](std::uint64_t i, EntrySink& out) {
            const std::string& name = list->at(static_cast<std::int64_t>(i));
            FileId id;
            if (!inodes) {
                id = {device, list->inodeAt(static_cast<std::int64_t>(i))};
            } else if (const std::optional<std::uint64_t> found = inodes->find(name)) {
                id = {device, *found};
            }
            out.addPrefixed(name, id);
        };
    }
    if (asksDrive) {
        // A round trip per file on drives that number their files per mount: made by the run
        // that waits for them, so that folders renamed at once ask at once.
        source = [list, dirfd, kind](std::uint64_t i, EntrySink& out) {
            const std::string& name = list->at(static_cast<std::int64_t>(i));
            out.addPrefixed(name, identityAt(dirfd, name, kind));
        };
    }
    int err = writer_.addFolder(path, folder.id_, kind, setting.place, count, std::move(source),
                                asksDrive, folder.section_);
    if (err == 0 && !committed_) {
        err = writer_.commit();
        committed_ = err == 0;
        if (committed_) {
            runPath_ = writer_.path();
            renamed_ = 0;
        }
    }
    if (err != 0) {
        return err_ = err;
    }
    if (leftAt_.size() <= folder.section_) {
        leftAt_.resize(folder.section_ + 1, 0);
    }
    return 0;
}

void RunRecorder::folderEnded(std::size_t section, std::int64_t renamed, std::int64_t leftAt) {
    const std::lock_guard lock(mutex_);
    renamed_ += renamed;
    if (section < leftAt_.size()) {
        leftAt_[section] = leftAt;
    }
}

void RunRecorder::markEnded() {
    const std::lock_guard lock(mutex_);
    if (committed_) {
        endError_ = writer_.end(renamed_, leftAt_);
        if (renamed_ == 0) {
            runPath_.clear();  // nothing renamed: no run to take back
        }
    } else {
        writer_.close();
    }
    reset();
}

int RunRecorder::begin(const std::string& folder, const core::WorkList& renameList) {
    endError_ = 0;
    if (window_) {
        return EINVAL;  // one folder per run of the window
    }
    // The window's run: its one folder, recorded now.
    const int dirfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd < 0) {
        return errno;
    }
    const std::optional<FileId> id = fileIdAt(dirfd, ".");
    if (!id) {
        const int err = errno;
        ::close(dirfd);
        return err;
    }
    windowFd_ = dirfd;
    window_ = this->folder(dirfd, *id);
    const int err = window_->begin(folder, renameList);
    if (err != 0) {
        window_.reset();
        ::close(windowFd_);
        windowFd_ = -1;
        const std::lock_guard lock(mutex_);
        writer_.close();
        reset();
    }
    return err;
}

int RunRecorder::keep(std::int64_t entries, std::int64_t& kept) {
    return window_ ? window_->keep(entries, kept) : EINVAL;
}

void RunRecorder::end(std::int64_t renamed) {
    if (!window_) {
        return;
    }
    window_->end(renamed);
    window_.reset();
    ::close(windowFd_);
    windowFd_ = -1;
    markEnded();  // the next run of the window records afresh
}

RenameObserver* RunRecorder::observerFor(const std::string& folder) {
    (void)folder;
    return window_ ? window_->observer() : nullptr;
}

void RunRecorder::reset() {
    err_ = 0;
    started_ = false;
    committed_ = false;
    renamed_ = 0;
    leftAt_.clear();
}

}  // namespace fs

// The journal of a merge.

namespace fs {

namespace {

// Head, type and payload of one record, read from `fd` at `pos` of a file of `size` bytes.
struct RecordAt {
    std::uint32_t type = 0;
    std::string payload;
    std::uint64_t next = 0;
    bool cutShort = false;  // a record a kill interrupted at the very end
};

// Reads the record at `pos`; false when the file is damaged there. With `countOnly`, a merge's
// entries record is read only as far as its count.
bool readRecordAt(int fd, std::uint64_t pos, std::uint64_t size, bool countOnly, RecordAt& out) {
    out = {};
    const std::uint64_t left = size - pos;
    if (left < kRecordFrame) {
        out.cutShort = true;
        return true;
    }
    char head[kRecordHead];
    if (preadAll(fd, head, sizeof head, static_cast<off_t>(pos)) != 0) {
        return false;
    }
    out.type = static_cast<std::uint32_t>(getLE(head, 4));
    const std::uint64_t length = getLE(head + 4, 4);
    if (getLE(head + 8, 4) !=
        static_cast<std::uint32_t>(journalChecksum(std::string_view(head, 8)))) {
        return false;
    }
    if (length > left - kRecordFrame) {
        out.cutShort = true;
        return true;
    }
    out.next = pos + kRecordFrame + length;
    if (countOnly && out.type == kMergeEntries) {
        out.payload.resize(4);
        return length >= 4 &&
               preadAll(fd, out.payload.data(), 4, static_cast<off_t>(pos + kRecordHead)) == 0;
    }
    std::string record(kRecordHead + length + 8, '\0');
    if (preadAll(fd, record.data(), record.size(), static_cast<off_t>(pos)) != 0) {
        return false;
    }
    if (getLE(record.data() + kRecordHead + length, 8) !=
        journalChecksum(std::string_view(record).substr(0, kRecordHead + length))) {
        out.cutShort = out.next == size;  // its bytes were being written at the kill
        return out.cutShort;
    }
    out.payload = record.substr(kRecordHead, length);
    return true;
}

void putFolder(std::string& out, const MergeFolder& f) {
    putBytes(out, f.path);
    putU64(out, f.id.device);
    putU64(out, f.id.inode);
    out += static_cast<char>(f.identity);
    putBytes(out, f.place.mountIdentity);
    putBytes(out, f.place.mountRoot);
    putBytes(out, f.place.mountPoint);
    putBytes(out, f.place.relative);
    putBytes(out, f.place.label);
    putU32(out, f.parent);
    putU32(out, f.mode);
    putU64(out, static_cast<std::uint64_t>(f.accessedAt));
    putU64(out, static_cast<std::uint64_t>(f.modifiedAt));
    out += static_cast<char>(f.walked ? 1 : 0);
}

bool getFolder(Parser& p, MergeFolder& f) {
    std::uint8_t kind = 0;
    std::uint8_t walked = 0;
    if (!p.bytes(f.path, kMaxPathBytes) || !validFolder(f.path) || !p.id(f.id) || !p.u8(kind) ||
        kind > 1 || !p.bytes(f.place.mountIdentity, kMaxPathBytes) ||
        !p.bytes(f.place.mountRoot, kMaxPathBytes) || !p.bytes(f.place.mountPoint, kMaxPathBytes) ||
        !p.bytes(f.place.relative, kMaxPathBytes) || !p.bytes(f.place.label, kMaxPathBytes) ||
        !p.u32(f.parent) || !p.u32(f.mode) || !p.i64(f.accessedAt) || !p.i64(f.modifiedAt) ||
        !p.u8(walked) || walked > 1) {
        return false;
    }
    f.identity = static_cast<IdentityKind>(kind);
    f.walked = walked != 0;
    return true;
}

std::uint8_t flagBits(const MergeFlags& f) {
    return static_cast<std::uint8_t>((f.destinationMade ? 1 : 0) | (f.keepDuplicates ? 2 : 0) |
                                     (f.number ? 4 : 0) | (f.keepFolders ? 8 : 0) |
                                     (f.all ? 16 : 0));
}

// The folder `dirfd` as a merge records it.
int describeFolder(int dirfd, const std::string& path, std::optional<MountedPath>& lastMount,
                   MergeFolder& folder, const struct stat* known = nullptr) {
    struct stat st {};
    if (!validFolder(path)) {
        return EINVAL;
    }
    if (known != nullptr) {
        st = *known;
    } else if (::fstat(dirfd, &st) != 0) {
        return errno;
    }
    const FolderSetting setting = settingOf(dirfd, lastMount);
    folder.path = path;
    folder.id = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    folder.identity = setting.identity;
    folder.place = setting.place;
    folder.mode = st.st_mode & 07777;
    folder.accessedAt =
        static_cast<std::int64_t>(st.st_atim.tv_sec) * 1000000000 + st.st_atim.tv_nsec;
    folder.modifiedAt =
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return 0;
}

// The last component of a merge's folder: what its files' usual new names begin with.
std::string_view mergeFolderName(std::string_view path) {
    return path.substr(path.rfind('/') + 1);
}

// Where a merge's journal is in its plan while it is read.
struct MergeReadState {
    bool streamed = false;  // the plan comes in parts among the other records
    bool planned = false;   // the plan is whole
    // What the merge learns may come once its plan has begun (streamed) or is whole.
    bool learning() const { return streamed || planned; }
};

// Applies one record of a merge's journal; false when it does not belong there or does not parse.
bool applyMergeRecord(const RecordAt& r, bool summary, MergeReadState& state,
                      MergeJournalRead& read) {
    Parser p(r.payload);
    bool& planned = state.planned;
    const auto entryDone = [&](std::uint64_t& entry) -> MergeDone* {
        if (!state.learning() || !p.u64(entry) ||
            entry >= static_cast<std::uint64_t>(read.entryCount)) {
            return nullptr;
        }
        return &read.done.emplace_back(entry, MergeDone{}).second;
    };
    std::uint64_t entry = 0;
    switch (r.type) {
        case kMergeTarget: {
            std::uint8_t bits = 0;
            if (planned || !read.destination.path.empty() || !getFolder(p, read.destination) ||
                !p.u8(bits) || bits > 31) {
                return false;
            }
            read.flags = {(bits & 1) != 0, (bits & 2) != 0, (bits & 4) != 0, (bits & 8) != 0,
                          (bits & 16) != 0};
            break;
        }
        case kMergeFolder: {
            MergeFolder& f = read.folders.emplace_back();
            if (planned || read.ended || read.destination.path.empty() || !getFolder(p, f) ||
                (f.parent != kNoFolder && f.parent + 1 >= read.folders.size())) {
                return false;
            }
            break;
        }
        case kMergeEntries: {
            std::uint32_t count = 0;
            if (planned || read.ended || read.folders.empty() || !p.u32(count)) {
                return false;
            }
            read.entryCount += count;
            if (summary) {
                return true;  // the entries themselves are not read
            }
            if (count > p.left() / (4 + 4 + 1 + 4 + (state.streamed ? 0 : 1) + 16)) {
                return false;
            }
            read.entries.reserve(read.entries.size() + count);
            for (std::uint32_t i = 0; i < count; ++i) {
                MergeEntry& e = read.entries.emplace_back();
                if (!p.u32(e.folder) || e.folder >= read.folders.size() ||
                    !p.bytes(e.name, kMaxNameBytes) || !p.bytes(e.newName, kMaxNameBytes) ||
                    !p.id(e.fileId) || !validName(e.name)) {
                    return false;
                }
                if (e.newName.empty() && state.streamed) {
                    merge_steps::newNameInto(e.newName,
                                             mergeFolderName(read.folders[e.folder].path), e.name);
                }
                if (!validName(e.newName)) {
                    return false;
                }
            }
            break;
        }
        case kMergePlanned: {
            std::uint64_t folders = 0;
            std::uint64_t entries = 0;
            if (planned || !p.u64(folders) || !p.u64(entries) || folders != read.folders.size() ||
                entries != static_cast<std::uint64_t>(read.entryCount)) {
                return false;
            }
            planned = true;
            break;
        }
        case kMergeNumbered: {
            MergeDone* d = entryDone(entry);
            if (d == nullptr || !p.bytes(d->numbered, kMaxNameBytes) || !validName(d->numbered)) {
                return false;
            }
            break;
        }
        case kMergeTrashing: {
            MergeDone* d = entryDone(entry);
            if (d == nullptr) {
                return false;
            }
            d->trashing = true;
            break;
        }
        case kMergeTrashed: {
            MergeDone* d = entryDone(entry);
            if (d == nullptr || !p.bytes(d->trashDir, kMaxPathBytes) || !validFolder(d->trashDir) ||
                !p.bytes(d->trashName, kMaxNameBytes) || !validName(d->trashName)) {
                return false;
            }
            d->trashing = true;
            break;
        }
        case kMergeLinked: {
            MergeDone* d = entryDone(entry);
            if (d == nullptr) {
                return false;
            }
            d->linked = true;
            break;
        }
        case kMergeReserved:
        case kMergeCopying:
        case kMergeCopied:
        case kMergeCopyBack: {
            MergeDone* d = entryDone(entry);
            FileId id;
            if (d == nullptr || !p.id(id)) {
                return false;
            }
            if (r.type == kMergeReserved) {
                d->reserved = true;
                d->reservation = id;
            } else if (r.type == kMergeCopying) {
                d->copying = true;
                d->copyReservation = id;
                if (!p.i64(d->copyingAt)) {
                    return false;
                }
            } else if (r.type == kMergeCopied) {
                d->copied = true;
                d->copyId = id;
                // Journals of earlier versions end the record here.
                if (p.left() != 0) {
                    d->ownerKnown = p.u32(d->mode) && p.u32(d->uid) && p.u32(d->gid);
                    if (!d->ownerKnown) {
                        return false;
                    }
                }
            } else {
                d->copyingBack = true;
                d->backReservation = id;
            }
            break;
        }
        case kMergeRemoving: {
            std::uint32_t count = 0;
            if (!state.learning() || !p.u32(count) || count > p.left() / 4) {
                return false;
            }
            for (std::uint32_t i = 0; i < count; ++i) {
                std::uint32_t folder = 0;
                if (!p.u32(folder) || folder >= read.folders.size()) {
                    return false;
                }
                read.removing.push_back(folder);
            }
            break;
        }
        case kMergeEnded:
            if (!state.learning() || !p.i64(read.endedAt)) {
                return false;
            }
            read.ended = true;
            break;
        case kUndone:
        case kKept: {
            std::int64_t at = 0;
            if (!state.learning() || !p.i64(at)) {
                return false;
            }
            (r.type == kUndone ? read.undone : read.kept) = true;
            break;
        }
        default:
            return false;
    }
    return p.left() == 0;
}

}  // namespace

FileId identityOf(const struct stat& st, IdentityKind kind) {
    return planIdentity(st, kind);
}

bool isMergeJournal(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return false;
    }
    char head[kHeadBytes];
    const bool read = preadAll(fd, head, sizeof head, 0) == 0;
    ::close(fd);
    return read && std::memcmp(head, kMagic, sizeof kMagic) == 0 &&
           getLE(head + 24, 8) == journalChecksum(std::string_view(head, 24)) &&
           (getLE(head + 12, 4) & kMerge) != 0;
}

MergeJournalRead readMergeJournal(const std::string& path, bool summary) {
    MergeJournalRead read;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno != ENOENT) {
            read.status = JournalRead::Status::Bad;
            read.err = errno;
        }
        return read;
    }
    read.status = JournalRead::Status::Bad;
    struct stat st {};
    char head[kHeadBytes];
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size < static_cast<off_t>(kHeadBytes) ||
        static_cast<std::uint64_t>(st.st_size) > kMaxFileBytes ||
        preadAll(fd, head, sizeof head, 0) != 0 || std::memcmp(head, kMagic, sizeof kMagic) != 0 ||
        getLE(head + 8, 4) != kVersion ||
        (getLE(head + 12, 4) != kMerge && getLE(head + 12, 4) != (kMerge | kMergeStreamed)) ||
        getLE(head + 24, 8) != journalChecksum(std::string_view(head, 24))) {
        ::close(fd);
        return read;
    }
    read.startedAt = static_cast<std::int64_t>(getLE(head + 16, 8));
    const auto size = static_cast<std::uint64_t>(st.st_size);
    MergeReadState state;
    state.streamed = (getLE(head + 12, 4) & kMergeStreamed) != 0;
    bool ok = true;
    RecordAt record;
    for (std::uint64_t pos = kHeadBytes; ok && pos < size; pos = record.next) {
        ok = readRecordAt(fd, pos, size, summary, record);
        if (!ok || record.cutShort) {
            break;
        }
        ok = applyMergeRecord(record, summary, state, read);
    }
    ::close(fd);
    // A streamed plan is what it holds; one written whole must say it is.
    if (!ok || (!state.planned && !(state.streamed && !read.folders.empty()))) {
        MergeJournalRead bad;
        bad.status = JournalRead::Status::Bad;
        return bad;
    }
    read.status = JournalRead::Status::Ok;
    return read;
}

JournalRead mergeSummary(const std::string& path) {
    const MergeJournalRead merge = readMergeJournal(path, true);
    JournalRead read;
    read.status = merge.status;
    read.err = merge.err;
    read.merge = true;
    if (merge.status != JournalRead::Status::Ok) {
        return read;
    }
    read.startedAt = merge.startedAt;
    read.ended = merge.ended;
    read.endedAt = merge.endedAt;
    read.undone = merge.undone;
    read.kept = merge.kept;
    read.entries = merge.entryCount;
    read.renamed = merge.entryCount;
    for (const MergeFolder& folder : merge.folders) {
        if (folder.parent == kNoFolder) {
            read.plans.emplace_back().folder = folder.path;
        }
    }
    read.plans.emplace_back().folder = merge.destination.path;
    return read;
}

MergeJournalWriter::~MergeJournalWriter() {
    drop();
}

void MergeJournalWriter::drop() {
    if (fd_ >= 0) {
        if (!committed_) {
            ::unlinkat(dirfd_, tempName_.c_str(), 0);
        }
        ::close(fd_);
    }
    if (dirfd_ >= 0) {
        ::close(dirfd_);
    }
    fd_ = -1;
    dirfd_ = -1;
    committed_ = false;
    planned_ = false;
    buffer_.clear();
    entriesCount_ = 0;
}

int MergeJournalWriter::begin(const std::string& stateDir, int dirfd,
                              const std::string& destination, const MergeFlags& flags,
                              const std::optional<MountedPath>& destMount) {
    drop();
    err_ = 0;
    path_.clear();
    entries_ = 0;
    folders_ = 0;
    lastMount_ = destMount;
    MergeFolder target;
    if ((err_ = describeFolder(dirfd, destination, lastMount_, target)) != 0) {
        return err_;
    }
    if ((err_ = makeStateDirectory(stateDir)) != 0) {
        return err_;
    }
    runsDir_ = runsDirectory(stateDir);
    if (::mkdir(runsDir_.c_str(), 0700) != 0 && errno != EEXIST) {
        return err_ = errno;
    }
    dirfd_ = ::open(runsDir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd_ < 0) {
        return err_ = errno;
    }
    removeDeadTemporaries(dirfd_);
    static std::atomic<unsigned> serial{0};
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
        tempName_ = std::string(kTempPrefix) + std::to_string(::getpid()) + ".m" +
                    std::to_string(serial++) + "." + std::to_string(nowNs());
        fd_ = ::openat(dirfd_, tempName_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd_ < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd_ < 0 || ::flock(fd_, LOCK_EX) != 0) {
        err_ = errno;
        drop();
        return err_;
    }
    buffer_.append(kMagic, sizeof kMagic);
    putU32(buffer_, kVersion);
    putU32(buffer_, kMerge | kMergeStreamed);
    putU64(buffer_, static_cast<std::uint64_t>(nowNs()));
    putU64(buffer_, journalChecksum(buffer_));
    std::string payload;
    putFolder(payload, target);
    payload += static_cast<char>(flagBits(flags));
    buffer_ += framed(kMergeTarget, payload);
    return 0;
}

int MergeJournalWriter::flush() {
    if (entriesCount_ > 0) {
        // The entries record framed where it was written, as framed() would: no copy of it.
        const std::size_t length = buffer_.size() - entriesAt_ - kRecordHead;
        setU32(buffer_, entriesAt_, kMergeEntries);
        setU32(buffer_, entriesAt_ + 4, static_cast<std::uint32_t>(length));
        setU32(buffer_, entriesAt_ + 8,
               static_cast<std::uint32_t>(
                   journalChecksum(std::string_view(buffer_).substr(entriesAt_, 8))));
        setU32(buffer_, entriesAt_ + kRecordHead, entriesCount_);
        putU64(buffer_,
               journalChecksum(std::string_view(buffer_).substr(entriesAt_, kRecordHead + length)));
        entriesCount_ = 0;
    }
    if (err_ == 0 && !buffer_.empty()) {
        const std::lock_guard lock(writing_);
        err_ = writeAll(fd_, buffer_.data(), buffer_.size());
    }
    buffer_.clear();
    return err_;
}

int MergeJournalWriter::addFolder(int dirfd, const std::string& path, std::uint32_t parent,
                                  bool walked, IdentityKind& kind, const struct stat* st) {
    if (err_ != 0 || fd_ < 0 || planned_) {
        return err_ != 0 ? err_ : EBADF;
    }
    MergeFolder folder;
    if ((err_ = describeFolder(dirfd, path, lastMount_, folder, st)) != 0) {
        return err_;
    }
    if (parent != kNoFolder && parent >= folders_) {
        return err_ = EINVAL;
    }
    folder.parent = parent;
    folder.walked = walked;
    kind = folder.identity;
    if (entriesCount_ > 0 && flush() != 0) {
        return err_;
    }
    std::string payload;
    putFolder(payload, folder);
    buffer_ += framed(kMergeFolder, payload);
    ++folders_;
    folderName_ = mergeFolderName(path);
    return 0;
}

void MergeJournalWriter::add(std::string_view name, std::string_view newName, FileId fileId) {
    if (err_ != 0 || fd_ < 0 || planned_) {
        return;
    }
    if (folders_ == 0 || !validName(name) || !validName(newName)) {
        err_ = EINVAL;
        return;
    }
    // The usual new name is kept as none: the plan is written while files move.
    merge_steps::newNameInto(usual_, folderName_, name);
    if (entriesCount_ == 0) {
        // Room for the record's head and its count, filled in by flush().
        entriesAt_ = buffer_.size();
        buffer_.append(kRecordHead + 4, '\0');
    }
    putU32(buffer_, folders_ - 1);
    putBytes(buffer_, name);
    putBytes(buffer_, newName == usual_ ? std::string_view() : newName);
    putU64(buffer_, fileId.device);
    putU64(buffer_, fileId.inode);
    ++entriesCount_;
    ++entries_;
    if (buffer_.size() - entriesAt_ >= kEntriesRecordBytes) {
        flush();
    }
}

// The plan so far into the file; `whole`: and the record that it ends there.
namespace {

std::string removingPayload(const std::vector<std::uint32_t>& folders) {
    std::string payload;
    putU32(payload, static_cast<std::uint32_t>(folders.size()));
    for (const std::uint32_t folder : folders) {
        putU32(payload, folder);
    }
    return payload;
}

}  // namespace

int MergeJournalWriter::flushPlan(bool whole, const std::vector<std::uint32_t>& removing) {
    if (err_ == 0 && (fd_ < 0 || planned_)) {
        err_ = EBADF;
    }
    if (err_ == 0 && flush() == 0 && whole) {
        std::string planned;
        putU64(planned, folders_);
        putU64(planned, entries_);
        buffer_ += framed(kMergePlanned, planned);
        if (!removing.empty()) {
            buffer_ += framed(kMergeRemoving, removingPayload(removing));
        }
        if (flush() == 0) {
            planned_ = true;
        }
    }
    return err_;
}

int MergeJournalWriter::commit(bool whole, const std::vector<std::uint32_t>& removing) {
    if (err_ == 0 && committed_) {
        err_ = EBADF;
    }
    flushPlan(whole, removing);
    if (err_ == 0 && ::fsync(fd_) != 0) {
        err_ = errno;
    }
    for (int attempt = 0; err_ == 0 && !committed_ && attempt < 100; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, "%s%020lld-%d-%d", kRunPrefix,
                      static_cast<long long>(nowNs()), static_cast<int>(::getpid()), attempt);
        if (::renameat2(dirfd_, tempName_.c_str(), dirfd_, name, RENAME_NOREPLACE) == 0) {
            committed_ = true;
            path_ = runsDir_ + "/" + name;
        } else if (errno != EEXIST) {
            err_ = errno;
        }
    }
    if (err_ == 0 && !committed_) {
        err_ = EEXIST;
    }
    if (err_ == 0 && ::fsync(dirfd_) != 0) {
        err_ = errno;
    }
    if (err_ != 0) {
        const int err = err_;
        if (committed_) {
            ::unlink(path_.c_str());
            committed_ = false;
            path_.clear();
        }
        drop();
        return err_ = err;
    }
    return 0;
}

void MergeJournalWriter::pruneHistory() {
    if (!runsDir_.empty()) {
        fs::pruneHistory(runsDir_);
    }
}

int MergeJournalWriter::sync(bool whole, const std::vector<std::uint32_t>& removing) {
    if (err_ == 0 && !committed_) {
        err_ = EBADF;
    }
    if (flushPlan(whole, removing) == 0 && ::fsync(fd_) != 0) {
        err_ = errno;
    }
    return err_;
}

int MergeJournalWriter::resume(const std::string& path) {
    drop();
    fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
    if (fd_ < 0) {
        return err_ = errno;
    }
    err_ = 0;
    committed_ = true;
    path_ = path;
    return 0;
}

int MergeJournalWriter::append(std::uint32_t type, const std::string& payload, bool sync) {
    if (!committed_ || fd_ < 0) {
        return EBADF;
    }
    const std::string record = framed(type, payload);
    const std::lock_guard lock(writing_);
    if (const int err = writeAll(fd_, record.data(), record.size()); err != 0) {
        return err;
    }
    return sync && ::fsync(fd_) != 0 ? errno : 0;
}

int MergeJournalWriter::recordNumbered(std::uint64_t entry, const std::string& name) {
    std::string payload;
    putU64(payload, entry);
    putBytes(payload, name);
    return append(kMergeNumbered, payload, false);
}

int MergeJournalWriter::recordTrashing(std::uint64_t entry) {
    std::string payload;
    putU64(payload, entry);
    // Synced: a file in the Trash that the journal does not name would not come back by undo.
    return append(kMergeTrashing, payload, true);
}

int MergeJournalWriter::recordTrashed(std::uint64_t entry, const std::string& trashDir,
                                      const std::string& name) {
    std::string payload;
    putU64(payload, entry);
    putBytes(payload, trashDir);
    putBytes(payload, name);
    return append(kMergeTrashed, payload, false);
}

int MergeJournalWriter::recordLinked(std::uint64_t entry) {
    std::string payload;
    putU64(payload, entry);
    return append(kMergeLinked, payload, false);
}

int MergeJournalWriter::recordReserved(std::uint64_t entry, FileId id) {
    std::string payload;
    putU64(payload, entry);
    putU64(payload, id.device);
    putU64(payload, id.inode);
    return append(kMergeReserved, payload, false);
}

int MergeJournalWriter::recordCopying(std::uint64_t entry, FileId id) {
    std::string payload;
    putU64(payload, entry);
    putU64(payload, id.device);
    putU64(payload, id.inode);
    putU64(payload, static_cast<std::uint64_t>(nowNs()));
    return append(kMergeCopying, payload, id == FileId{});
}

int MergeJournalWriter::recordCopied(std::uint64_t entry, FileId copyId, std::uint32_t mode,
                                     std::uint32_t uid, std::uint32_t gid) {
    std::string payload;
    putU64(payload, entry);
    putU64(payload, copyId.device);
    putU64(payload, copyId.inode);
    putU32(payload, mode);
    putU32(payload, uid);
    putU32(payload, gid);
    // Synced before the original goes: undo must know the copy to bring it back.
    return append(kMergeCopied, payload, true);
}

int MergeJournalWriter::recordRemoving(const std::vector<std::uint32_t>& folders) {
    return append(kMergeRemoving, removingPayload(folders), true);
}

int MergeJournalWriter::end(bool changedAnything) {
    if (!committed_ || fd_ < 0) {
        return EBADF;
    }
    int err = 0;
    if (!changedAnything) {
        err = ::unlink(path_.c_str()) == 0 ? 0 : errno;
        path_.clear();
    } else {
        std::string payload;
        putU64(payload, static_cast<std::uint64_t>(nowNs()));
        err = append(kMergeEnded, payload, true);
    }
    drop();
    return err;
}

int recordMergeCopyBack(const std::string& path, std::uint64_t entry, FileId id) {
    std::string payload;
    putU64(payload, entry);
    putU64(payload, id.device);
    putU64(payload, id.inode);
    return appendTo(path, kMergeCopyBack, payload);
}

}  // namespace fs
