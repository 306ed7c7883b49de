#pragma once

// A file list without any window: the folder's files, with a selection. Drives the rename run in
// the safety suite's kill helper, the tests and the benchmarks.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/names.h"
#include "core/rename_run.h"
#include "fs/listing.h"

namespace fs {

class PlainFileList : public core::FileList {
public:
    explicit PlainFileList(std::string path) : path_(std::move(path)) { refresh(); }

    const std::string& path() const override { return path_; }
    std::int64_t count() const override { return static_cast<std::int64_t>(table_->size()); }
    std::string_view at(std::int64_t i) const override {
        return table_->name(static_cast<std::size_t>(i));
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
        return table_->inode(static_cast<std::size_t>(i));
    }
    std::shared_ptr<const core::NameTable> names() const override { return table_; }
    void refresh() override {
        // With each name's inode number, which the run's journal takes instead of a second pass.
        auto table = std::make_shared<core::NameTable>();
        const std::atomic<bool> never{false};
        error_ = readFiles(path_, *table, std::size_t{1} << 16, std::size_t{1} << 16, never,
                           [](std::size_t) {});
        if (error_ != 0) {
            table->clear();
        }
        sortForDisplay(*table);
        table_ = std::move(table);
        selected_.assign(table_->size(), false);
        ++refreshes_;
    }

    // Lists a fixed set of names instead of the folder's (as a stale listing would).
    void setNames(const std::vector<std::string>& names) {
        auto table = std::make_shared<core::NameTable>();
        for (const std::string& name : names) {
            table->add(name, 0);
        }
        table_ = std::move(table);
        selected_.assign(table_->size(), false);
    }
    void selectAll() { selected_.assign(table_->size(), true); }
    void selectWhere(const std::function<bool(const std::string&)>& wanted) {
        for (std::size_t i = 0; i < table_->size(); ++i) {
            selected_[i] = wanted(table_->name(i));
        }
    }
    int error() const { return error_; }
    int refreshes() const { return refreshes_; }

private:
    std::string path_;
    std::shared_ptr<const core::NameTable> table_;
    std::vector<bool> selected_;
    int error_ = 0;
    int refreshes_ = 0;
};

}  // namespace fs
