#pragma once

// Starting a program as CreateProcess does, and waiting for it.

#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Splits a command line by the Microsoft C runtime's rules.
std::vector<std::string> SplitCommandLine(std::string_view commandLine);
// `arg` in double quotes, escaped so that SplitCommandLine gives back exactly
// its bytes, whatever they are: a quote and the backslashes before it, and
// the backslashes before the closing quote, are escaped. Without quotes or
// trailing backslashes it is "arg" as it stands.
std::string QuoteArgument(std::string_view arg);

// The folder of the running program (resolved through links), ending with '/'.
std::string ModuleDirectory();

// Finds a program as Windows does: a name with a '/' is taken as given
// (relative to the current folder); a bare name is looked for in
// ModuleDirectory(), the current folder, then each folder of PATH. The
// current folder is `currentFolder` when given (the folder the program will
// start in), else this process's. "" and last error 2 when not found.
std::string SearchProgram(std::string_view name, std::string_view currentFolder = {});

// Starts `program` (a path) with `args` (args[0] its own name), its standard
// streams on /dev/null, and leaves it running: it may outlive this process,
// which never waits on it, and it is not killed with this process as the
// children of Process and RunCaptured are. Those started earlier that have
// ended meanwhile are reaped by the next call. False and last error when it
// can't be started.
bool StartDetached(const std::string& program, const std::vector<std::string>& args);

struct ExitStatus {
    bool Signaled = false; // ended by a signal
    int Code = 0;          // exit code, or the signal number when Signaled
};

class Process {
public:
    Process() = default;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process(); // waits for a started child that was not waited for

    // Splits the command line, searches the program (an unquoted path with
    // blanks word by word, shortest first, as Windows does), starts it in
    // `workDir` (the current folder when empty; only the child's, never this
    // process's), standard input from /dev/null and, when `stdOutput` is a
    // descriptor, standard output into it (as a Windows start-up handle).
    // The child is killed when the thread that started it ends, so it never
    // outlives this process, however that ends. `showCommand` is kept but
    // has no effect.
    // False and last error (a Windows code) on failure: 3 or 267 when
    // `workDir` is missing or no folder.
    bool Start(std::string_view commandLine, int showCommand = 1, int stdOutput = -1,
               const std::string& workDir = {});
    // Waits without time limit. False when nothing was started.
    bool Wait();

    bool Running() const { return pid_ > 0; }
    const ExitStatus& Status() const { return status_; }

private:
    int pid_ = -1;
    ExitStatus status_;
};

} // namespace platform
