#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace core {

// A growable list of file names, appended at the end and never sorted: the rename run's
// selection list and rename list.
class WorkList {
public:
    void clear() { items_.clear(); }
    void append(std::string item) { items_.push_back(std::move(item)); }
    std::int64_t count() const { return static_cast<std::int64_t>(items_.size()); }
    const std::string& at(std::int64_t i) const { return items_[static_cast<std::size_t>(i)]; }
    void reserve(std::int64_t n) { items_.reserve(static_cast<std::size_t>(n)); }

private:
    std::vector<std::string> items_;
};

}  // namespace core
