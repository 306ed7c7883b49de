#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace core {

// A name held by a NameTable or a WorkList: a view of bytes that stay put. Code that keeps names
// as std::string still takes it as one, at the cost of a copy.
class NameView : public std::string_view {
public:
    NameView() = default;
    NameView(const char* data, std::size_t size) : std::string_view(data, size) {}
    operator std::string() const { return std::string(data(), size()); }
};

// Names stored once: their bytes in chunks that never move, each name followed by a NUL, and per
// name only where it lies and the inode number its listing gave (0: unknown). A folder of a
// million files thus costs its names' bytes and 16 bytes each, with no allocation per name.
// Tables may share chunks: a table made with sharingBytesOf() refers to the other's names by
// the same places and writes its own in chunks of its own. Once shared as const, a table is read
// from any thread.
class NameTable {
public:
    struct Entry {
        std::uint64_t inode = 0;
        // Chunk (16 bits), offset in it (32 bits), size (16 bits): a directory entry's record
        // length is 16 bits, so no name is longer.
        std::uint64_t place = 0;
    };

    NameTable() = default;
    NameTable(NameTable&&) noexcept = default;
    NameTable& operator=(NameTable&&) noexcept = default;
    NameTable(const NameTable&) = delete;
    NameTable& operator=(const NameTable&) = delete;

    // An empty table that can take entries of `other` as they are (addEntry) beside names of
    // its own.
    static NameTable sharingBytesOf(const NameTable& other);

    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    NameView name(std::size_t i) const { return nameOf(entries_[i]); }
    std::uint64_t inode(std::size_t i) const { return entries_[i].inode; }

    void add(std::string_view name, std::uint64_t inode) { addEntry(store({}, name, inode)); }
    // Stores the name `prefix` followed by `name` and returns its entry, for addEntry.
    Entry store(std::string_view prefix, std::string_view name, std::uint64_t inode);
    // Adds an entry stored here, or one of a table whose bytes this one shares.
    void addEntry(const Entry& entry) { entries_.push_back(entry); }
    void reserve(std::size_t entries) { entries_.reserve(entries); }
    void clear();
    // Lets go of the chunks shared with another table in which none of this one's names lie
    // (those renamed since), so that they are freed with the other table.
    void dropUnusedChunks();

    // The entries, in the table's order, which a sort may change.
    std::vector<Entry>& entries() { return entries_; }
    const std::vector<Entry>& entries() const { return entries_; }
    NameView nameOf(const Entry& entry) const {
        return {bases_[entry.place >> 48] + ((entry.place >> 16) & 0xffffffffU),
                static_cast<std::size_t>(entry.place & 0xffffU)};
    }

    // Bytes past each name's NUL that may be read (and are zero where no name lies): a reader
    // may load a whole word at the end of a name.
    static constexpr std::size_t kSlack = 8;

private:
    struct Chunk {
        std::shared_ptr<char[]> bytes;
        std::size_t capacity = 0;
    };
    std::vector<Chunk> chunks_;
    std::vector<const char*> bases_;  // chunks_[i].bytes, for a lookup without a reference count
    std::size_t used_ = 0;            // bytes written in the last chunk
    bool ownLast_ = false;            // the last chunk is this table's to write into
    std::vector<Entry> entries_;
};

}  // namespace core
