#include "fs/journal/format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>

#include "fs/fd.h"
#include "fs/syscalls.h"

namespace fs {

namespace journal_format {

namespace {

// The first `n` (at most 8) bytes at `at` as a little-endian number, read at once.
std::uint64_t wordAt(const char* at, std::size_t n) {
    std::uint64_t word = 0;
    std::memcpy(&word, at, n);
    if constexpr (std::endian::native == std::endian::big) {
        word = __builtin_bswap64(word) >> ((64 - 8 * n) % 64);
    }
    return word;
}

// The checksum of files of version 3: 64-bit FNV-1a.
std::uint64_t wholePlanChecksum(std::string_view bytes) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (const char c : bytes) {
        h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    }
    return h;
}

}  // namespace

void putU32(std::string& out, std::uint32_t v) {
    char bytes[4];
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<char>(v >> (8 * i));
    }
    out.append(bytes, sizeof bytes);
}

void putU64(std::string& out, std::uint64_t v) {
    char bytes[8];
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<char>(v >> (8 * i));
    }
    out.append(bytes, sizeof bytes);
}

void putBytes(std::string& out, std::string_view bytes) {
    putU32(out, static_cast<std::uint32_t>(bytes.size()));
    out += bytes;
}

void putId(std::string& out, FileId id) {
    putU64(out, id.device);
    putU64(out, id.inode);
}

void setU32(std::string& out, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out[at + static_cast<std::size_t>(i)] = static_cast<char>(v >> (8 * i));
    }
}

std::uint64_t getLE(const char* at, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        v = (v << 8) | static_cast<unsigned char>(at[i]);
    }
    return v;
}

Checksum checksumOf(std::uint32_t version) {
    return version == kWholePlanVersion ? wholePlanChecksum : journalChecksum;
}

std::int64_t nowNs() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

bool validName(std::string_view name) {
    return !name.empty() && name.size() <= kMaxNameBytes && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

bool validFolder(std::string_view path) {
    return !path.empty() && path.front() == '/' && path.size() <= kMaxPathBytes &&
           path.find('\0') == std::string_view::npos;
}

std::string framed(std::uint32_t type, std::string_view payload, Checksum checksum) {
    std::string out;
    out.reserve(payload.size() + kRecordFrame);
    putU32(out, type);
    putU32(out, static_cast<std::uint32_t>(payload.size()));
    // A length damaged in the middle of the file is told from a record a kill cut short.
    putU32(out, static_cast<std::uint32_t>(checksum(out)));
    out += payload;
    putU64(out, checksum(out));
    return out;
}

int writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

int preadAll(int fd, char* data, std::size_t size, long offset) {
    while (size > 0) {
        const ssize_t n = ::pread(fd, data, size, offset);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            return EIO;  // shorter than fstat said: changed under us
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return 0;
}

int appendTo(const std::string& path, std::uint32_t type, const std::string& payload) {
    if (const int err = cutTornTail(path); err != 0) {
        return err;
    }
    Fd fd(::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0) {
        return errno;
    }
    // Checked as the file's own version checks its records.
    char head[12] = {};
    if (const int err = preadAll(fd.get(), head, sizeof head, 0); err != 0) {
        return err;
    }
    const std::string record =
        framed(type, payload, checksumOf(static_cast<std::uint32_t>(getLE(head + 8, 4))));
    int err = writeAll(fd.get(), record.data(), record.size());
    if (err == 0 && syscalls().fsync(fd.get()) != 0) {
        err = errno;
    }
    return err;
}

bool Parser::u8(std::uint8_t& v) {
    if (left() < 1) {
        return false;
    }
    v = static_cast<std::uint8_t>(data_[pos_]);
    pos_ += 1;
    return true;
}

bool Parser::u32(std::uint32_t& v) {
    if (left() < 4) {
        return false;
    }
    v = static_cast<std::uint32_t>(getLE(data_.data() + pos_, 4));
    pos_ += 4;
    return true;
}

bool Parser::u64(std::uint64_t& v) {
    if (left() < 8) {
        return false;
    }
    v = getLE(data_.data() + pos_, 8);
    pos_ += 8;
    return true;
}

bool Parser::i64(std::int64_t& v) {
    std::uint64_t u = 0;
    const bool ok = u64(u);
    v = static_cast<std::int64_t>(u);
    return ok;
}

bool Parser::bytes(std::string& out, std::size_t maxBytes) {
    std::uint32_t n = 0;
    if (!u32(n) || n > maxBytes || n > left()) {
        return false;
    }
    out.assign(data_.data() + pos_, n);
    pos_ += n;
    return true;
}

}  // namespace journal_format

std::uint64_t journalChecksum(std::string_view bytes) {
    // Eight bytes at a time, each mixed in by multiplications that lose nothing: a changed word
    // always changes the sum, at a fraction of the cost of a byte at a time.
    constexpr std::uint64_t kMixIn = 0x9e3779b97f4a7c15ULL;
    constexpr std::uint64_t kStep = 0xbf58476d1ce4e5b9ULL;
    std::uint64_t h = 0x243f6a8885a308d3ULL ^ (bytes.size() * kMixIn);
    const auto step = [&h](std::uint64_t word) {
        h ^= word * kMixIn;
        h = ((h << 27) | (h >> 37)) * kStep;
    };
    std::size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        step(journal_format::wordAt(bytes.data() + i, 8));
    }
    step(journal_format::wordAt(bytes.data() + i, bytes.size() - i));
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    return h;
}

}  // namespace fs
