#include "cli/console.h"

#include "platform/paths.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/ioctl.h>
#include <unistd.h>

namespace cli {

Console::Console() : terminal_(isatty(STDERR_FILENO) == 1) {}

Console::~Console() {
    EndProgress();
}

void Console::Write(std::FILE* stream, const std::string& line) {
    EndProgress();
    // Paths are bytes: written as they are. A failed write is no reason to
    // stop the work: one to standard output is kept for the exit status.
    errno = 0;
    const bool written = std::fwrite(line.data(), 1, line.size(), stream) == line.size() &&
                         std::fputc('\n', stream) != EOF && std::fflush(stream) == 0;
    if (!written && stream == stdout && outError_ == 0)
        outError_ = errno != 0 ? errno : EIO;
}

std::string Console::FinishOutput() {
    int error = outError_;
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        error = error != 0 ? error : (errno != 0 ? errno : EIO);
    // A file system may report a failed write only when the file is closed.
    errno = 0;
    if (std::fclose(stdout) != 0)
        error = error != 0 ? error : (errno != 0 ? errno : EIO);
    return error != 0 ? std::strerror(error) : std::string();
}

void Console::Out(const std::string& line) {
    Write(stdout, line);
}

void Console::Error(const std::string& line) {
    // One line per message, whatever a cause text holds. Messages quote
    // names from elsewhere (a remote's machines, sets and files, also in
    // rclone's own words): none may clear the screen or ring the bell.
    std::string text = line;
    std::replace(text.begin(), text.end(), '\n', ' ');
    Write(stderr, platform::PrintableText(text));
}

void Console::Progress(std::size_t index, std::size_t total, const std::string& name) {
    if (!terminal_)
        return;
    std::string line = "[" + std::to_string(index) + "/" + std::to_string(total) + "] " +
                       platform::PrintableText(name);
    // A line longer than the terminal would wrap, and "\r" would then go
    // back to its last row only.
    struct winsize size = {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 &&
        line.size() >= size.ws_col)
        line = platform::CutUtf8(line, size.ws_col - 1u);
    line = "\r" + line + "\x1b[K";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    progressShown_ = true;
}

void Console::EndProgress() {
    if (!progressShown_)
        return;
    progressShown_ = false;
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
}

void ConsoleReporter::Message(const std::string& text) {
    console_.Error(text);
}

void ConsoleReporter::Failure(const std::string& text, const std::string& cause) {
    console_.Error(cause.empty() ? text : text + ": " + cause);
}

void ConsoleReporter::ProgressStep(std::size_t index, std::size_t total, const std::string& name) {
    console_.Progress(index, total, name);
}

void ConsoleReporter::ProgressHide() {
    console_.EndProgress();
}

void ConsoleReporter::FileDone(const std::string& source, const std::string& target, bool ok) {
    if (ok)
        console_.Out(done_ + " " + source + " -> " + target);
}

void ConsoleReporter::FileKept(const std::string& source, const std::string& target) {
    console_.Out("kept " + source + " -> " + target);
}

void ConsoleReporter::FilePlanned(const std::string& source, const std::string& target) {
    console_.Out("would " + planned_ + " " + (planTarget_ ? target : source));
}

void ConsoleReporter::FileRefusal(const std::string& source, const std::string& target,
                                  const std::string& why) {
    console_.Out("would refuse " + (planTarget_ ? target : source) + ": " + why);
}

void ConsoleReporter::WaitStart(const std::string& /*caption*/, const std::string& text) {
    console_.Error(text);
}

} // namespace cli
