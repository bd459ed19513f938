#pragma once

// Running a program to its end with its output captured, for tools whose
// answer is what they print (rclone). Arguments go to the program as given:
// no shell and no command-line splitting.

#include "platform/process.h"

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The executable file `name` in the first folder of PATH that has one; ""
// and last error 2 when none has.
std::string FindOnPath(std::string_view name);

struct CapturedRun {
    ExitStatus Status;
    std::string Out;      // standard output, whole
    std::string Err;      // standard error, whole
    bool Stalled = false; // killed by its StallLimit
};

// A program that stops moving is killed (SIGKILL): `Progress`, asked what
// the output so far shows each time some arrives, gives the same answer for
// `Limit`. No limit, or no `Progress`: it is waited for as long as it runs.
struct StallLimit {
    std::chrono::milliseconds Limit{0};
    std::function<std::string(const CapturedRun&)> Progress;
};

// Starts `program` (a path) with `args` (argv[1] on), standard input from
// /dev/null, and waits for it while reading both outputs. False and last
// error set when it could not be started; a program that ran and failed is
// true, with its exit code in `run.Status`.
bool RunCaptured(const std::string& program, const std::vector<std::string>& args, CapturedRun& run,
                 const StallLimit& stall = {});

} // namespace platform
