#include "platform/process.h"

#include "platform/files.h"
#include "platform/internal.h"
#include "platform/last_error.h"
#include "platform/paths.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include <fcntl.h>
#include <sys/prctl.h>
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

// The program a command line starts, and the arguments it gets. As Windows'
// process creation does, an unquoted start is tried word by word: "C:/dir
// with space/child.exe a" tries "C:/dir", then "C:/dir with", ..., and the
// shortest that names a program wins; the rest of the line is its arguments.
// A quote ends the words tried. "" and the first word's error when none is a
// program.
std::string ProgramOf(std::string_view line, std::vector<std::string>& args,
                      std::string_view currentFolder) {
    std::size_t start = 0;
    while (start < line.size() && IsBlank(line[start]))
        ++start;
    const std::string_view rest = line.substr(start);
    std::uint32_t firstError = 0;
    for (std::size_t end = 0; end < rest.size() && rest[0] != '"';) {
        while (end < rest.size() && !IsBlank(rest[end]) && rest[end] != '"')
            ++end;
        if (end < rest.size() && rest[end] == '"')
            break;
        const std::string_view candidate = rest.substr(0, end);
        std::string program = SearchProgram(candidate, currentFolder);
        if (!program.empty()) {
            args = SplitCommandLine(rest.substr(end));
            args.insert(args.begin(), std::string(candidate));
            return program;
        }
        if (firstError == 0)
            firstError = GetLastError();
        while (end < rest.size() && IsBlank(rest[end]))
            ++end;
    }
    if (firstError != 0) {
        detail::Fail(firstError);
        return {};
    }
    // A quoted program name, or quotes inside the first word: the runtime's rules.
    args = SplitCommandLine(rest);
    if (args.empty()) {
        detail::Fail(ERROR_FILE_NOT_FOUND);
        return {};
    }
    return SearchProgram(args[0], currentFolder);
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
                // Inside quotes "" is a literal quote and the quotes go on.
                if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
                    arg += '"';
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                arg += line[i++];
            }
        }
        args.push_back(std::move(arg));
    }
}

std::string QuoteArgument(std::string_view arg) {
    std::string out = "\"";
    for (std::size_t i = 0;; ++i) {
        std::size_t backslashes = 0;
        while (i < arg.size() && arg[i] == '\\') {
            ++backslashes;
            ++i;
        }
        if (i == arg.size()) {
            // Before the closing quote every backslash is doubled.
            out.append(backslashes * 2, '\\');
            break;
        }
        if (arg[i] == '"') {
            out.append(backslashes * 2 + 1, '\\');
        } else {
            out.append(backslashes, '\\');
        }
        out += arg[i];
    }
    out += '"';
    return out;
}

std::string ModuleDirectory() {
    std::string buffer(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size())
        return {};
    buffer.resize(static_cast<std::size_t>(n));
    return ExtractFilePath(buffer);
}

std::string SearchProgram(std::string_view name, std::string_view currentFolder) {
    if (name.empty()) {
        detail::Fail(ERROR_FILE_NOT_FOUND);
        return {};
    }
    const std::string current = IncludeTrailingPathDelimiter(
        currentFolder.empty() ? GetCurrentDirectory() : std::string(currentFolder));
    if (name.find(PathDelim) != std::string_view::npos) {
        // A relative path names a file of the folder the program starts in.
        const std::string base = name.front() == PathDelim ? std::string() : current;
        std::string found = FindIn(base, name);
        if (found.empty())
            detail::Fail(DirectoryExists(ExtractFilePath(base + std::string(name)))
                             ? ERROR_FILE_NOT_FOUND
                             : ERROR_PATH_NOT_FOUND);
        return found;
    }
    std::vector<std::string> folders{ModuleDirectory(), current};
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

bool StartDetached(const std::string& program, const std::vector<std::string>& args) {
    // A long-running caller (the save watcher) leaves no zombie behind for
    // long.
    static std::vector<pid_t> started;
    std::erase_if(started, [](pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) != 0; });
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_t pid = -1;
    const int err = detail::Spawn(program, args, null, null, {}, pid, true);
    if (null >= 0)
        ::close(null);
    if (err != 0)
        return detail::FailErrno(err);
    started.push_back(pid);
    return true;
}

Process::~Process() {
    if (Running())
        Wait();
}

bool Process::Start(std::string_view commandLine, int /*showCommand*/, int stdOutput,
                    const std::string& workDir) {
    if (Running())
        return detail::Fail(ERROR_BUSY);
    // The child's own folder: this process's current folder is never changed.
    if (!workDir.empty() && !DirectoryExists(workDir))
        return detail::Fail(FileExists(workDir) ? ERROR_DIRECTORY : ERROR_PATH_NOT_FOUND);
    std::vector<std::string> args;
    const std::string program = ProgramOf(commandLine, args, workDir);
    if (program.empty())
        return false;

    pid_t pid = -1;
    const int err = detail::Spawn(program, args, stdOutput, -1, workDir, pid);
    if (err != 0)
        return detail::FailErrno(err);
    pid_ = pid;
    status_ = ExitStatus();
    return true;
}

bool Process::Wait() {
    if (!Running())
        return detail::Fail(ERROR_INVALID_HANDLE);
    const pid_t pid = pid_;
    pid_ = -1;
    status_ = ExitStatus();
    return detail::WaitFor(pid, status_) || detail::FailErrno(errno);
}

namespace detail {

namespace {

// The child's side of Spawn, between fork and exec: system calls only (the
// parent may have threads holding locks the child never gets back). Tells
// the errno of what failed through `report`.
[[noreturn]] void BecomeChild(const char* program, char* const* argv, char* const* envp, int out,
                              int err, const char* workDir, pid_t parent, int report) {
    // A child killed with its parent leaves no rclone or archiver running
    // for a command that was killed; a parent gone before this line is seen
    // by getppid.
    int error = 0;
    if (parent > 0 && ::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
        error = errno;
    else if (parent > 0 && ::getppid() != parent)
        ::_exit(127);
    struct sigaction byDefault = {};
    byDefault.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig)
        ::sigaction(sig, &byDefault, nullptr);
    const int null = ::open("/dev/null", O_RDONLY);
    if (error == 0 && (null < 0 || (null != STDIN_FILENO && ::dup2(null, STDIN_FILENO) < 0)))
        error = errno;
    if (null > STDIN_FILENO)
        ::close(null);
    // dup2 onto itself would keep close-on-exec.
    for (const auto& [from, to] : {std::pair{out, STDOUT_FILENO}, {err, STDERR_FILENO}})
        if (error == 0 && from >= 0 &&
            (from == to ? ::fcntl(to, F_SETFD, 0) : ::dup2(from, to)) < 0)
            error = errno;
    if (error == 0 && *workDir && ::chdir(workDir) != 0)
        error = errno;
    if (error == 0) {
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(program, argv, envp);
        error = errno;
    }
    [[maybe_unused]] const ssize_t n = ::write(report, &error, sizeof error);
    ::_exit(127);
}

} // namespace

int Spawn(const std::string& program, const std::vector<std::string>& args, int out, int err,
          const std::string& workDir, pid_t& pid, bool outlivesUs,
          const std::vector<std::string>* environment) {
    std::vector<std::string> store = args;
    std::vector<char*> argv;
    for (std::string& arg : store)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore = environment ? *environment : std::vector<std::string>();
    std::vector<char*> envp;
    for (std::string& variable : envStore)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return errno;
    const pid_t parent = outlivesUs ? 0 : ::getpid();

    // No handler of this process may run in the child before it is reset.
    sigset_t all, old;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    const pid_t child = ::fork();
    if (child == 0)
        BecomeChild(program.c_str(), argv.data(), environment ? envp.data() : environ, out, err,
                    workDir.c_str(), parent, report[1]);
    const int forkError = errno;
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ::close(report[1]);
    if (child < 0) {
        ::close(report[0]);
        return forkError;
    }
    // An exec that succeeds closes the pipe without a word.
    int error = 0;
    ssize_t n;
    do
        n = ::read(report[0], &error, sizeof error);
    while (n < 0 && errno == EINTR);
    ::close(report[0]);
    if (n == static_cast<ssize_t>(sizeof error)) {
        ExitStatus ignored;
        WaitFor(child, ignored);
        return error;
    }
    pid = child;
    return 0;
}

bool WaitFor(pid_t pid, ExitStatus& status) {
    int raw = 0;
    pid_t r;
    do
        r = ::waitpid(pid, &raw, 0);
    while (r < 0 && errno == EINTR);
    if (r < 0)
        return false;
    status.Signaled = WIFSIGNALED(raw);
    status.Code = status.Signaled ? WTERMSIG(raw) : WEXITSTATUS(raw);
    return true;
}

} // namespace detail

} // namespace platform
