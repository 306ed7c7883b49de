#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "core/names.h"

namespace core {

// A growable list of file names, appended at the end and never sorted: the rename run's
// selection list and rename list. A name is either copied in or, where a table that stays
// unchanged holds it, referred to by its place in that table. Names that follow each other in
// their table are kept as one run of places, so that a list of a whole folder costs next to
// nothing beside the folder's own listing.
class WorkList {
public:
    void clear() {
        runs_.clear();
        runs_.shrink_to_fit();
        shared_.reset();
        own_.clear();
    }
    void append(std::string_view name, std::uint64_t inode = 0) {
        extend(true, own_.size());
        own_.add(name, inode);
    }
    // Appends entry `index` of `table` without copying it; the list keeps the table alive. A list
    // refers to one table: a name of another one is copied in.
    void appendShared(const std::shared_ptr<const NameTable>& table, std::size_t index) {
        if (!shared_ && table) {
            shared_ = table;
        }
        if (table != shared_) {
            append(table->name(index), table->inode(index));
            return;
        }
        extend(false, index);
    }
    // Appends name `i` of `other`, referred to where `other` refers to it.
    void appendFrom(const WorkList& other, std::int64_t i) {
        const std::int64_t index = other.sharedIndex(i);
        if (index >= 0) {
            appendShared(other.shared_, static_cast<std::size_t>(index));
        } else {
            append(other.at(i), other.inodeAt(i));
        }
    }
    std::int64_t count() const { return runs_.empty() ? 0 : runs_.back().end; }
    NameView at(std::int64_t i) const {
        const auto [table, index] = locate(i);
        return table->name(index);
    }
    // The inode number the listing gave for name `i`; 0 when unknown.
    std::uint64_t inodeAt(std::int64_t i) const {
        const auto [table, index] = locate(i);
        return table->inode(index);
    }
    // The table the list refers to, and the entry of it that name `i` is (-1: copied in).
    const std::shared_ptr<const NameTable>& sharedTable() const { return shared_; }
    std::int64_t sharedIndex(std::int64_t i) const {
        const auto [table, index] = locate(i);
        return table == &own_ ? -1 : static_cast<std::int64_t>(index);
    }

private:
    struct Run {
        std::int64_t end;   // the list's position after the run's last name
        std::size_t first;  // the first name's entry in its table
        bool own;           // own_, or shared_
    };
    std::vector<Run> runs_;
    std::shared_ptr<const NameTable> shared_;
    NameTable own_;

    void extend(bool own, std::size_t index) {
        const std::int64_t at = count();
        if (!runs_.empty()) {
            Run& last = runs_.back();
            const std::int64_t size = at - (runs_.size() > 1 ? runs_[runs_.size() - 2].end : 0);
            if (last.own == own && last.first + static_cast<std::size_t>(size) == index) {
                ++last.end;
                return;
            }
        }
        runs_.push_back({at + 1, index, own});
    }
    std::pair<const NameTable*, std::size_t> locate(std::int64_t i) const {
        const auto run = std::upper_bound(runs_.begin(), runs_.end(), i,
                                          [](std::int64_t at, const Run& r) { return at < r.end; });
        const std::int64_t start = run == runs_.begin() ? 0 : std::prev(run)->end;
        return {run->own ? &own_ : shared_.get(), run->first + static_cast<std::size_t>(i - start)};
    }
};

}  // namespace core
