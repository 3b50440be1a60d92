// Local files and directories (see files.h).
#include "runtime/platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>

namespace kel {

namespace {

// Closes a descriptor on every exit.
struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

// Opening a directory with O_RDONLY succeeds; refuse it where a file is meant.
// A terminal named here never becomes the process's controlling terminal.
int open_regular(const std::string& path, int flags, mode_t mode = 0) {
    int fd;
    do fd = open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY, mode);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

bool write_all(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

}  // namespace

bool files_path_is_dir(const std::string& path) {
    if (path.empty()) return false;
    char last = path.back();
    return last == '/' || last == '\\' || path == "." || path == "..";
}

FileInfo files_query(const std::string& path) {
    FileInfo info;
    struct stat st;
    if (path.empty() || stat(path.c_str(), &st) != 0) return info;
    info.kind = S_ISREG(st.st_mode) ? FileKind::File : S_ISDIR(st.st_mode) ? FileKind::Directory : FileKind::Other;
    info.size = S_ISDIR(st.st_mode) ? 0 : static_cast<int64_t>(st.st_size);
    info.modified_sec = static_cast<int64_t>(st.st_mtim.tv_sec);
    info.modified_nsec = static_cast<int32_t>(st.st_mtim.tv_nsec);
    return info;
}

int64_t files_size(const std::string& path) {
    // Non-blocking: opening a FIFO for reading would otherwise wait for a
    // writer, and asking for a size must not hang. Regular files ignore it.
    Fd f(open_regular(path, O_RDONLY | O_NONBLOCK));
    if (f.fd < 0) return -1;
    struct stat st;
    if (fstat(f.fd, &st) != 0 || st.st_size < 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

bool files_read(const std::string& path, std::vector<uint8_t>& out, int64_t offset, int64_t limit) {
    Fd f(open_regular(path, O_RDONLY));
    if (f.fd < 0) return false;
    if (offset > 0 && lseek(f.fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
        // Not seekable (a pipe): skip by reading.
        uint8_t skip[65536];
        int64_t left = offset;
        while (left > 0) {
            ssize_t n = read(f.fd, skip, static_cast<size_t>(std::min<int64_t>(left, sizeof skip)));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return n == 0;
            left -= n;
        }
    }
    struct stat st;
    size_t hint = fstat(f.fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
    size_t start = out.size();
    int64_t left = limit < 0 ? INT64_MAX : limit;
    out.reserve(start + static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(hint) + 1)));
    while (left > 0) {
        size_t room = out.capacity() - out.size();
        if (room < 4096) room = std::max<size_t>(65536, out.size() - start);
        size_t want = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(room)));
        size_t at = out.size();
        out.resize(at + want);
        ssize_t n = read(f.fd, out.data() + at, want);
        if (n < 0 && errno == EINTR) {
            out.resize(at);
            continue;
        }
        out.resize(at + (n > 0 ? static_cast<size_t>(n) : 0));
        if (n < 0) return false;
        if (n == 0) break;
        left -= n;
    }
    return true;
}

bool files_write(const std::string& path, const uint8_t* data, size_t n, bool append, int64_t offset) {
    int flags = O_WRONLY | O_CREAT;
    if (append) flags |= O_APPEND;
    else if (offset < 0) flags |= O_TRUNC;
    Fd f(open_regular(path, flags, 0666));
    if (f.fd < 0) return false;
    if (!append && offset >= 0 && lseek(f.fd, static_cast<off_t>(offset), SEEK_SET) < 0) return false;
    bool ok = write_all(f.fd, data, n);
    int rc = close(f.fd);
    f.fd = -1;
    return ok && rc == 0;
}

bool files_list_dir(const std::string& path, std::vector<std::string>& names) {
    DIR* d = opendir(path.empty() ? "." : path.c_str());
    if (!d) return false;
    std::string base = path.empty() ? "./" : path.back() == '/' ? path : path + "/";
    while (struct dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        bool dir = e->d_type == DT_DIR;
        if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
            struct stat st;
            dir = stat((base + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        if (dir) name += '/';
        names.push_back(std::move(name));
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return true;
}

bool files_delete(const std::string& path) {
    if (path.empty()) return false;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return false;
    return (S_ISDIR(st.st_mode) ? rmdir(path.c_str()) : unlink(path.c_str())) == 0;
}

// Never replaces an existing file or directory: a rename onto a taken name
// fails and both stay as they were. Where the file system cannot refuse the
// replacement itself, the name is checked first.
bool files_rename(const std::string& from, const std::string& to) {
    if (from.empty() || to.empty()) return false;
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    struct stat st;
    if (lstat(to.c_str(), &st) == 0 || errno != ENOENT) return false;
    return rename(from.c_str(), to.c_str()) == 0;
}

bool files_make_dir(const std::string& path) { return !path.empty() && mkdir(path.c_str(), 0777) == 0; }

std::string files_current_dir() {
    std::vector<char> buf(PATH_MAX);
    while (!getcwd(buf.data(), buf.size())) {
        if (errno != ERANGE || buf.size() > (1u << 20)) return "";
        buf.resize(buf.size() * 2);
    }
    std::string dir = buf.data();
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}

bool files_change_dir(const std::string& path) { return !path.empty() && chdir(path.c_str()) == 0; }

}  // namespace kel
