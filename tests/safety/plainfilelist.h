#pragma once

// A file list without any window: the folder's files from platform::listFiles, with a selection
// kept as ranges. Lets the rename run be driven from plain C++ (the kill helper has no Qt).

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/rename_run.h"
#include "platform/fs.h"

namespace safety {

class PlainFileList : public core::FileList {
public:
    explicit PlainFileList(std::string path) : path_(std::move(path)) { Refresh(); }

    const std::string& Path() const override { return path_; }
    std::int64_t ListCount() const override { return static_cast<std::int64_t>(names_.size()); }
    const std::string& List(std::int64_t i) const override {
        return names_[static_cast<std::size_t>(i)];
    }
    std::vector<core::SelectionRange> SelectedRanges() const override {
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
    void Refresh() override {
        names_ = platform::listFiles(path_, error_);
        selected_.assign(names_.size(), false);
        ++refreshes_;
    }

    // Lists a fixed set of names instead of the folder's (as a stale listing would).
    void SetNames(std::vector<std::string> names) {
        names_ = std::move(names);
        selected_.assign(names_.size(), false);
    }
    void SelectAll() { selected_.assign(names_.size(), true); }
    void SelectWhere(const std::function<bool(const std::string&)>& wanted) {
        for (std::size_t i = 0; i < names_.size(); ++i) {
            selected_[i] = wanted(names_[i]);
        }
    }
    int error() const { return error_; }
    int refreshes() const { return refreshes_; }

private:
    std::string path_;
    std::vector<std::string> names_;
    std::vector<bool> selected_;
    int error_ = 0;
    int refreshes_ = 0;
};

}  // namespace safety
