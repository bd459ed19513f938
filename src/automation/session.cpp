#include "automation/session.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <optional>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace automation {
namespace {

constexpr std::array<int, 3> kForwarded = {SIGTERM, SIGINT, SIGHUP};

// The write end of the pipe the handlers wake the waiting loop through.
volatile int gWake = -1;

void OnSignal(int sig) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(gWake, &byte, 1);
    errno = saved;
}

struct ProcessEntry {
    pid_t Pid = 0;
    pid_t Parent = 0;
    char State = '?';
    std::string Name; // comm
};

std::optional<ProcessEntry> ReadStat(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    char buffer[512];
    const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    if (n <= 0)
        return std::nullopt;
    const std::string_view text(buffer, static_cast<std::size_t>(n));
    // "pid (comm) S ppid ...": the name may hold ')' itself.
    const std::size_t open = text.find('(');
    const std::size_t close = text.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open ||
        close + 4 > text.size())
        return std::nullopt;
    ProcessEntry e;
    e.Pid = pid;
    e.Name = std::string(text.substr(open + 1, close - open - 1));
    e.State = text[close + 2];
    e.Parent = static_cast<pid_t>(std::atoi(std::string(text.substr(close + 4, 16)).c_str()));
    return e;
}

// Every process below `root`, the ended ones (zombies) left out.
std::vector<ProcessEntry> Descendants(pid_t root) {
    std::multimap<pid_t, ProcessEntry> byParent;
    if (DIR* d = ::opendir("/proc")) {
        while (const dirent* e = ::readdir(d)) {
            char* end = nullptr;
            const long pid = std::strtol(e->d_name, &end, 10);
            if (pid <= 0 || *end != '\0')
                continue;
            if (auto entry = ReadStat(static_cast<pid_t>(pid)))
                byParent.emplace(entry->Parent, std::move(*entry));
        }
        ::closedir(d);
    }
    std::vector<ProcessEntry> found;
    std::vector<pid_t> todo{root};
    while (!todo.empty()) {
        const pid_t parent = todo.back();
        todo.pop_back();
        const auto [first, last] = byParent.equal_range(parent);
        for (auto it = first; it != last; ++it) {
            todo.push_back(it->second.Pid);
            if (it->second.State != 'Z')
                found.push_back(it->second);
        }
    }
    return found;
}

bool IsWineServer(const ProcessEntry& e) {
    if (IsWineServerName(e.Name))
        return true;
    char link[64];
    std::snprintf(link, sizeof link, "/proc/%d/exe", e.Pid);
    char target[4096];
    const ssize_t n = ::readlink(link, target, sizeof target - 1);
    if (n <= 0)
        return false;
    const std::string exe(target, static_cast<std::size_t>(n));
    return IsWineServerName(exe.substr(exe.rfind('/') + 1));
}

int StatusOf(int wstatus) {
    if (WIFSIGNALED(wstatus))
        return 128 + WTERMSIG(wstatus);
    return WEXITSTATUS(wstatus);
}

// The signal handling of the calling process while a session runs, undone
// when it ends.
class SignalScope {
public:
    SignalScope(int wakeFd) {
        gWake = wakeFd;
        struct sigaction sa = {};
        sa.sa_handler = OnSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        for (std::size_t i = 0; i < kForwarded.size(); ++i)
            ::sigaction(kForwarded[i], &sa, &old_[i]);
        sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
        ::sigaction(SIGCHLD, &sa, &oldChild_);
        sigset_t ours;
        sigemptyset(&ours);
        for (int sig : kForwarded)
            sigaddset(&ours, sig);
        sigaddset(&ours, SIGCHLD);
        ::pthread_sigmask(SIG_UNBLOCK, &ours, &oldMask_);
    }
    ~SignalScope() {
        for (std::size_t i = 0; i < kForwarded.size(); ++i)
            ::sigaction(kForwarded[i], &old_[i], nullptr);
        ::sigaction(SIGCHLD, &oldChild_, nullptr);
        ::pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
        gWake = -1;
    }
    SignalScope(const SignalScope&) = delete;
    SignalScope& operator=(const SignalScope&) = delete;

    // In the child before its exec: the dispositions and mask this process
    // had (an ignored SIGHUP stays ignored, as the caller meant).
    void RestoreInChild() const {
        for (std::size_t i = 0; i < kForwarded.size(); ++i)
            ::sigaction(kForwarded[i], &old_[i], nullptr);
        ::sigaction(SIGCHLD, &oldChild_, nullptr);
        ::pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
    }

private:
    std::array<struct sigaction, kForwarded.size()> old_{};
    struct sigaction oldChild_ = {};
    sigset_t oldMask_{};
};

struct Pipe {
    int Read = -1;
    int Write = -1;
    explicit Pipe(int flags) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | flags) == 0) {
            Read = fds[0];
            Write = fds[1];
        }
    }
    ~Pipe() {
        CloseWrite();
        if (Read >= 0)
            ::close(Read);
    }
    void CloseWrite() {
        if (Write >= 0)
            ::close(Write);
        Write = -1;
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
};

// Starts argv; the errno of a failed exec comes back through a close-on-exec
// pipe, which an exec that succeeds closes without a word. Unlike rclone or
// the archiver, the game is not killed when this process is: a wrapper
// killed (by the OOM killer, or by a player who wants no backup now) must
// not take an unsaved game with it, and the backup it missed is made by the
// next run.
pid_t Start(const std::vector<std::string>& argv, const SignalScope& signals, int& execError) {
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    Pipe report(0);
    if (report.Read < 0) {
        execError = errno;
        return -1;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        execError = errno;
        return -1;
    }
    if (pid == 0) {
        signals.RestoreInChild();
        ::execvp(args[0], args.data());
        const int err = errno;
        [[maybe_unused]] const ssize_t n = ::write(report.Write, &err, sizeof err);
        ::_exit(127);
    }
    report.CloseWrite();
    int err = 0;
    ssize_t n;
    do
        n = ::read(report.Read, &err, sizeof err);
    while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(sizeof err)) {
        int status;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        execError = err;
        return -1;
    }
    return pid;
}

// What a command that could not be started ends with, as a shell tells it:
// missing in every place looked, or there but not to be run.
SessionResult NotStarted(const std::string& program, int err) {
    SessionResult result;
    const bool missing = err == ENOENT || err == ENOTDIR;
    result.ExitStatus = missing ? 127 : 126;
    result.Error = missing && program.find('/') == std::string::npos ? "command not found"
                                                                     : std::strerror(err);
    return result;
}

// Passes each signal that woke the wait (read from `wakeFd`) on to the
// command and every process below this one; SIGCHLD only tells that one
// ended, so the looks again start over.
void PassOnSignals(int wakeFd, pid_t child, bool childRunning, SessionResult& result,
                   std::size_t& lookedAgain) {
    unsigned char bytes[64];
    ssize_t n;
    while ((n = ::read(wakeFd, bytes, sizeof bytes)) > 0)
        for (ssize_t i = 0; i < n; ++i) {
            if (bytes[i] == SIGCHLD) {
                lookedAgain = 0;
                continue;
            }
            result.ForwardedSignal = bytes[i];
            // The launcher's group may have had it too; a second one
            // does no harm, and one started through a script that died of
            // it would otherwise never hear of it.
            if (childRunning)
                ::kill(child, bytes[i]);
            for (const ProcessEntry& e : Descendants(::getpid()))
                if (e.Pid != child)
                    ::kill(e.Pid, bytes[i]);
        }
}

} // namespace

bool IsWineServerName(const std::string& name) {
    return name.rfind("wineserver", 0) == 0;
}

SessionResult RunSession(const std::vector<std::string>& argv, const SessionOptions& options) {
    if (argv.empty() || argv[0].empty())
        return NotStarted({}, ENOENT);
    Pipe wake(O_NONBLOCK);
    if (wake.Read < 0)
        return NotStarted(argv[0], errno);

    int wasSubreaper = 0;
    ::prctl(PR_GET_CHILD_SUBREAPER, &wasSubreaper);
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    SignalScope signals(wake.Write);

    int execError = 0;
    const pid_t child = Start(argv, signals, execError);
    if (child < 0) {
        ::prctl(PR_SET_CHILD_SUBREAPER, wasSubreaper);
        return NotStarted(argv[0], execError);
    }
    SessionResult result;
    result.Started = true;

    const pid_t self = ::getpid();
    bool childRunning = true;
    bool inGrace = false; // only Wine servers left since graceEnd - grace
    std::chrono::steady_clock::time_point graceEnd;
    // A process forked a moment ago may not have become the Wine server it
    // is about to be: after each change, look again a few times before
    // waiting for the next one.
    constexpr int kLookAgainMs[] = {50, 250, 1000};
    std::size_t lookedAgain = 0;
    for (;;) {
        int status = 0;
        pid_t pid;
        while ((pid = ::waitpid(-1, &status, WNOHANG)) > 0)
            if (pid == child) {
                result.ExitStatus = StatusOf(status);
                childRunning = false;
            }
        if (pid < 0 && errno == ECHILD)
            break;

        int timeout = -1;
        const std::vector<ProcessEntry> left = Descendants(self);
        const bool onlyServers = !childRunning && !left.empty() &&
                                 std::all_of(left.begin(), left.end(),
                                             [](const ProcessEntry& e) { return IsWineServer(e); });
        if (onlyServers) {
            const auto now = std::chrono::steady_clock::now();
            if (!inGrace)
                graceEnd = now + options.WineServerGrace;
            inGrace = true;
            if (now >= graceEnd) {
                for (const ProcessEntry& e : left)
                    result.LeftRunning.push_back(e.Pid);
                break;
            }
            timeout = static_cast<int>(
                std::chrono::ceil<std::chrono::milliseconds>(graceEnd - now).count());
        } else {
            inGrace = false;
            if (!childRunning && lookedAgain < std::size(kLookAgainMs))
                timeout = kLookAgainMs[lookedAgain++];
        }

        pollfd pfd = {wake.Read, POLLIN, 0};
        if (::poll(&pfd, 1, timeout) < 0 && errno != EINTR)
            break;
        PassOnSignals(wake.Read, child, childRunning, result, lookedAgain);
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, wasSubreaper);
    return result;
}

} // namespace automation
