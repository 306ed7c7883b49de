#include "core/names.h"

#include <algorithm>
#include <cstring>

namespace core {

namespace {

// Chunks grow from small (a folder of a few files costs little) to this, past which a chunk's
// unused end is a small share of the names.
constexpr std::size_t kFirstChunk = 4096;
constexpr std::size_t kLargestChunk = std::size_t{1} << 20;

}  // namespace

NameTable NameTable::sharingBytesOf(const NameTable& other) {
    NameTable table;
    table.chunks_ = other.chunks_;
    table.bases_ = other.bases_;
    table.used_ = other.used_;
    return table;
}

NameTable::Entry NameTable::store(std::string_view prefix, std::string_view name,
                                  std::uint64_t inode) {
    const std::size_t size = prefix.size() + name.size();
    const std::size_t needed = size + 1 + kSlack;
    if (!ownLast_ || chunks_.empty() || chunks_.back().capacity - used_ < needed) {
        const std::size_t last = chunks_.empty() ? 0 : chunks_.back().capacity;
        const std::size_t capacity =
            std::max(needed, std::clamp(last * 2, kFirstChunk, kLargestChunk));
        // Zeroed: the slack after the last name reads as zero.
        chunks_.push_back({std::shared_ptr<char[]>(new char[capacity]()), capacity});
        bases_.push_back(chunks_.back().bytes.get());
        used_ = 0;
        ownLast_ = true;
    }
    char* at = chunks_.back().bytes.get() + used_;
    if (!prefix.empty()) {
        std::memcpy(at, prefix.data(), prefix.size());
    }
    if (!name.empty()) {
        std::memcpy(at + prefix.size(), name.data(), name.size());
    }
    at[size] = '\0';
    const Entry entry{inode, static_cast<std::uint64_t>(chunks_.size() - 1) << 48 |
                                 static_cast<std::uint64_t>(used_) << 16 |
                                 static_cast<std::uint64_t>(size)};
    used_ += size + 1;
    return entry;
}

void NameTable::clear() {
    *this = NameTable();
}

void NameTable::dropUnusedChunks() {
    std::vector<bool> used(chunks_.size());
    for (const Entry& entry : entries_) {
        used[entry.place >> 48] = true;
    }
    for (std::size_t i = 0; i < chunks_.size(); ++i) {
        if (!used[i] && !(ownLast_ && i + 1 == chunks_.size())) {
            chunks_[i] = {};
            bases_[i] = nullptr;
        }
    }
}

}  // namespace core
