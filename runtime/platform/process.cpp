// Child processes (see process.h).
#include "runtime/platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

extern char** environ;

namespace kel {

namespace {

// Children started without waiting, reaped at the next call so none stays a
// zombie for long.
std::vector<pid_t> g_unwaited;

void reap_finished() {
    std::erase_if(g_unwaited, [](pid_t pid) {
        int status;
        pid_t r = waitpid(pid, &status, WNOHANG);
        return r == pid || (r < 0 && errno == ECHILD);
    });
}

void close_fd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// Descriptors of one call, closed on every exit.
struct CallFds {
    int child[3] = {-1, -1, -1};   // ends given to the child
    int parent[3] = {-1, -1, -1};  // our ends of Memory pipes
    ~CallFds() {
        for (int i = 0; i < 3; i++) {
            close_fd(child[i]);
            close_fd(parent[i]);
        }
    }
};

// Prepares stream [i] (0 input, 1 output, 2 error). False when a file or a
// pipe cannot be opened.
bool prepare_stream(int i, const ProcessStream& s, CallFds& fds, posix_spawn_file_actions_t* fa) {
    switch (s.kind) {
    case ProcessStream::Inherit: return true;
    case ProcessStream::Null:
        return posix_spawn_file_actions_addopen(fa, i, "/dev/null", i == 0 ? O_RDONLY : O_WRONLY, 0) == 0;
    case ProcessStream::File: {
        int flags = i == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC;
        int fd;
        do fd = open(s.path.c_str(), flags | O_CLOEXEC, 0666);
        while (fd < 0 && errno == EINTR);
        if (fd < 0) return false;
        fds.child[i] = fd;
        return posix_spawn_file_actions_adddup2(fa, fd, i) == 0;
    }
    case ProcessStream::Memory: {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) return false;
        fds.child[i] = i == 0 ? p[0] : p[1];
        fds.parent[i] = i == 0 ? p[1] : p[0];
        fcntl(fds.parent[i], F_SETFL, fcntl(fds.parent[i], F_GETFL) | O_NONBLOCK);
        return posix_spawn_file_actions_adddup2(fa, fds.child[i], i) == 0;
    }
    }
    return false;
}

// Feeds the input and drains the outputs until every pipe is closed.
void pump(const ProcessRequest& req, CallFds& fds) {
    std::string_view input = req.input.kind == ProcessStream::Memory ? req.input.bytes : std::string_view();
    if (fds.parent[0] >= 0 && input.empty()) close_fd(fds.parent[0]);
    std::string* sinks[3] = {nullptr, req.output.captured, req.error.captured};
    static thread_local char chunk[65536];
    for (;;) {
        struct pollfd pfd[3];
        int which[3];
        nfds_t n = 0;
        for (int i = 0; i < 3; i++) {
            if (fds.parent[i] < 0) continue;
            pfd[n] = {fds.parent[i], static_cast<short>(i == 0 ? POLLOUT : POLLIN), 0};
            which[n++] = i;
        }
        if (n == 0) return;
        if (poll(pfd, n, -1) < 0) {
            if (errno == EINTR) continue;
            return;  // cannot happen with valid descriptors; give up on the pipes
        }
        for (nfds_t k = 0; k < n; k++) {
            if (!pfd[k].revents) continue;
            int i = which[k];
            if (i == 0) {
                ssize_t w = write(fds.parent[0], input.data(), input.size());
                if (w > 0) input.remove_prefix(static_cast<size_t>(w));
                if ((w < 0 && errno != EAGAIN && errno != EINTR) || input.empty()) close_fd(fds.parent[0]);
            } else {
                ssize_t r = read(fds.parent[i], chunk, sizeof chunk);
                if (r > 0) {
                    if (sinks[i] && sinks[i]->size() < req.capture_limit)
                        sinks[i]->append(chunk, std::min(static_cast<size_t>(r), req.capture_limit - sinks[i]->size()));
                } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
                    close_fd(fds.parent[i]);
                }
            }
        }
    }
}

// Blocks SIGPIPE in this thread for the duration of a call, so that writing
// to a child that stopped reading gives EPIPE instead of ending the process;
// a SIGPIPE raised meanwhile is consumed before the mask is restored.
class SigpipeBlock {
public:
    SigpipeBlock() {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, &old_);
        was_blocked_ = sigismember(&old_, SIGPIPE) == 1;
    }
    ~SigpipeBlock() {
        if (!was_blocked_) {
            sigset_t pipe, pending;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            struct timespec zero = {0, 0};
            while (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1)
                if (sigtimedwait(&pipe, nullptr, &zero) < 0 && errno != EINTR) break;
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    const sigset_t& old_mask() const { return old_; }

private:
    sigset_t old_;
    bool was_blocked_ = false;
};

int32_t exit_code(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

bool process_split_command(const std::string& s, std::vector<std::string>& words) {
    std::string cur;
    bool in_word = false;
    for (size_t i = 0; i < s.size(); i++) {
        char c = s[i];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (in_word) words.push_back(std::move(cur));
            cur.clear();
            in_word = false;
            continue;
        }
        in_word = true;
        if (c == '\\') {
            cur += i + 1 < s.size() ? s[++i] : '\\';
        } else if (c == '\'') {
            size_t end = s.find('\'', i + 1);
            if (end == std::string::npos) return false;
            cur.append(s, i + 1, end - i - 1);
            i = end;
        } else if (c == '"') {
            for (i++;; i++) {
                if (i >= s.size()) return false;
                if (s[i] == '"') break;
                if (s[i] == '\\' && i + 1 < s.size() && std::string_view("\"\\$`").find(s[i + 1]) != std::string_view::npos)
                    i++;
                cur += s[i];
            }
        } else {
            cur += c;
        }
    }
    if (in_word) words.push_back(std::move(cur));
    return true;
}

int32_t process_call(const ProcessRequest& req) {
    reap_finished();
    // The OS takes its arguments as C strings: a command holding NUL would
    // run cut short, as another command than the one asked for.
    if (req.command.find('\0') != std::string::npos) return -1;
    std::vector<std::string> words;
    if (req.shell) {
        words = {"/bin/sh", "-c", req.command};
    } else if (!process_split_command(req.command, words) || words.empty()) {
        return -1;
    }
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    bool wait = req.wait || req.input.kind == ProcessStream::Memory || req.output.kind == ProcessStream::Memory ||
                req.error.kind == ProcessStream::Memory;
    CallFds fds;
    posix_spawn_file_actions_t fa;
    if (posix_spawn_file_actions_init(&fa) != 0) return -1;
    bool ok = prepare_stream(0, req.input, fds, &fa) && prepare_stream(1, req.output, fds, &fa) &&
              prepare_stream(2, req.error, fds, &fa);
    SigpipeBlock sigpipe;
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &sigpipe.old_mask());
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    int rc = ok ? (req.shell ? posix_spawn(&pid, argv[0], &fa, &attr, argv.data(), environ)
                             : posix_spawnp(&pid, argv[0], &fa, &attr, argv.data(), environ))
                : -1;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    for (int& fd : fds.child) close_fd(fd);
    if (rc != 0) return -1;
    if (!wait) {
        g_unwaited.push_back(pid);
        return static_cast<int32_t>(pid);
    }
    pump(req, fds);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return exit_code(status);
}

}  // namespace kel
