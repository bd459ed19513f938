#include "platform/process.h"

#include "platform/files.h"
#include "platform/internal.h"
#include "platform/last_error.h"
#include "platform/paths.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsProgramFile(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// `folder` + `name` as it exists on disk, also as Windows' "name.exe" when the
// name carries no extension; "" when neither is there.
std::string FindIn(const std::string& folder, std::string_view name) {
    const std::string candidate = ResolveCase(folder + std::string(name));
    if (IsProgramFile(candidate))
        return candidate;
    if (ExtractFileName(name).find('.') == std::string::npos) {
        const std::string withExe = ResolveCase(folder + std::string(name) + ".exe");
        if (IsProgramFile(withExe))
            return withExe;
    }
    return {};
}

} // namespace

std::vector<std::string> SplitCommandLine(std::string_view line) {
    std::vector<std::string> args;
    std::size_t i = 0;
    for (;;) {
        while (i < line.size() && IsBlank(line[i]))
            ++i;
        if (i == line.size())
            return args;
        std::string arg;
        bool quoted = false;
        while (i < line.size() && (quoted || !IsBlank(line[i]))) {
            if (line[i] == '\\') {
                std::size_t run = 0;
                while (i + run < line.size() && line[i + run] == '\\')
                    ++run;
                if (i + run < line.size() && line[i + run] == '"') {
                    // 2n backslashes and a quote: n backslashes, the quote
                    // delimits; 2n+1: n backslashes and a literal quote.
                    arg.append(run / 2, '\\');
                    i += run;
                    if (run % 2 == 1) {
                        arg += '"';
                        ++i;
                    }
                } else {
                    arg.append(run, '\\');
                    i += run;
                }
            } else if (line[i] == '"') {
                quoted = !quoted;
                ++i;
            } else {
                arg += line[i++];
            }
        }
        args.push_back(std::move(arg));
    }
}

std::string ModuleDirectory() {
    std::string buffer(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size())
        return {};
    buffer.resize(static_cast<std::size_t>(n));
    return ExtractFilePath(buffer);
}

std::string SearchProgram(std::string_view name) {
    if (name.empty()) {
        detail::Fail(ERROR_FILE_NOT_FOUND);
        return {};
    }
    if (name.find(PathDelim) != std::string_view::npos) {
        std::string found = FindIn({}, name);
        if (found.empty())
            detail::Fail(DirectoryExists(ExtractFilePath(name)) ? ERROR_FILE_NOT_FOUND
                                                                : ERROR_PATH_NOT_FOUND);
        return found;
    }
    std::vector<std::string> folders{ModuleDirectory(),
                                     IncludeTrailingPathDelimiter(GetCurrentDirectory())};
    if (const char* path = std::getenv("PATH")) {
        std::string_view rest(path);
        while (!rest.empty()) {
            const std::size_t colon = rest.find(':');
            const std::string_view folder = rest.substr(0, colon);
            if (!folder.empty())
                folders.push_back(IncludeTrailingPathDelimiter(folder));
            rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        }
    }
    for (const std::string& folder : folders) {
        if (folder.empty())
            continue;
        std::string found = FindIn(folder, name);
        if (!found.empty())
            return found;
    }
    detail::Fail(ERROR_FILE_NOT_FOUND);
    return {};
}

Process::~Process() {
    if (Running())
        Wait();
}

bool Process::Start(std::string_view commandLine, int /*showCommand*/) {
    if (Running())
        return detail::Fail(ERROR_BUSY);
    std::vector<std::string> args = SplitCommandLine(commandLine);
    if (args.empty())
        return detail::Fail(ERROR_FILE_NOT_FOUND);
    const std::string program = SearchProgram(args[0]);
    if (program.empty())
        return false;

    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_init(&attr);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // The child starts clean of whatever signal handling this process set up
    // (an ignored SIGPIPE, a blocked SIGCHLD).
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    ::posix_spawnattr_setsigmask(&attr, &none);
    ::posix_spawnattr_setsigdefault(&attr, &all);
    ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    // glibc starts the child with vfork semantics and reports a failed exec
    // (missing, not executable, not a program) here rather than as exit 127.
    pid_t pid = -1;
    const int err = ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attr);
    if (err != 0)
        return detail::FailErrno(err);
    pid_ = pid;
    status_ = ExitStatus();
    return true;
}

bool Process::Wait() {
    if (!Running())
        return detail::Fail(ERROR_INVALID_HANDLE);
    int status = 0;
    pid_t r;
    do
        r = ::waitpid(pid_, &status, 0);
    while (r < 0 && errno == EINTR);
    pid_ = -1;
    if (r < 0)
        return detail::FailErrno(errno);
    if (WIFSIGNALED(status)) {
        status_.Signaled = true;
        status_.Code = WTERMSIG(status);
    } else {
        status_.Code = WEXITSTATUS(status);
    }
    return true;
}

} // namespace platform
