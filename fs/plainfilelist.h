#pragma once

// A file list without any window: the folder's files, with a selection. Drives the rename run in
// the safety suite's kill helper, the tests and the benchmarks.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "core/rename_run.h"
#include "fs/listing.h"

namespace fs {

class PlainFileList : public core::FileList {
public:
    explicit PlainFileList(std::string path) : path_(std::move(path)) { refresh(); }

    const std::string& path() const override { return path_; }
    std::int64_t count() const override { return static_cast<std::int64_t>(names_.size()); }
    const std::string& at(std::int64_t i) const override {
        return names_[static_cast<std::size_t>(i)];
    }
    std::vector<core::SelectionRange> selectedRanges() const override {
        std::vector<core::SelectionRange> ranges;
        for (std::size_t i = 0; i < selected_.size(); ++i) {
            if (!selected_[i]) {
                continue;
            }
            const auto at = static_cast<std::int64_t>(i);
            if (!ranges.empty() && ranges.back().last == at - 1) {
                ranges.back().last = at;
            } else {
                ranges.push_back({at, at});
            }
        }
        return ranges;
    }
    std::uint64_t inodeAt(std::int64_t i) const override {
        return static_cast<std::size_t>(i) < inodes_.size() ? inodes_[static_cast<std::size_t>(i)]
                                                            : 0;
    }
    void refresh() override {
        // With each name's inode number, which the run's journal takes instead of a second pass.
        std::vector<FileEntry> entries;
        const std::atomic<bool> never{false};
        error_ = readFiles(path_, std::size_t{1} << 16, std::size_t{1} << 16, never,
                           [&entries](std::vector<FileEntry>&& chunk) {
                               entries.insert(entries.end(), std::make_move_iterator(chunk.begin()),
                                              std::make_move_iterator(chunk.end()));
                           });
        if (error_ != 0) {
            entries.clear();
        }
        std::sort(entries.begin(), entries.end(), [](const FileEntry& a, const FileEntry& b) {
            return displayLess(a.name, b.name);
        });
        names_.clear();
        inodes_.clear();
        names_.reserve(entries.size());
        inodes_.reserve(entries.size());
        for (FileEntry& entry : entries) {
            names_.push_back(std::move(entry.name));
            inodes_.push_back(entry.inode);
        }
        selected_.assign(names_.size(), false);
        ++refreshes_;
    }

    // Lists a fixed set of names instead of the folder's (as a stale listing would).
    void setNames(std::vector<std::string> names) {
        names_ = std::move(names);
        inodes_.clear();
        selected_.assign(names_.size(), false);
    }
    void selectAll() { selected_.assign(names_.size(), true); }
    void selectWhere(const std::function<bool(const std::string&)>& wanted) {
        for (std::size_t i = 0; i < names_.size(); ++i) {
            selected_[i] = wanted(names_[i]);
        }
    }
    int error() const { return error_; }
    int refreshes() const { return refreshes_; }

private:
    std::string path_;
    std::vector<std::string> names_;
    std::vector<std::uint64_t> inodes_;
    std::vector<bool> selected_;
    int error_ = 0;
    int refreshes_ = 0;
};

}  // namespace fs
