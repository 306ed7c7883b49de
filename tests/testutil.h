#pragma once

// Helpers for tests on real files: names are raw bytes, written and read with system calls.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace std {
// Lets QCOMPARE print native names, escaped where they are not printable.
inline char* toString(const std::string& s) {
    return QTest::toPrettyCString(s.data(), static_cast<qsizetype>(s.size()));
}
}  // namespace std

namespace testutil {

// The answer to a question that is neither its default nor its Esc button: with the questions
// about hidden names, "rename them too".
inline int otherAnswer(int buttons, int defaultButton, int escapeButton) {
    int other = 0;
    while (other == defaultButton || other == escapeButton) {
        ++other;
    }
    return other < buttons ? other : escapeButton;
}

inline bool makeFile(const std::string& folder, const std::string& name,
                     const std::string& content = {}) {
    const int fd = ::open((folder + "/" + name).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) {
        return false;
    }
    const bool ok =
        ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    ::close(fd);
    return ok;
}

inline std::string readFile(const std::string& path) {
    std::string content;
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        return "<missing>";
    }
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
        content.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return content;
}

inline bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// Every entry of a folder except "." and "..", in byte order.
inline std::vector<std::string> entries(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Name to content of every regular file in a folder: what must never be lost.
inline std::map<std::string, std::string> contents(const std::string& folder) {
    std::map<std::string, std::string> result;
    for (const std::string& name : entries(folder)) {
        result[name] = readFile(folder + "/" + name);
    }
    return result;
}

// A tree as lines below `root`: "dir/" a folder, "name@target" a symbolic link, "name|" a named
// pipe, "name:content" a file, in the order given.
inline void makeTree(const std::string& root, const std::vector<std::string>& tree) {
    for (const std::string& line : tree) {
        const std::string path = root + "/" + line;
        if (line.back() == '/') {
            QVERIFY2(::mkdir(path.c_str(), 0755) == 0, path.c_str());
        } else if (const auto at = line.find('@'); at != std::string::npos) {
            QVERIFY2(::symlink(line.substr(at + 1).c_str(),
                               (root + "/" + line.substr(0, at)).c_str()) == 0,
                     path.c_str());
        } else if (line.back() == '|') {
            QVERIFY2(::mkfifo(path.substr(0, path.size() - 1).c_str(), 0644) == 0, path.c_str());
        } else {
            const auto colon = line.find(':');
            QVERIFY2(makeFile(root, line.substr(0, colon), line.substr(colon + 1)), path.c_str());
        }
    }
}

// The tree below `root` in makeTree's form, in byte order, links not followed.
inline void readTree(const std::string& root, const std::string& prefix,
                     std::vector<std::string>& out) {
    for (const std::string& name : entries(root + "/" + prefix)) {
        const std::string relative = prefix + name;
        const std::string path = root + "/" + relative;
        struct stat st {};
        ::lstat(path.c_str(), &st);
        if (S_ISDIR(st.st_mode)) {
            out.push_back(relative + "/");
            readTree(root, relative + "/", out);
        } else if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
            out.push_back(relative + "@" + std::string(target, n > 0 ? std::size_t(n) : 0));
        } else if (S_ISFIFO(st.st_mode)) {
            out.push_back(relative + "|");
        } else {
            out.push_back(relative + ":" + readFile(path));
        }
    }
}
// ... sorted as strings, as expected trees are written.
inline std::vector<std::string> readTree(const std::string& root) {
    std::vector<std::string> out;
    readTree(root, "", out);
    std::sort(out.begin(), out.end());
    return out;
}

// Removes a folder and everything in it by raw names. QTemporaryDir cannot do that when a name
// is not valid UTF-8: QDir does not even list such names.
inline bool removeTree(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return errno == ENOENT;
    }
    if (!S_ISDIR(st.st_mode)) {
        return ::unlink(path.c_str()) == 0;
    }
    ::chmod(path.c_str(), 0700);
    bool ok = true;
    for (const std::string& name : entries(path)) {
        ok = removeTree(path + "/" + name) && ok;
    }
    return ::rmdir(path.c_str()) == 0 && ok;
}

// A temporary folder removed with everything in it, by bytes: QTemporaryDir cannot remove names
// that are not valid UTF-8.
// Waits until the clock that stamps files has passed this moment: a file made after this call
// is stamped later than anything that read the clock before it, whatever that clock's tick.
inline bool waitPastClockTick() {
    timespec now{}, stamp{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    for (int i = 0; i < 1000; ++i) {
        ::clock_gettime(CLOCK_REALTIME_COARSE, &stamp);
        if (stamp.tv_sec > now.tv_sec ||
            (stamp.tv_sec == now.tv_sec && stamp.tv_nsec > now.tv_nsec)) {
            return true;
        }
        QTest::qSleep(1);
    }
    return false;
}

class TempFolder {
public:
    // In `parent`, or else in $TMPDIR or /tmp.
    explicit TempFolder(const char* parent = nullptr) {
        const char* tmp = std::getenv("TMPDIR");
        std::string base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
        if (parent != nullptr && ::access(parent, W_OK) == 0) {
            base = parent;
        }
        path_ = base + "/kovra-test-XXXXXX";
        if (::mkdtemp(path_.data()) == nullptr) {
            path_.clear();
        }
    }
    ~TempFolder() {
        if (!path_.empty()) {
            removeTree(path_);
        }
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    bool isValid() const { return !path_.empty(); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace testutil
