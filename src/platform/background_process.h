#pragma once

// A program left running beside this one, as a server this process talks
// to: what it writes goes to a file no other process can open, and it never
// outlives the thread that started it. Linux only.

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include <sys/types.h>

namespace platform {

// This process's environment, "NAME=value" each.
std::vector<std::string> Environment();

// `bytes` bytes from the kernel's random source, as hex digits; "" and last
// error set when it has none to give.
std::string RandomHex(std::size_t bytes);

class BackgroundProcess {
public:
    BackgroundProcess() = default;
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;
    ~BackgroundProcess(); // kills it without grace

    // Starts `program` (a path) with `args` (argv[1] on) and `environment`
    // ("NAME=value" each: passwords go there, where no other user can read
    // them, not on its command line), standard input from /dev/null and
    // standard output and error into an unnamed temporary file. It is killed
    // when the thread that started it ends. False and last error when it
    // can't be started, or one is running already.
    bool Start(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& environment);

    // What it wrote, from byte `from` on; at most the last `cap` bytes.
    std::string Output(std::size_t from = 0, std::size_t cap = 1 << 20) const;
    std::size_t OutputSize() const;

    // Whether it still runs; one that has ended is reaped.
    bool Running();
    // Asks it to end (SIGTERM), gives it `grace`, then kills it; reaped either way.
    void Stop(std::chrono::milliseconds grace);

    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int output_ = -1;
};

} // namespace platform
