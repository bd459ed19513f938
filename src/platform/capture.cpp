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

extern char** environ;

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
            if (::access(candidate.c_str(), X_OK) == 0 && !detail::IsFolder(candidate))
                return candidate;
        }
        if (colon == std::string_view::npos)
            break;
        rest.remove_prefix(colon + 1);
    }
    detail::Fail(ERROR_FILE_NOT_FOUND);
    return {};
}

bool RunCaptured(const std::string& program, const std::vector<std::string>& args,
                 CapturedRun& run) {
    run = CapturedRun();
    Pipe out, err;
    if (!out.Open() || !err.Open())
        return detail::FailErrno(errno);

    std::vector<std::string> argStore{program};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argStore)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_init(&attr);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, out.Write, STDOUT_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions, err.Write, STDERR_FILENO);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    ::posix_spawnattr_setsigmask(&attr, &none);
    ::posix_spawnattr_setsigdefault(&attr, &all);
    ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int spawnError =
        ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attr);
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

    int status = 0;
    pid_t r;
    do
        r = ::waitpid(pid, &status, 0);
    while (r < 0 && errno == EINTR);
    if (r < 0)
        return detail::FailErrno(errno);
    if (WIFSIGNALED(status)) {
        run.Status.Signaled = true;
        run.Status.Code = WTERMSIG(status);
    } else {
        run.Status.Code = WEXITSTATUS(status);
    }
    return true;
}

} // namespace platform
