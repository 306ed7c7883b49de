// The one writer of runs' journals: the plan written ahead of the moves, what the run learns
// appended as it goes, and the end.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>

#include "fs/journal/format.h"
#include "fs/syscalls.h"

namespace fs {

using namespace journal_format;

namespace {

// An entries record is written once it holds this much, so no record is huge.
constexpr std::size_t kEntriesRecordBytes = 1 << 20;
// The plan's first chunk, synced before the first move: small, so that the moves begin at
// once. The writer's thread then writes chunks twice as large each time, up to the largest.
constexpr std::uint64_t kFirstChunk = 4096;
constexpr std::uint64_t kLargestChunk = std::uint64_t{1} << 18;
// Moves whose identity is asked of the drive cost a round trip each: a slow drive would wait
// long for the first chunk, so theirs start smaller.
constexpr std::uint64_t kFirstAskedChunk = 64;
// What a move usually takes in an entries record: its old name and the frame around it.
constexpr std::uint64_t kEntryBytesHint = 64;
// Chunks written since the last sync, beyond which the writer's thread syncs without waiting for
// a chunk's worth of moves: folders of few files each are then synced a few at a time.
constexpr std::size_t kSyncChunks = 8;

// Frames the moves of folder `folder` as entries records straight into `out`. With `spill`,
// whole records are handed to it as soon as they hold a record's worth, so that a chunk of the
// plan never lies in memory at once.
class RecordSink final : public EntrySink {
public:
    using Spill = std::function<int(std::string& records)>;
    // `merge`: a file may keep its name, moving into another folder.
    RecordSink(std::uint32_t folder, std::string& out, const Spill* spill = nullptr,
               bool merge = false)
        : folder_(folder), out_(out), spill_(spill), merge_(merge) {}
    void add(std::string_view oldName, std::string_view newName, FileId fileId) override {
        if (!validName(newName) || (oldName == newName && !merge_)) {
            err = EINVAL;
        }
        append(oldName, newName, fileId);
    }
    void addUsual(std::string_view oldName, FileId fileId) override { append(oldName, {}, fileId); }
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
        putId(out_, fileId);
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
    bool merge_;
    std::size_t start_ = 0;
    std::uint32_t count_ = 0;
};

std::string folderPayload(const FolderRecord& f) {
    std::string payload;
    putBytes(payload, f.path);
    putId(payload, f.id);
    payload += static_cast<char>(f.identity);
    putBytes(payload, f.place.mountIdentity);
    putBytes(payload, f.place.mountRoot);
    putBytes(payload, f.place.mountPoint);
    putBytes(payload, f.place.relative);
    putBytes(payload, f.place.label);
    putU32(payload, f.parent);
    putU32(payload, f.target);
    payload += static_cast<char>((f.walked ? 1 : 0) | (f.destination ? 2 : 0));
    putU32(payload, f.mode);
    putU32(payload, f.uid);
    putU32(payload, f.gid);
    putU64(payload, static_cast<std::uint64_t>(f.accessedAt));
    putU64(payload, static_cast<std::uint64_t>(f.modifiedAt));
    return payload;
}

}  // namespace

JournalWriter::~JournalWriter() {
    drop();
}

int JournalWriter::error() const {
    const std::lock_guard lock(mutex_);
    return err_;
}

std::size_t JournalWriter::folders() const {
    const std::lock_guard lock(mutex_);
    return sections_.size();
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
    resumed_ = false;
    merge_ = false;
    leftNames_ = false;
    version_ = kVersion;
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

int JournalWriter::begin(const std::string& stateDir, std::uint32_t flags) {
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
    merge_ = (flags & kMerge) != 0;
    head_.append(kMagic, sizeof kMagic);
    putU32(head_, kVersion);
    putU32(head_, flags & (kMayLeaveReservations | kMerge));
    putU64(head_, static_cast<std::uint64_t>(nowNs()));
    putU64(head_, journalChecksum(head_));
    return 0;
}

int JournalWriter::resume(const std::string& path) {
    drop();
    err_ = 0;
    if (const int err = cutTornTail(path); err != 0) {
        return err_ = err;
    }
    fd_ = ::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
    if (fd_ < 0) {
        return err_ = errno;
    }
    char head[kHeadBytes] = {};
    if ((err_ = preadAll(fd_, head, sizeof head, 0)) != 0) {
        drop();
        return err_;
    }
    version_ = static_cast<std::uint32_t>(getLE(head + 8, 4));
    path_ = path;
    committed_ = true;
    resumed_ = true;
    return 0;
}

int JournalWriter::addFolder(const std::string& folderPath, FileId folderId, IdentityKind identity,
                             const FolderPlace& place) {
    FolderRecord folder;
    folder.path = folderPath;
    folder.id = folderId;
    folder.identity = identity;
    folder.place = place;
    return addFolder(folder);
}

int JournalWriter::addFolder(const FolderRecord& folder) {
    std::size_t section = 0;
    return addFolder(folder, 0, nullptr, true, section);
}

int JournalWriter::addFolder(const FolderRecord& folder, std::uint64_t count, EntrySource source,
                             bool madeByWaiter, std::size_t& section) {
    const std::lock_guard lock(mutex_);
    if (err_ != 0 || fd_ < 0 || closing_ || resumed_) {
        return err_ != 0 ? err_ : EBADF;
    }
    if (!validFolder(folder.path) || sections_.size() >= UINT32_MAX ||
        (folder.parent != kNoFolder && folder.parent >= sections_.size()) ||
        (folder.target != kNoFolder && folder.target >= sections_.size())) {
        return err_ = EINVAL;
    }
    pending_ += framed(kFolder, folderPayload(folder));
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

int JournalWriter::setMerge(const MergeFlags& flags, std::uint32_t destination) {
    const std::lock_guard lock(mutex_);
    if (err_ != 0 || fd_ < 0 || committed_) {
        return err_ != 0 ? err_ : EBADF;
    }
    if (!merge_ || destination >= sections_.size()) {
        return err_ = EINVAL;
    }
    std::string payload;
    payload += static_cast<char>((flags.destinationMade ? 1 : 0) | (flags.keepDuplicates ? 2 : 0) |
                                 (flags.number ? 4 : 0) | (flags.keepFolders ? 8 : 0) |
                                 (flags.all ? 16 : 0));
    putU32(payload, destination);
    pending_ += framed(kMergeOptions, payload);
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
                          std::uint64_t to, std::string& out, const RecordSpill* spill) const {
    RecordSink sink(static_cast<std::uint32_t>(index), out, spill, merge_);
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
    // The head, every folder, every move added one by one, and the first chunk of the rest.
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
    if (err_ == 0 && syscalls().fsync(fd_) != 0) {
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
    if (err_ == 0 && syscalls().fsync(dirfd_) != 0) {
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
                unsynced += k.moves;
            }
            written.insert(written.end(), kept.begin(), kept.end());
            kept.clear();
        }
        if (err == 0 && !written.empty() &&
            (waiters_ > 0 || closing_ || unsynced >= kFirstChunk ||
             written.size() >= kSyncChunks)) {
            lock.unlock();
            err = syscalls().fsync(fd_) == 0 ? 0 : errno;
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
    const std::string record = framed(type, payload, checksumOf(version_));
    const std::lock_guard file(fileMutex_);
    if (const int err = writeAll(fd_, record.data(), record.size()); err != 0) {
        return err;
    }
    return sync && syscalls().fsync(fd_) != 0 ? errno : 0;
}

int JournalWriter::recordOf(std::uint32_t type, std::size_t folder, std::uint64_t entry,
                            std::string payload, bool sync) {
    std::string record;
    putU32(record, static_cast<std::uint32_t>(folder));
    putU64(record, entry);
    return append(type, record + payload, sync);
}

int JournalWriter::recordLinked(std::size_t folder, const std::string& name) {
    std::string payload;
    putU32(payload, static_cast<std::uint32_t>(folder));
    putBytes(payload, name);
    return append(kLinked, payload, false);
}

int JournalWriter::recordLinkMade(std::size_t folder, const std::string& name) {
    std::string payload;
    putU32(payload, static_cast<std::uint32_t>(folder));
    putBytes(payload, name);
    return append(kLinkMade, payload, false);
}

int JournalWriter::recordReservationMade(std::size_t folder, const std::string& name,
                                         const struct stat& st) {
    std::string payload;
    putU32(payload, static_cast<std::uint32_t>(folder));
    putBytes(payload, name);
    putId(payload, {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)});
    putU64(payload, static_cast<std::uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
                        static_cast<std::uint64_t>(st.st_mtim.tv_nsec));
    return append(kReservationMade, payload, false);
}

int JournalWriter::recordBackLink(std::size_t folder, const std::string& name, bool made) {
    std::string payload;
    putU32(payload, static_cast<std::uint32_t>(folder));
    putBytes(payload, name);
    return append(made ? kBackLinkMade : kBackLinking, payload, false);
}

int JournalWriter::recordBackReservation(std::size_t folder, const std::string& name,
                                         const struct stat* st) {
    std::string payload;
    putU32(payload, static_cast<std::uint32_t>(folder));
    putBytes(payload, name);
    if (st == nullptr) {
        putU64(payload, static_cast<std::uint64_t>(nowNs()));
        return append(kBackReserving, payload, false);
    }
    putId(payload,
          {static_cast<std::uint64_t>(st->st_dev), static_cast<std::uint64_t>(st->st_ino)});
    putU64(payload, static_cast<std::uint64_t>(st->st_mtim.tv_sec) * 1000000000u +
                        static_cast<std::uint64_t>(st->st_mtim.tv_nsec));
    return append(kBackReservationMade, payload, false);
}

int JournalWriter::recordCopiedBack(std::size_t folder, std::uint64_t entry, FileId id) {
    std::string payload;
    putId(payload, id);
    return recordOf(kCopiedBack, folder, entry, payload, false);
}

int JournalWriter::recordReservation(std::size_t folder, const std::string& name, FileId id) {
    std::string payload;
    putU32(payload, static_cast<std::uint32_t>(folder));
    putBytes(payload, name);
    if (id == FileId{}) {
        // About to be made: when, so that an empty file made since can be told for ours.
        putU64(payload, static_cast<std::uint64_t>(nowNs()));
        return append(kReserving, payload, false);
    }
    leftNames_ = true;
    putId(payload, id);
    return append(kReserved, payload, false);
}

int JournalWriter::recordNumbered(std::size_t folder, std::uint64_t entry,
                                  const std::string& name) {
    std::string payload;
    putBytes(payload, name);
    return recordOf(kNumbered, folder, entry, payload, false);
}

int JournalWriter::recordTrashing(std::size_t folder, std::uint64_t entry,
                                  const std::string& trashDir, const std::string& trashName) {
    std::string payload;
    putBytes(payload, trashDir);
    putBytes(payload, trashName);
    // The file goes where only this record finds it for undo.
    return recordOf(kTrashing, folder, entry, payload, true);
}

int JournalWriter::recordCopying(std::size_t folder, std::uint64_t entry) {
    std::string payload;
    putU64(payload, static_cast<std::uint64_t>(nowNs()));
    // A drive that serves its requests apart (FUSE) may make the copy after a kill, unheard of.
    return recordOf(kCopying, folder, entry, payload, true);
}

int JournalWriter::recordCopyMade(std::size_t folder, std::uint64_t entry, FileId id) {
    std::string payload;
    putId(payload, id);
    return recordOf(kCopyMade, folder, entry, payload, false);
}

int JournalWriter::recordCopied(std::size_t folder, std::uint64_t entry,
                                const EntryEvents& copied) {
    std::string payload;
    putId(payload, copied.copyId);
    putU32(payload, copied.mode);
    putU32(payload, copied.uid);
    putU32(payload, copied.gid);
    putU32(payload, copied.notKept);
    // The original goes next: the copy must be found for undo.
    return recordOf(kCopied, folder, entry, payload, true);
}

int JournalWriter::recordCopyingBack(std::size_t folder, std::uint64_t entry, FileId id) {
    std::string payload;
    putId(payload, id);
    return recordOf(kCopyingBack, folder, entry, payload, true);
}

int JournalWriter::recordMovedAs(std::size_t folder, std::uint64_t entry, FileId id) {
    std::string payload;
    putId(payload, id);
    return recordOf(kMovedAs, folder, entry, payload, true);
}

int JournalWriter::recordRemoving(const std::vector<std::uint32_t>& folders) {
    std::string payload;
    putU32(payload, static_cast<std::uint32_t>(folders.size()));
    for (const std::uint32_t f : folders) {
        putU32(payload, f);
    }
    return append(kRemoving, payload, true);
}

int JournalWriter::recordFolderMade(std::size_t folder, FileId id) {
    std::string payload;
    putU32(payload, static_cast<std::uint32_t>(folder));
    if (id == FileId{}) {
        return append(kMakingFolder, payload, true);
    }
    putId(payload, id);
    return append(kFolderMade, payload, true);
}

int JournalWriter::end(std::int64_t changed, const std::vector<std::int64_t>& folderTimes,
                       bool cancelled) {
    if (!committed_ || fd_ < 0) {
        return EBADF;
    }
    stopWriting();
    // The writer's thread leaves ECANCELED behind when it ends of itself.
    int err = err_ == ECANCELED ? 0 : err_;
    if (err == 0 && changed == 0 && !resumed_ && !leftNames_) {
        // Nothing to take back: no entry in the history. A run that made a reservation stays,
        // so that finish and undo can remove what a failure may have left of it.
        err = ::unlink(path_.c_str()) == 0 ? 0 : errno;
    } else if (err == 0) {
        std::string payload;
        putU64(payload, static_cast<std::uint64_t>(changed));
        putU64(payload, static_cast<std::uint64_t>(nowNs()));
        const bool timed = !resumed_ && folderTimes.size() == sections_.size();
        putU32(payload, timed ? static_cast<std::uint32_t>(sections_.size()) : 0);
        for (std::size_t f = 0; timed && f < folderTimes.size(); ++f) {
            putU64(payload, static_cast<std::uint64_t>(folderTimes[f]));
        }
        if (version_ >= kFolderRolesVersion) {
            payload += static_cast<char>(cancelled ? 1 : 0);
        }
        err = append(kEnded, payload, true);
    }
    drop();
    return err;
}

}  // namespace fs
