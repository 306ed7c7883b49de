#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace core {

// A growable list of file names, appended at the end and never sorted: the rename run's
// selection list and rename list. A name is either copied in or, where its owner keeps it alive
// and unchanged, referred to, so that a list of a million names need not copy them.
class WorkList {
public:
    void clear() {
        items_.clear();
        inodes_.clear();
        owned_.clear();
        owners_.clear();
    }
    void append(std::string item, std::uint64_t inode = 0) {
        owned_.push_back(std::move(item));
        items_.push_back(&owned_.back());
        inodes_.push_back(inode);
    }
    // Appends `item` without copying it; an owner given to keepAlive must keep it.
    void appendShared(const std::string& item, std::uint64_t inode = 0) {
        items_.push_back(&item);
        inodes_.push_back(inode);
    }
    // Keeps `owner` (and the names it holds) alive until the list is cleared.
    void keepAlive(std::shared_ptr<const void> owner) { owners_.push_back(std::move(owner)); }
    std::int64_t count() const { return static_cast<std::int64_t>(items_.size()); }
    const std::string& at(std::int64_t i) const { return *items_[static_cast<std::size_t>(i)]; }
    // The inode number the listing gave for name `i`; 0 when unknown.
    std::uint64_t inodeAt(std::int64_t i) const { return inodes_[static_cast<std::size_t>(i)]; }
    void reserve(std::int64_t n) {
        items_.reserve(static_cast<std::size_t>(n));
        inodes_.reserve(static_cast<std::size_t>(n));
    }

private:
    std::vector<const std::string*> items_;
    std::vector<std::uint64_t> inodes_;
    std::deque<std::string> owned_;  // a deque: its names never move as it grows
    std::vector<std::shared_ptr<const void>> owners_;
};

}  // namespace core
