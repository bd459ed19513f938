#pragma once

// A TCP connection to a server of this machine on 127.0.0.1, each step
// bounded by a deadline. Linux only.

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

class LoopbackSocket {
public:
    using Deadline = std::chrono::steady_clock::time_point;

    LoopbackSocket() = default;
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;
    ~LoopbackSocket();

    // Each returns 0, or the errno of what failed: ETIMEDOUT when the
    // deadline came first.
    int Connect(int port, Deadline deadline);
    int SendAll(std::string_view data, Deadline deadline);
    // Reads until the server closes the connection; EFBIG past `cap` bytes.
    int ReceiveAll(std::string& in, std::size_t cap, Deadline deadline);

private:
    // Waits for `events` on the socket until the deadline: 0 or an errno.
    int WaitFor(short events, Deadline deadline) const;

    int fd_ = -1;
};

} // namespace platform
