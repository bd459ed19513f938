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
                 CapturedRun& run) {
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
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
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
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1; // poll passes over negative descriptors
                --open;
            }
        }
    }

    return detail::WaitFor(pid, run.Status) || detail::FailErrno(errno);
}

} // namespace platform
