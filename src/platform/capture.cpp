#include "platform/capture.h"

#include "platform/internal.h"
#include "platform/last_error.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace platform {

namespace {

struct Pipe {
    int Read = -1;
    int Write = -1;
    ~Pipe() { Close(); }
    void Close() {
        if (Read >= 0)
            ::close(Read);
        if (Write >= 0)
            ::close(Write);
        Read = Write = -1;
    }
    bool Open() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return false;
        Read = fds[0];
        Write = fds[1];
        return true;
    }
};

// Kills a child whose output shows no progress for the limit.
class Watchdog {
public:
    Watchdog(const StallLimit& stall, pid_t pid, CapturedRun& run)
        : stall_(stall), pid_(pid), run_(run), on_(stall.Limit.count() > 0 && stall.Progress) {
        if (on_)
            mark_ = stall_.Progress(run_);
    }
    // How long poll may wait (ms, -1 without end); kills the child once its time is up.
    int Wait() {
        if (!on_ || run_.Stalled)
            return -1;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            stall_.Limit - (std::chrono::steady_clock::now() - moved_));
        if (left.count() > 0)
            return static_cast<int>(left.count());
        ::kill(pid_, SIGKILL);
        run_.Stalled = true;
        return -1;
    }
    void Read() {
        if (!on_ || run_.Stalled)
            return;
        std::string mark = stall_.Progress(run_);
        if (mark != mark_) {
            mark_ = std::move(mark);
            moved_ = std::chrono::steady_clock::now();
        }
    }

private:
    const StallLimit& stall_;
    const pid_t pid_;
    CapturedRun& run_;
    const bool on_;
    std::string mark_;
    std::chrono::steady_clock::time_point moved_ = std::chrono::steady_clock::now();
};

} // namespace

std::string FindOnPath(std::string_view name) {
    const char* path = std::getenv("PATH");
    std::string_view rest = path ? path : "";
    while (!name.empty() && name.find('/') == std::string_view::npos) {
        const std::size_t colon = rest.find(':');
        const std::string_view folder = rest.substr(0, colon);
        if (!folder.empty()) {
            std::string candidate = std::string(folder) + "/" + std::string(name);
            if (::access(candidate.c_str(), X_OK) == 0 && !IsFolder(candidate))
                return candidate;
        }
        if (colon == std::string_view::npos)
            break;
        rest.remove_prefix(colon + 1);
    }
    detail::Fail(ERROR_FILE_NOT_FOUND);
    return {};
}

bool RunCaptured(const std::string& program, const std::vector<std::string>& arguments,
                 CapturedRun& run, const StallLimit& stall) {
    run = CapturedRun();
    Pipe out, err;
    if (!out.Open() || !err.Open())
        return detail::FailErrno(errno);

    std::vector<std::string> args{program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    pid_t pid = -1;
    const int spawnError = detail::Spawn(program, args, out.Write, err.Write, {}, pid);
    ::close(out.Write);
    ::close(err.Write);
    out.Write = err.Write = -1;
    if (spawnError != 0)
        return detail::FailErrno(spawnError);

    // Both pipes are drained together: a child filling one while this side
    // blocks on the other would never end.
    pollfd fds[2] = {{out.Read, POLLIN, 0}, {err.Read, POLLIN, 0}};
    std::string* sinks[2] = {&run.Out, &run.Err};
    int open = 2;
    char buffer[65536];
    Watchdog watchdog(stall, pid, run);
    while (open > 0) {
        if (::poll(fds, 2, watchdog.Wait()) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
                watchdog.Read();
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1; // poll passes over negative descriptors
                --open;
            }
        }
    }

    return detail::WaitFor(pid, run.Status) || detail::FailErrno(errno);
}

} // namespace platform
