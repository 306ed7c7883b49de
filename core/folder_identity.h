#pragma once

#include <cstdint>

namespace core {

// What tells a folder from another that later takes its path (the first renamed away, a new one
// made under the old name): its device and inode numbers.
struct FolderIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FolderIdentity&) const = default;
};

}  // namespace core
