#include "fs/listing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <random>

#include "core/naming.h"
#include "core/paths.h"
#include "fs/folder_reader.h"

namespace fs {

namespace {

constexpr std::array<unsigned char, 256> makeFoldTable() {
    std::array<unsigned char, 256> table{};
    for (int c = 0; c < 256; ++c) {
        table[c] = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return table;
}
constexpr std::array<unsigned char, 256> kFold = makeFoldTable();

// The names of `folder` whose kind `keep` accepts, in display order.
template <class Keep>
Listing readSorted(const std::string& folder, Keep keep) {
    Listing listing;
    listing.error = readFolder(folder, Kinds::Resolve, [&](const FolderEntry& entry) {
        if (keep(entry.kind)) {
            listing.names.emplace_back(entry.name);
        }
        return true;
    });
    if (listing.error != 0) {
        listing.names.clear();
    }
    sortForDisplay(listing.names);
    return listing;
}

// A link to a folder opens like a folder, so it is listed with the folders, not the files.
bool isFile(EntryKind kind) {
    return kind == EntryKind::File;
}

}  // namespace

bool displayLess(std::string_view a, std::string_view b) {
    const auto* pa = reinterpret_cast<const unsigned char*>(a.data());
    const auto* pb = reinterpret_cast<const unsigned char*>(b.data());
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        // The bytes both share, eight at a time: names of one folder often begin alike.
        std::uint64_t x = 0;
        std::uint64_t y = 0;
        while (i + 8 <= n && (std::memcpy(&x, pa + i, 8), std::memcpy(&y, pb + i, 8), x == y)) {
            i += 8;
        }
        while (i < n && pa[i] == pb[i]) {
            ++i;
        }
        if (i == n) {
            break;
        }
        const unsigned char fa = kFold[pa[i]];
        const unsigned char fb = kFold[pb[i]];
        if (fa != fb) {
            return fa < fb;
        }
    }
    if (a.size() != b.size()) {
        return a.size() < b.size();
    }
    return a < b;  // same letters ignoring case: a fixed order all the same
}

void sortForDisplay(std::vector<std::string>& names) {
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return displayLess(a, b); });
}

namespace {

using Entry = core::NameTable::Entry;

std::size_t sizeOf(const Entry& entry) {
    return static_cast<std::size_t>(entry.place & 0xffffU);
}

// Eight bytes with ASCII capitals made small, all at once.
std::uint64_t folded(std::uint64_t bytes) {
    constexpr std::uint64_t ones = 0x0101010101010101U;
    constexpr std::uint64_t high = ones * 0x80;
    const std::uint64_t low7 = bytes & ~high;
    const std::uint64_t atLeastA = low7 + ones * (0x80 - 'A');
    const std::uint64_t pastZ = low7 + ones * (0x80 - 'Z' - 1);
    const std::uint64_t capitals = atLeastA & ~pastZ & ~bytes & high;
    return bytes | (capitals >> 2);
}

// The display order of a name's bytes [offset, offset + 8) as one number: folded, the first byte
// most significant, zero past the end (so a shorter name comes first). The table's slack makes
// the word readable.
std::uint64_t keyAt(const core::NameTable& table, const Entry& entry, std::size_t offset) {
    const std::string_view name = table.nameOf(entry);
    if (offset >= name.size()) {
        return 0;
    }
    std::uint64_t word = 0;
    std::memcpy(&word, name.data() + offset, sizeof word);
    const std::size_t left = name.size() - offset;
    if constexpr (std::endian::native == std::endian::little) {
        if (left < 8) {
            word &= (std::uint64_t{1} << (8 * left)) - 1;
        }
        return __builtin_bswap64(folded(word));
    } else {
        if (left < 8) {
            word &= ~std::uint64_t{0} << (8 * (8 - left));
        }
        return folded(word);
    }
}

struct Keyed {
    std::uint64_t key;
    Entry entry;
};

// Sorts by the keys at `offset`; names alike so far go on by their next eight bytes, names alike
// to their end but for case by their raw bytes. Compares numbers, not names, nearly always.
void sortKeyed(Keyed* first, Keyed* last, std::size_t offset, const core::NameTable& table) {
    std::sort(first, last, [](const Keyed& a, const Keyed& b) { return a.key < b.key; });
    for (Keyed* run = first; run != last;) {
        Keyed* end = run + 1;
        while (end != last && end->key == run->key) {
            ++end;
        }
        if (end - run > 1) {
            // Alike up to here: a name that ends here, or at the window's end, is the same
            // length as the others unless one of them goes on.
            const std::size_t next = offset + 8;
            if (std::any_of(run, end, [next](const Keyed& k) { return sizeOf(k.entry) > next; })) {
                for (Keyed* k = run; k != end; ++k) {
                    k->key = keyAt(table, k->entry, next);
                }
                sortKeyed(run, end, next, table);
            } else {
                std::sort(run, end, [&table](const Keyed& a, const Keyed& b) {
                    return table.nameOf(a.entry) < table.nameOf(b.entry);
                });
            }
        }
        run = end;
    }
}

}  // namespace

void sortForDisplay(core::NameTable& table) {
    std::vector<Entry>& entries = table.entries();
    if (entries.empty()) {
        return;
    }
    // The first keys start past what every name begins with ("IMG_", "DSC0"), so that they tell
    // the names apart at once.
    const std::string_view first = table.nameOf(entries.front());
    std::size_t common = first.size();
    for (const Entry& entry : entries) {
        const std::string_view name = table.nameOf(entry);
        std::size_t i = 0;
        const std::size_t most = std::min(common, name.size());
        while (i < most && kFold[static_cast<unsigned char>(name[i])] ==
                               kFold[static_cast<unsigned char>(first[i])]) {
            ++i;
        }
        common = i;
    }
    std::vector<Keyed> keyed;
    keyed.reserve(entries.size());
    for (const Entry& entry : entries) {
        keyed.push_back({keyAt(table, entry, common), entry});
    }
    // Room for the entries once sorted, exactly, rather than beside the keys.
    std::vector<Entry>().swap(entries);
    sortKeyed(keyed.data(), keyed.data() + keyed.size(), common, table);
    entries.reserve(keyed.size());
    for (const Keyed& k : keyed) {
        entries.push_back(k.entry);
    }
}

int SortedListing::read(int dirfd) {
    table_.clear();
    const int error = readFolder(dirfd, Kinds::NameOnly, [this](const FolderEntry& entry) {
        table_.add(entry.name, entry.inode);
        return true;
    });
    sortForDisplay(table_);
    return error;
}

std::vector<std::optional<std::uint64_t>> SortedListing::find(
    std::size_t count, const std::function<std::string_view(std::size_t)>& nameAt) const {
    std::vector<std::optional<std::uint64_t>> found(count);
    std::vector<std::size_t> order;  // empty while the names come in display order
    for (std::size_t i = 1; i < count && order.empty(); ++i) {
        if (displayLess(nameAt(i), nameAt(i - 1))) {
            order.resize(count);
            std::iota(order.begin(), order.end(), std::size_t{0});
            std::stable_sort(order.begin(), order.end(), [&nameAt](std::size_t a, std::size_t b) {
                return displayLess(nameAt(a), nameAt(b));
            });
        }
    }
    // Alike names come one after the other, and each is found where the last one was.
    std::size_t at = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t i = order.empty() ? k : order[k];
        const std::string_view name = nameAt(i);
        while (at < table_.size() && displayLess(table_.name(at), name)) {
            ++at;
        }
        if (at < table_.size() && table_.name(at) == name) {
            found[i] = table_.inode(at);
        }
    }
    return found;
}

Listing listFiles(const std::string& folder) {
    return readSorted(folder, isFile);
}

int readFiles(const std::string& folder, core::NameTable& table, std::size_t firstStep,
              std::size_t step, const std::atomic<bool>& cancelled,
              const std::function<void(std::size_t entries)>& onProgress,
              core::FolderIdentity* identity) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    struct stat st {};
    if (identity != nullptr && ::fstat(fd, &st) == 0) {
        *identity = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    }
    std::size_t read = 0;
    std::size_t told = 0;
    std::size_t next = std::max<std::size_t>(firstStep, 1);
    const int error = readFolder(fd, Kinds::Resolve, [&](const FolderEntry& entry) {
        if (cancelled.load(std::memory_order_relaxed)) {
            return false;
        }
        if (!isFile(entry.kind)) {
            return true;
        }
        table.add(entry.name, entry.inode);
        if (++read >= next) {
            onProgress(told = read);
            next = read + std::max<std::size_t>(step, 1);
        }
        return true;
    });
    ::close(fd);
    if (error == 0 && read != told) {
        onProgress(read);
    }
    return error;
}

namespace {

std::uint64_t mixed(std::uint64_t a, std::uint64_t b) {
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

// Keys of this process: a folder's names cannot be made to sum alike on purpose.
struct DigestKeys {
    std::uint64_t a;
    std::uint64_t b;
    std::uint64_t c;
};
const DigestKeys& digestKeys() {
    static const DigestKeys keys = [] {
        std::random_device random;
        const auto draw = [&random] {
            return (static_cast<std::uint64_t>(random()) << 32 ^ random()) | 1;
        };
        return DigestKeys{draw(), draw(), draw()};
    }();
    return keys;
}

std::uint64_t entryHash(std::string_view name, std::uint64_t inode) {
    const DigestKeys& keys = digestKeys();
    std::uint64_t h = keys.c ^ name.size();
    for (std::size_t i = 0; i < name.size(); i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, name.data() + i, std::min<std::size_t>(8, name.size() - i));
        h = mixed(word ^ keys.a, h ^ keys.b);
    }
    return mixed(inode ^ keys.b, h ^ keys.a);
}

}  // namespace

FilesDigest digestOf(const core::NameTable& table) {
    FilesDigest digest;
    for (const Entry& entry : table.entries()) {
        digest.sum += entryHash(table.nameOf(entry), entry.inode);
    }
    digest.count = table.size();
    return digest;
}

int digestFiles(const std::string& folder, const std::atomic<bool>& cancelled, FilesDigest& digest,
                core::FolderIdentity* identity) {
    digest = {};
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    struct stat st {};
    if (identity != nullptr && ::fstat(fd, &st) == 0) {
        *identity = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    }
    const int error = readFolder(fd, Kinds::Resolve, [&](const FolderEntry& entry) {
        if (cancelled.load(std::memory_order_relaxed)) {
            return false;
        }
        if (isFile(entry.kind)) {
            digest.sum += entryHash(entry.name, entry.inode);
            ++digest.count;
        }
        return true;
    });
    ::close(fd);
    return error;
}

std::shared_ptr<const core::NameTable> listedAfterRun(
    const std::shared_ptr<const core::NameTable>& listed, const core::WorkList& renameList,
    std::int64_t renamed, const std::string& folder) {
    if (!listed || renamed < 0 || renamed > renameList.count() ||
        (renamed > 0 && renameList.sharedTable() != listed)) {
        return nullptr;
    }
    if (renamed == 0) {
        return listed;
    }
    const std::size_t n = listed->size();
    std::vector<bool> gone(n);
    bool inOrder = true;
    for (std::int64_t i = 0, last = -1; i < renamed; ++i) {
        const std::int64_t row = renameList.sharedIndex(i);
        if (row < 0 || static_cast<std::size_t>(row) >= n) {
            return nullptr;
        }
        inOrder = inOrder && row > last;
        last = row;
        gone[static_cast<std::size_t>(row)] = true;
    }
    // Every new name is the folder's prefix and the old name.
    const std::string prefix = core::prefixedName(folder, {});
    auto table = std::make_shared<core::NameTable>(core::NameTable::sharingBytesOf(*listed));
    table->reserve(n);
    // The names kept and the new ones are each in display order (the same prefix before names
    // in display order keeps them so): one merge.
    const std::vector<Entry>& rows = listed->entries();
    std::size_t kept = 0;
    std::int64_t next = 0;
    Entry fresh;
    bool haveFresh = false;
    for (;;) {
        while (kept < n && gone[kept]) {
            ++kept;
        }
        if (!haveFresh && next < renamed) {
            fresh = table->store(prefix, renameList.at(next), renameList.inodeAt(next));
            haveFresh = true;
            ++next;
        }
        if (kept < n &&
            (!haveFresh || displayLess(table->nameOf(rows[kept]), table->nameOf(fresh)))) {
            table->addEntry(rows[kept++]);
        } else if (haveFresh) {
            table->addEntry(fresh);
            haveFresh = false;
        } else {
            break;
        }
    }
    if (!inOrder) {
        sortForDisplay(*table);
    }
    // The chunks of the names renamed go with the listing (and the work lists) that hold them.
    table->dropUnusedChunks();
    return table;
}

Listing listFolders(const std::string& folder, std::atomic<std::int64_t>* entriesSeen) {
    return readSorted(folder, [entriesSeen](EntryKind kind) {
        if (entriesSeen != nullptr) {
            entriesSeen->fetch_add(1, std::memory_order_relaxed);
        }
        return kind != EntryKind::File;
    });
}

void FolderScan::run(const std::string& folder) {
    auto files = std::make_shared<core::NameTable>();
    Listing folders;
    core::FolderIdentity identity;
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int error = fd < 0 ? errno : 0;
    if (fd >= 0) {
        struct stat st {};
        if (::fstat(fd, &st) == 0) {
            identity = {static_cast<std::uint64_t>(st.st_dev),
                        static_cast<std::uint64_t>(st.st_ino)};
        }
        error = readFolder(fd, Kinds::Resolve, [&](const FolderEntry& entry) {
            entriesRead.fetch_add(1, std::memory_order_relaxed);
            if (isFile(entry.kind)) {
                files->add(entry.name, entry.inode);
                filesRead.fetch_add(1, std::memory_order_relaxed);
            } else {
                folders.names.emplace_back(entry.name);
            }
            return true;
        });
        ::close(fd);
    }
    if (error != 0) {
        folders.names.clear();
        files.reset();
    }
    folders.error = error;
    sortForDisplay(folders.names);
    {
        const std::lock_guard lock(mutex_);
        folders_ = std::move(folders);
        files_ = std::move(files);
        identity_ = identity;
        done_ = true;
    }
    ended_.notify_all();
}

bool FolderScan::waitDone(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return ended_.wait_for(lock, timeout, [this] { return done_; });
}

Listing FolderScan::takeFolders() {
    const std::lock_guard lock(mutex_);
    return std::move(folders_);
}

std::shared_ptr<core::NameTable> FolderScan::takeFiles(core::FolderIdentity& identity) {
    const std::lock_guard lock(mutex_);
    identity = identity_;
    return std::move(files_);
}

std::string currentFolder() {
    std::vector<char> buffer(4096);
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) {
            return "/";
        }
        buffer.resize(buffer.size() * 2);
    }
    return core::normalizeFolder(buffer.data());
}

}  // namespace fs
