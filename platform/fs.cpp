#include "platform/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace platform {

namespace {

int sysRenameat2(int olddirfd, const char* oldpath, int newdirfd, const char* newpath,
                 unsigned int flags) {
    return ::renameat2(olddirfd, oldpath, newdirfd, newpath, flags);
}

int sysLinkat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, int flags) {
    return ::linkat(olddirfd, oldpath, newdirfd, newpath, flags);
}

int sysUnlinkat(int dirfd, const char* pathname, int flags) {
    return ::unlinkat(dirfd, pathname, flags);
}

constexpr std::array<unsigned char, 256> makeFoldTable() {
    std::array<unsigned char, 256> table{};
    for (int c = 0; c < 256; ++c) {
        table[c] = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return table;
}
constexpr std::array<unsigned char, 256> kFold = makeFoldTable();

class PosixFolder : public core::Folder {
public:
    explicit PosixFolder(int fd) : fd_(fd) {}
    ~PosixFolder() override { ::close(fd_); }
    PosixFolder(const PosixFolder&) = delete;
    PosixFolder& operator=(const PosixFolder&) = delete;

    core::RenameStatus Rename(const std::string& from, const std::string& to) override {
        return renameNoReplace(fd_, from, to);
    }
    int Sync() override { return syscalls().fsync(fd_) == 0 ? 0 : errno; }

private:
    int fd_;
};

}  // namespace

Syscalls defaultSyscalls() {
    return Syscalls{sysRenameat2, sysLinkat, sysUnlinkat, ::fsync};
}

Syscalls& syscalls() {
    static Syscalls calls = defaultSyscalls();
    return calls;
}

bool displayLess(const std::string& a, const std::string& b) {
    const auto* pa = reinterpret_cast<const unsigned char*>(a.data());
    const auto* pb = reinterpret_cast<const unsigned char*>(b.data());
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char fa = kFold[pa[i]];
        const unsigned char fb = kFold[pb[i]];
        if (fa != fb) {
            return fa < fb;
        }
    }
    if (a.size() != b.size()) {
        return a.size() < b.size();
    }
    return a < b;  // same letters ignoring case: a fixed order all the same
}

void sortForDisplay(std::vector<std::string>& names) {
    std::sort(names.begin(), names.end(), displayLess);
}

namespace {

// The names of `folder` (without "." and "..") for which `keep(fd, entry)` holds, in display
// order. `fd` is the folder's handle, for the few entries whose type must be looked up.
template <class Keep>
std::vector<std::string> readFolder(const std::string& folder, int& err, Keep keep) {
    err = 0;
    std::vector<std::string> names;
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
        return names;
    }
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        err = errno;
        ::close(fd);
        return names;
    }
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        const bool dots =
            name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
        if (!dots && keep(fd, *entry)) {
            names.emplace_back(name);
        }
        errno = 0;
    }
    if (errno != 0) {
        err = errno;
    }
    ::closedir(dir);
    sortForDisplay(names);
    return names;
}

bool isFolderAt(int fd, const char* name, int flags) {
    struct stat st {};
    return ::fstatat(fd, name, &st, flags) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::vector<std::string> listFiles(const std::string& folder, int& err) {
    // Only entries of unknown type cost a stat.
    return readFolder(folder, err, [](int fd, const dirent& entry) {
        return entry.d_type == DT_UNKNOWN ? !isFolderAt(fd, entry.d_name, AT_SYMLINK_NOFOLLOW)
                                          : entry.d_type != DT_DIR;
    });
}

std::vector<std::string> listFolders(const std::string& folder, int& err) {
    return readFolder(folder, err, [](int fd, const dirent& entry) {
        // A link counts by what it points to: it opens like the folder it names.
        if (entry.d_type == DT_UNKNOWN || entry.d_type == DT_LNK) {
            return isFolderAt(fd, entry.d_name, 0);
        }
        return entry.d_type == DT_DIR;
    });
}

std::string currentFolder() {
    std::vector<char> buffer(4096);
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) {
            return "/";
        }
        buffer.resize(buffer.size() * 2);
    }
    return normalizeFolder(buffer.data());
}

std::string normalizeFolder(const std::string& path) {
    std::string result;
    result.reserve(path.size());
    for (const char c : path) {
        if (c != '/' || result.empty() || result.back() != '/') {
            result.push_back(c);
        }
    }
    if (result.size() > 1 && result.back() == '/') {
        result.pop_back();
    }
    return result;
}

std::string folderErrorReason(int err) {
    switch (err) {
        case ENOENT:
            return "フォルダが見つかりません（削除または移動された可能性があります）";
        case ENOTDIR:
            return "フォルダではありません";
        case EACCES:
        case EPERM:
            return "アクセス権がありません";
        case EIO:
        case ENODEV:
        case ENXIO:
        case ENOMEDIUM:
        case ESTALE:
            return "ドライブの準備ができていません（取り外されたか、接続が切れています）";
        default:
            return errorReason(core::RenameStatus{err, false});
    }
}

core::RenameStatus renameNoReplace(int dirfd, const std::string& from, const std::string& to) {
    Syscalls& sys = syscalls();
    if (sys.renameat2(dirfd, from.c_str(), dirfd, to.c_str(), RENAME_NOREPLACE) == 0) {
        return {};
    }
    const int renameErr = errno;
    if (renameErr != EINVAL && renameErr != ENOSYS && renameErr != EOPNOTSUPP) {
        return {renameErr, false};
    }
    // The file system cannot refuse to replace. A hard link can: it fails if `to` exists.
    if (sys.linkat(dirfd, from.c_str(), dirfd, to.c_str(), 0) != 0) {
        const int linkErr = errno;
        const bool noLinks =
            linkErr == EPERM || linkErr == EOPNOTSUPP || linkErr == ENOSYS || linkErr == EINVAL;
        // Without links there is no rename that cannot overwrite: refuse rather than risk it.
        return {linkErr, noLinks};
    }
    if (sys.unlinkat(dirfd, from.c_str(), 0) != 0) {
        const int unlinkErr = errno;
        // Keep the file under its old name only: drop the link just made.
        sys.unlinkat(dirfd, to.c_str(), 0);
        return {unlinkErr, false};
    }
    return {};
}

long nameMax(const std::string& folder) {
    const long limit = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    return limit > 0 ? limit : 255;
}

std::string errorReason(const core::RenameStatus& status, std::size_t nameBytes, long nameLimit) {
    if (status.unsafe) {
        return "このドライブのファイルシステムでは、既存のファイルを上書きする危険なしに名前を"
               "変更できません";
    }
    if (status.folder) {
        // Nothing was renamed: the folder shown could not be opened any more.
        return folderErrorReason(status.err);
    }
    switch (status.err) {
        case EEXIST:
        case ENOTEMPTY:
            return "新しい名前のファイル（またはフォルダ）が既にあります";
        case EISDIR:
            return "新しい名前のフォルダが既にあります";
        case ENOENT:
            return "ファイルが見つかりません（削除または移動された可能性があります）";
        case EACCES:
            return "アクセス権がありません（このフォルダを変更する権限がありません）";
        case EPERM:
            return "この操作は許可されていません（保護されたファイルかフォルダです）";
        case EROFS:
            return "読み取り専用のドライブです";
        case ENAMETOOLONG:
            // Within the limit the name was not the cause: the whole path was too long.
            if (nameBytes > 0 && nameLimit > 0 && nameBytes > static_cast<std::size_t>(nameLimit)) {
                return "新しい名前が長すぎます（" + std::to_string(nameBytes) + " バイト、上限 " +
                       std::to_string(nameLimit) + " バイト）";
            }
            return "名前またはフォルダのパスが長すぎます";
        case ENOSPC:
            return "ディスクの空き容量が足りません";
        case EDQUOT:
            return "ディスク使用量の上限（クォータ）に達しました";
        case EBUSY:
        case ETXTBSY:
            return "ファイルが使用中です";
        case EIO:
            return "入出力エラーが発生しました（ドライブを確認してください）";
        case EUCLEAN:
            return "ドライブのファイルシステムが壊れています（ディスクの検査が必要です）";
        case ENOTDIR:
            return "フォルダが見つかりません";
        case ENODEV:
        case ENXIO:
        case ENOMEDIUM:
            return "ドライブの準備ができていません";
        case ESTALE:
        case ENOTCONN:
        case ETIMEDOUT:
        case EHOSTDOWN:
        case EHOSTUNREACH:
        case ENETDOWN:
        case ENETUNREACH:
        case ECONNABORTED:
        case ECONNRESET:
            return "ネットワーク上のドライブに接続できません（接続を確認してください）";
        case EXDEV:
            return "別のドライブには移動できません";
        case EMLINK:
            return "ファイルのリンク数が上限に達しています";
        case ELOOP:
            return "シンボリックリンクの階層が深すぎます";
        case EINVAL:
            return "この名前は使えません（このドライブで使えない文字が含まれている可能性があります"
                   "）";
        case EOPNOTSUPP:
        case ENOSYS:
            return "このドライブでは名前を変更できません";
        case ENOKEY:
            return "暗号化されたフォルダの鍵が読み込まれていません";
        case ENOMEM:
            return "メモリが足りません";
        case EMFILE:
        case ENFILE:
            return "開いているファイルが多すぎます";
        case EINTR:
        case EAGAIN:
            return "処理が中断されました（もう一度やり直してください）";
        case EBADF:
        case EFAULT:
            return "プログラム内部のエラーです";
        default:
            return std::string("予期しないエラーです（") + std::strerror(status.err) + "）";
    }
}

std::string ownExecutableName() {
    char buffer[4096];
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) {
        return {};
    }
    const std::string path(buffer, static_cast<std::size_t>(length));
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::unique_ptr<core::Folder> PosixFileSystem::Open(const std::string& path, int& err) {
    err = 0;
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
        return nullptr;
    }
    return std::make_unique<PosixFolder>(fd);
}

}  // namespace platform
