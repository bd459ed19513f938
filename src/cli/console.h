#pragma once

// Where mfbackup-cli writes: one line per file done on standard output,
// messages on standard error, and on a terminal a progress line on standard
// error that replaces itself. What goes to standard error has its control
// characters shown as \xHH (see platform::PrintableText).

#include "core/reporter.h"

#include <cstddef>
#include <cstdio>
#include <string>
#include <utility>

namespace cli {

class Console {
public:
    // A progress line only when standard error is a terminal.
    Console();
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    void Out(const std::string& line);
    void Error(const std::string& line);
    void Progress(std::size_t index, std::size_t total, const std::string& name);
    // Removes the progress line, if one is shown.
    void EndProgress();
    // Flushes and closes standard output: "" when all that was written to it
    // got there, else why not. Nothing is written to it afterwards.
    std::string FinishOutput();

private:
    void Write(std::FILE* stream, const std::string& line);

    bool terminal_ = false;
    bool progressShown_ = false;
    int outError_ = 0; // the first failed write to standard output
};

// The core's reports for one command: each file done as "<done> <source> ->
// <target>" ("backed up ..."), each game file a restore keeps first as "kept
// <source> -> <target>", each file a dry run would do as "would <planned>
// <path>" ("would back up <source>", "would restore <target>") and each it
// would refuse as "would refuse <path>: <why>", messages as lines of standard
// error (a failure with its cause: "<text>: <cause>"), and a wait for another
// run's backup folder as one line of standard error.
class ConsoleReporter : public core::Reporter {
public:
    // `planTarget`: a dry run names the target rather than the source.
    ConsoleReporter(Console& console, std::string done, std::string planned = {},
                    bool planTarget = false)
        : console_(console), done_(std::move(done)), planned_(std::move(planned)),
          planTarget_(planTarget) {}

    void Message(const std::string& text) override;
    void Failure(const std::string& text, const std::string& cause) override;
    void ProgressStep(std::size_t index, std::size_t total, const std::string& name) override;
    void ProgressHide() override;
    void FileDone(const std::string& source, const std::string& target, bool ok) override;
    void FileKept(const std::string& source, const std::string& target) override;
    void FilePlanned(const std::string& source, const std::string& target) override;
    void FileRefusal(const std::string& source, const std::string& target,
                     const std::string& why) override;
    void WaitStart(const std::string& caption, const std::string& text) override;

private:
    Console& console_;
    std::string done_;
    std::string planned_;
    bool planTarget_;
};

} // namespace cli
