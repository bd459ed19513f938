#include "platform/background_process.h"

#include "platform/internal.h"
#include "platform/last_error.h"
#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform {

namespace {

// A file of no name in the temporary folder: gone with its last descriptor,
// whatever ends this process.
int UnnamedFile() {
    const char* tmp = std::getenv("TMPDIR");
    const std::string folder = tmp && *tmp ? tmp : "/tmp";
    const int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR))
        return fd;
    // A file system without O_TMPFILE: a named file, unlinked at once.
    std::string path = folder + "/mfbackup-out-XXXXXX";
    const int named = ::mkostemp(path.data(), O_CLOEXEC);
    if (named >= 0)
        ::unlink(path.c_str());
    return named;
}

} // namespace

std::vector<std::string> Environment() {
    std::vector<std::string> variables;
    for (char** entry = environ; entry && *entry; ++entry)
        variables.emplace_back(*entry);
    return variables;
}

std::string RandomHex(std::size_t bytes) {
    std::string raw(bytes, '\0');
    for (std::size_t got = 0; got < bytes;) {
        const ssize_t n = ::getrandom(raw.data() + got, bytes - got, 0);
        if (n < 0 && errno != EINTR) {
            detail::FailErrno(errno);
            return {};
        }
        if (n > 0)
            got += static_cast<std::size_t>(n);
    }
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const char c : raw) {
        hex += digits[static_cast<unsigned char>(c) >> 4];
        hex += digits[static_cast<unsigned char>(c) & 15];
    }
    return hex;
}

BackgroundProcess::~BackgroundProcess() {
    Stop(std::chrono::milliseconds(0));
    if (output_ >= 0)
        ::close(output_);
}

bool BackgroundProcess::Start(const std::string& program, const std::vector<std::string>& args,
                              const std::vector<std::string>& environment) {
    if (Running())
        return detail::Fail(ERROR_BUSY);
    if (output_ >= 0)
        ::close(output_);
    output_ = UnnamedFile();
    if (output_ < 0)
        return detail::FailErrno(errno);
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_t pid = -1;
    const int err = detail::Spawn(program, argv, output_, output_, {}, pid, false, &environment);
    if (err != 0)
        return detail::FailErrno(err);
    pid_ = pid;
    return true;
}

std::size_t BackgroundProcess::OutputSize() const {
    struct stat st;
    if (output_ < 0 || ::fstat(output_, &st) != 0)
        return 0;
    return static_cast<std::size_t>(st.st_size);
}

std::string BackgroundProcess::Output(std::size_t from, std::size_t cap) const {
    const std::size_t size = OutputSize();
    if (from >= size)
        return {};
    if (size - from > cap)
        from = size - cap;
    std::string text(size - from, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n =
            ::pread(output_, text.data() + got, text.size() - got, static_cast<off_t>(from + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    return text;
}

bool BackgroundProcess::Running() {
    if (pid_ <= 0)
        return false;
    int raw = 0;
    if (::waitpid(pid_, &raw, WNOHANG) == 0)
        return true;
    pid_ = -1;
    return false;
}

void BackgroundProcess::Stop(std::chrono::milliseconds grace) {
    if (!Running())
        return;
    if (grace.count() > 0) {
        ::kill(pid_, SIGTERM);
        const auto until = std::chrono::steady_clock::now() + grace;
        while (Running() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (!Running())
            return;
    }
    ::kill(pid_, SIGKILL);
    ExitStatus ignored;
    detail::WaitFor(pid_, ignored);
    pid_ = -1;
}

} // namespace platform
