#include "automation/run_log.h"

#include "platform/base_folders.h"
#include "platform/paths.h"

#include <cerrno>
#include <ctime>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace automation {
namespace {

constexpr std::size_t kMaxLine = 4096;

std::string Flat(std::string_view text) {
    std::string flat(text);
    for (char& c : flat)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    return flat;
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool ReadAll(const std::string& path, std::string& text) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return n == 0;
}

// The newest whole lines of `text` that fit in half the limit, and `line`.
// Written beside the log and renamed over it: a crash leaves the old log or
// the new one.
bool Trim(const std::string& path, const std::string& line) {
    std::string text;
    if (!ReadAll(path, text))
        return false;
    const std::size_t keep = kRunLogMaxBytes / 2;
    std::size_t from = 0;
    if (text.size() > keep) {
        const std::size_t newline = text.find('\n', text.size() - keep - 1);
        from = newline == std::string::npos ? text.size() : newline + 1;
    }
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = ::fchmod(fd, 0644) == 0 && WriteAll(fd, std::string_view(text).substr(from)) &&
              WriteAll(fd, line) && ::fdatasync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok)
        ::unlink(temp.c_str());
    return ok;
}

} // namespace

std::string RunLogPath() {
    return platform::StateFolder() + "/mfbackup.log";
}

bool AppendRunLog(std::string_view command, std::string_view outcome) {
    const std::time_t now = std::time(nullptr);
    std::tm local = {};
    ::localtime_r(&now, &local);
    char when[32];
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
    const std::string line =
        platform::CutUtf8(std::string(when) + '\t' + Flat(command) + '\t' + Flat(outcome),
                          kMaxLine - 1) +
        '\n';

    const std::string path = RunLogPath();
    platform::ForceDirectories(platform::ExtractFilePath(path));
    // A trim replaces the file: a writer that opened the one replaced looks
    // again, so its line never lands in a file already gone.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            return false;
        int r;
        do
            r = ::flock(fd, LOCK_EX);
        while (r < 0 && errno == EINTR);
        struct stat mine, named;
        if (::fstat(fd, &mine) != 0 || ::stat(path.c_str(), &named) != 0 ||
            mine.st_dev != named.st_dev || mine.st_ino != named.st_ino) {
            ::close(fd);
            continue;
        }
        const bool fits = static_cast<std::size_t>(mine.st_size) + line.size() < kRunLogMaxBytes;
        const bool ok = fits ? WriteAll(fd, line) : Trim(path, line);
        return ::close(fd) == 0 && ok;
    }
    return false;
}

} // namespace automation
