#include "platform/loopback_socket.h"

#include <algorithm>
#include <cerrno>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

LoopbackSocket::~LoopbackSocket() {
    if (fd_ >= 0)
        ::close(fd_);
}

int LoopbackSocket::WaitFor(short events, Deadline deadline) const {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return ETIMEDOUT;
        pollfd pfd{fd_, events, 0};
        const int n = ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left.count(), 60000)));
        if (n > 0)
            return 0; // errors and hang-ups show in the call that follows
        if (n < 0 && errno != EINTR)
            return errno;
    }
}

int LoopbackSocket::Connect(int port, Deadline deadline) {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return errno;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
        return 0;
    if (errno != EINPROGRESS)
        return errno;
    if (const int err = WaitFor(POLLOUT, deadline))
        return err;
    int err = 0;
    socklen_t size = sizeof err;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &size) != 0)
        return errno;
    return err;
}

int LoopbackSocket::SendAll(std::string_view data, Deadline deadline) {
    while (!data.empty()) {
        const ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
        if (n > 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (const int err = WaitFor(POLLOUT, deadline))
                return err;
        } else if (n < 0 && errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

int LoopbackSocket::ReceiveAll(std::string& in, std::size_t cap, Deadline deadline) {
    in.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n == 0)
            return 0;
        if (n > 0) {
            if (in.size() + static_cast<std::size_t>(n) > cap)
                return EFBIG;
            in.append(buffer, static_cast<std::size_t>(n));
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (const int err = WaitFor(POLLIN, deadline))
                return err;
        } else if (errno != EINTR) {
            return errno;
        }
    }
}

} // namespace platform
