#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace fs {

// A file's identity on this machine: the same file under any of its names.
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileId&) const = default;
};

// The identity of `name` inside the folder `dirfd`, without following a symbolic link (a link is
// renamed as itself). `fileIdAt(fd, ".")` is the folder's own identity. Empty when the name cannot
// be looked up; errno tells why.
std::optional<FileId> fileIdAt(int dirfd, const std::string& name);

}  // namespace fs
