// Files of equal content in a merge, whatever their names: one of each group kept, the others
// planned for the Trash. Found as the fastest finders do: by size, then by the first bytes, then
// by every byte, each file read once, on as many threads as the drive takes at once.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <thread>

#include "core/paths.h"
#include "fs/fd.h"
#include "fs/folder_reader.h"
#include "fs/merge/merge.h"
#include "fs/merge/trash.h"
#include "fs/mounts.h"
#include "fs/namerule.h"

namespace fs {

namespace {

// Bytes read first: files of one size that differ mostly differ here (a photo's header, its
// time), and a small file is whole in it.
constexpr std::size_t kHead = 4096;
// Bytes read of each file at a time, once the heads are alike.
constexpr std::size_t kChunk = 64 * 1024;
// Files of one group open at once: a larger group is compared this many at a time.
constexpr std::size_t kMostOpen = 128;
// A destination's file, not the plan's.
constexpr std::uint32_t kInDestination = 0xffffffffu;

std::int64_t nsOf(const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// One file as a finder sees it: where it is, and what it was when it was looked at.
struct Seen {
    std::uint32_t file = kInDestination;  // the plan's index
    std::uint32_t destinationName = 0;    // for a destination's file: its index in the names
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = -1;  // -1: not a regular file, or gone
    std::int64_t modifiedAt = 0;
    std::int64_t changedAt = 0;
};

bool readWhole(int fd, char* into, std::size_t bytes, off_t at) {
    while (bytes > 0) {
        const ssize_t n = ::pread(fd, into, bytes, at);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        into += n;
        bytes -= static_cast<std::size_t>(n);
        at += n;
    }
    return true;
}

// Splits `members` (indices into `fds`) by the `bytes` bytes at `at` of each, read into `buffers`;
// a file that cannot be read is dropped. Classes of one are dropped too.
std::vector<std::vector<std::size_t>> splitByBytes(const std::vector<std::size_t>& members,
                                                   const std::vector<Fd>& fds,
                                                   std::vector<std::unique_ptr<char[]>>& buffers,
                                                   std::size_t bytes, off_t at) {
    std::vector<std::vector<std::size_t>> classes;
    for (const std::size_t m : members) {
        if (!readWhole(fds[m].get(), buffers[m].get(), bytes, at)) {
            continue;
        }
        bool placed = false;
        for (std::vector<std::size_t>& c : classes) {
            if (std::memcmp(buffers[c.front()].get(), buffers[m].get(), bytes) == 0) {
                c.push_back(m);
                placed = true;
                break;
            }
        }
        if (!placed) {
            classes.push_back({m});
        }
    }
    std::erase_if(classes, [](const std::vector<std::size_t>& c) { return c.size() < 2; });
    return classes;
}

// The classes of equal content among files open as `fds`, all `size` bytes long: the heads
// first, then the rest chunk by chunk, a class split as soon as its files part.
std::vector<std::vector<std::size_t>> equalContent(const std::vector<Fd>& fds, std::int64_t size) {
    const auto total = static_cast<std::size_t>(size);
    std::vector<std::unique_ptr<char[]>> buffers(fds.size());
    const std::size_t bufferBytes = std::min(total, std::max(kHead, kChunk));
    for (std::size_t m = 0; m < fds.size(); ++m) {
        buffers[m].reset(new char[bufferBytes]);
        // Read once, front to back: the kernel reads ahead further.
        ::posix_fadvise(fds[m].get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    std::vector<std::size_t> all(fds.size());
    for (std::size_t m = 0; m < all.size(); ++m) {
        all[m] = m;
    }
    const std::size_t head = std::min(total, kHead);
    std::vector<std::vector<std::size_t>> pending = splitByBytes(all, fds, buffers, head, 0);
    std::vector<std::size_t> reached(pending.size(), head);  // bytes compared of each class
    std::vector<std::vector<std::size_t>> equal;
    while (!pending.empty()) {
        std::vector<std::size_t> members = std::move(pending.back());
        const std::size_t at = reached.back();
        pending.pop_back();
        reached.pop_back();
        if (at >= total) {
            equal.push_back(std::move(members));
            continue;
        }
        const std::size_t bytes = std::min(kChunk, total - at);
        for (std::vector<std::size_t>& c :
             splitByBytes(members, fds, buffers, bytes, static_cast<off_t>(at))) {
            pending.push_back(std::move(c));
            reached.push_back(at + bytes);
        }
    }
    return equal;
}

}  // namespace

// Finds the content duplicates of a plan made with Dedupe and plans them for the Trash.
class DuplicateFinder {
public:
    DuplicateFinder(MergePlan& plan, const PlanControl& control) : plan_(plan), control_(control) {}

    int run() {
        if (!lookAtFiles()) {
            return ECANCELED;
        }
        const std::vector<std::vector<std::size_t>> groups = sameSizeGroups();
        std::vector<std::vector<std::vector<std::size_t>>> found(groups.size());
        std::atomic<std::size_t> next{0};
        std::atomic<bool> stop{false};
        const auto work = [&](bool reports) {
            for (std::size_t g; !stop && (g = next++) < groups.size();) {
                found[g] = compare(groups[g]);
                if (reports && !control_.chunk(plan_, plan_.size())) {
                    stop = true;
                }
            }
        };
        runOnPool(work);
        if (stop) {
            return ECANCELED;
        }
        for (const auto& classes : found) {
            for (const std::vector<std::size_t>& members : classes) {
                keepOne(members);
            }
        }
        std::sort(plan_.contentDuplicates_.begin(), plan_.contentDuplicates_.end(),
                  [](const MergePlan::ContentDuplicate& a, const MergePlan::ContentDuplicate& b) {
                      return a.file < b.file;
                  });
        return 0;
    }

private:
    // `work(reports)` on as many threads as the drive takes at once; the calling thread is one of
    // them, and the one that reports.
    void runOnPool(const std::function<void(bool)>& work) {
        const std::string& where =
            plan_.folders_.empty() ? plan_.request_.destination : plan_.folders_.front().path;
        Fd fd(::open(where.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        const int threads = fd.get() >= 0 ? std::max(1, foldersAtOnce(fd.get())) : 1;
        std::vector<std::thread> pool;
        for (int t = 1; t < threads; ++t) {
            pool.emplace_back(work, false);
        }
        work(static_cast<bool>(control_.chunk));
        for (std::thread& t : pool) {
            t.join();
        }
    }

    std::string pathOf(const Seen& seen) const {
        if (seen.file == kInDestination) {
            return core::joinPath(plan_.request_.destination,
                                  destinationNames_[seen.destinationName]);
        }
        const PlannedFile file = plan_.at(seen.file);
        return core::joinPath(std::string(file.folder), std::string(file.name));
    }

    static void stat(const std::string& path, Seen& seen) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            return;
        }
        seen.device = static_cast<std::uint64_t>(st.st_dev);
        seen.inode = static_cast<std::uint64_t>(st.st_ino);
        seen.size = st.st_size;
        seen.modifiedAt = nsOf(st.st_mtim);
        seen.changedAt = nsOf(st.st_ctim);
    }

    // The files that take part: those the plan moves, and the destination's own; each one's
    // size, identity and times, asked on the pool (on a network drive each is a round trip).
    bool lookAtFiles() {
        for (std::size_t i = 0; i < plan_.size(); ++i) {
            const MergeAction action = plan_.files_[i].action;
            if (action == MergeAction::Move || action == MergeAction::MoveNumbered) {
                seen_.push_back({static_cast<std::uint32_t>(i)});
            }
        }
        readFolder(plan_.request_.destination, Kinds::Resolve, [&](const FolderEntry& e) {
            if (e.kind == EntryKind::File) {
                seen_.push_back(
                    {kInDestination, static_cast<std::uint32_t>(destinationNames_.size())});
                destinationNames_.emplace_back(e.name);
            }
            return true;
        });
        std::atomic<std::size_t> next{0};
        std::atomic<bool> stop{false};
        constexpr std::size_t kBatch = 256;
        runOnPool([&](bool reports) {
            for (std::size_t from; !stop && (from = next.fetch_add(kBatch)) < seen_.size();) {
                for (std::size_t i = from; i < std::min(from + kBatch, seen_.size()); ++i) {
                    stat(pathOf(seen_[i]), seen_[i]);
                }
                if (reports && !control_.chunk(plan_, plan_.size())) {
                    stop = true;
                }
            }
        });
        return !stop;
    }

    // Groups of two or more different files (hard links of one file are one) of one size, each
    // member the indices into seen_ of one file's names. Empty files are never duplicates: an
    // empty file is often a marker whose name is what matters.
    std::vector<std::vector<std::size_t>> sameSizeGroups() {
        std::vector<std::size_t> order;
        for (std::size_t i = 0; i < seen_.size(); ++i) {
            if (seen_[i].size > 0) {
                order.push_back(i);
            }
        }
        std::sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) {
            const Seen& x = seen_[a];
            const Seen& y = seen_[b];
            return std::tie(x.size, x.device, x.inode, a) < std::tie(y.size, y.device, y.inode, b);
        });
        std::vector<std::vector<std::size_t>> groups;
        for (std::size_t at = 0; at < order.size();) {
            std::size_t end = at;
            std::vector<std::size_t> files;  // one name of each different file
            while (end < order.size() && seen_[order[end]].size == seen_[order[at]].size) {
                const Seen& s = seen_[order[end]];
                if (files.empty() || seen_[files.back()].inode != s.inode ||
                    seen_[files.back()].device != s.device) {
                    files.push_back(order[end]);
                } else {
                    otherNames_[files.back()].push_back(order[end]);
                }
                ++end;
            }
            for (std::size_t from = 0; files.size() >= 2 && from < files.size();
                 from += kMostOpen) {
                groups.emplace_back(files.begin() + static_cast<std::ptrdiff_t>(from),
                                    files.begin() + static_cast<std::ptrdiff_t>(
                                                        std::min(files.size(), from + kMostOpen)));
            }
            at = end;
        }
        return groups;
    }

    // The classes of equal content in `group` (indices into seen_), each of two files or more.
    std::vector<std::vector<std::size_t>> compare(const std::vector<std::size_t>& group) const {
        std::vector<Fd> fds;
        std::vector<std::size_t> opened;
        for (const std::size_t i : group) {
            Fd fd(::open(pathOf(seen_[i]).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOATIME));
            if (fd.get() < 0 && errno == EPERM) {
                fd.reset(::open(pathOf(seen_[i]).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
            }
            if (fd.get() >= 0) {
                fds.push_back(std::move(fd));
                opened.push_back(i);
            }
        }
        std::vector<std::vector<std::size_t>> classes;
        if (fds.size() < 2) {
            return classes;
        }
        for (const std::vector<std::size_t>& c : equalContent(fds, seen_[group.front()].size)) {
            std::vector<std::size_t>& members = classes.emplace_back();
            for (const std::size_t m : c) {
                members.push_back(opened[m]);
            }
        }
        return classes;
    }

    // Which of `members` (indices into seen_, one name of each file) is kept: the destination's
    // files, all of them, else the one the request's rule names.
    bool kept(const std::vector<std::size_t>& members, std::size_t m) const {
        const bool inDestination =
            std::any_of(members.begin(), members.end(),
                        [this](std::size_t i) { return seen_[i].file == kInDestination; });
        if (inDestination) {
            return seen_[m].file == kInDestination;
        }
        const auto better = [this](std::size_t a, std::size_t b) {
            const Seen& x = seen_[a];
            const Seen& y = seen_[b];
            switch (plan_.request_.dedupe) {
                case Dedupe::Oldest:
                    return std::tie(x.modifiedAt, x.file) < std::tie(y.modifiedAt, y.file);
                case Dedupe::Newest:
                    return x.modifiedAt != y.modifiedAt ? x.modifiedAt > y.modifiedAt
                                                        : x.file < y.file;
                case Dedupe::First:
                case Dedupe::Off:
                    break;
            }
            return x.file < y.file;
        };
        return *std::min_element(members.begin(), members.end(), better) == m;
    }

    void keepOne(const std::vector<std::size_t>& members) {
        std::size_t keeper = members.front();
        for (const std::size_t m : members) {
            if (kept(members, m)) {
                keeper = m;
            }
        }
        const std::string keptPath = pathOf(seen_[keeper]);
        for (const std::size_t m : members) {
            if (kept(members, m)) {
                continue;
            }
            // Every name of that file.
            toTrash(seen_[m], keptPath);
            if (const auto others = otherNames_.find(m); others != otherNames_.end()) {
                for (const std::size_t i : others->second) {
                    toTrash(seen_[i], keptPath);
                }
            }
        }
    }

    // Plans `seen` for the Trash, if its drive's Trash takes it; with keepDuplicates, to stay.
    void toTrash(const Seen& seen, const std::string& keptPath) {
        if (seen.file == kInDestination) {
            return;  // a name of a destination's file: it stays
        }
        MergePlan::File& file = plan_.files_[seen.file];
        const std::string folder = plan_.folders_[file.folder].path;
        const std::string name(plan_.nameAt(seen.file));
        auto [trashable, known] = trashable_.try_emplace(file.folder, false);
        if (known) {
            Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            trashable->second = fd.get() >= 0 && canTrash(core::joinPath(folder, name));
            rules_[file.folder] = fd.get() >= 0 ? nameRuleAt(fd.get()) : NameRule{};
        }
        const bool keep = plan_.request_.keepDuplicates;
        if (!keep && (!trashable->second || !rules_[file.folder].fits(name + kTrashInfoSuffix))) {
            return;  // it moves, as it would have
        }
        --plan_.counts_[static_cast<std::size_t>(file.action)];
        file.action = keep ? MergeAction::LeaveDuplicate : MergeAction::TrashDuplicate;
        ++plan_.counts_[static_cast<std::size_t>(file.action)];
        plan_.contentDuplicates_.push_back(
            {seen.file, keptPath, seen.inode, seen.size, seen.modifiedAt, seen.changedAt});
    }

    MergePlan& plan_;
    const PlanControl& control_;
    std::vector<Seen> seen_;
    std::vector<std::string> destinationNames_;
    // A file's other names (hard links), by the index of the name that stands for it.
    std::map<std::size_t, std::vector<std::size_t>> otherNames_;
    std::map<std::uint32_t, bool> trashable_;  // by folder
    std::map<std::uint32_t, NameRule> rules_;
};

int findContentDuplicates(MergePlan& plan, const PlanControl& control) {
    DuplicateFinder finder(plan, control);
    return finder.run();
}

const MergePlan::ContentDuplicate* MergePlan::contentDuplicate(std::size_t i) const {
    const auto it =
        std::lower_bound(contentDuplicates_.begin(), contentDuplicates_.end(), i,
                         [](const ContentDuplicate& d, std::size_t file) { return d.file < file; });
    return it != contentDuplicates_.end() && it->file == i ? &*it : nullptr;
}

std::string_view MergePlan::keptCopyOf(std::size_t i) const {
    const ContentDuplicate* d = contentDuplicate(i);
    return d != nullptr ? std::string_view(d->keptCopy) : std::string_view();
}

}  // namespace fs
