#pragma once
// A non-blocking TCP client for tests. `pump` runs while waiting, so
// an engine in the same process (driven by the event loop) keeps working;
// against a separate process it can be left empty.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

// A TCP port nobody listens on right now.
inline int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

class TcpClient {
public:
    explicit TcpClient(std::function<void()> pump = {}) : pump_(std::move(pump)) {}
    ~TcpClient() { Close(); }
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    bool Connect(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
        return true;
    }

    // Sends everything, pumping while the peer's buffers are full.
    bool Send(std::string_view data, int timeoutMs = 10000) {
        const auto deadline = Deadline(timeoutMs);
        while (!data.empty()) {
            const ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
            if (n > 0) {
                data.remove_prefix(static_cast<size_t>(n));
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (Clock::now() > deadline) return false;
                Idle();
            } else {
                return false;
            }
        }
        return true;
    }

    // Reads until `done` holds for what was received, the peer closes, or
    // time runs out.
    bool ReadUntil(const std::function<bool(const std::string&)>& done, int timeoutMs = 10000) {
        const auto deadline = Deadline(timeoutMs);
        while (!done(received)) {
            char buf[65536];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n > 0) {
                received.append(buf, static_cast<size_t>(n));
                continue;
            }
            if (n == 0) {
                closedByPeer = true;
                return done(received);
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                closedByPeer = true;
                return done(received);
            }
            if (Clock::now() > deadline) return false;
            Idle();
        }
        return true;
    }

    // Reads until `count` terminators `term` have arrived.
    bool ReadReplies(size_t count, std::string_view term = "\r\n", int timeoutMs = 10000) {
        return ReadUntil([&](const std::string& r) { return Count(r, term) >= count; }, timeoutMs);
    }

    bool WaitForClose(int timeoutMs = 10000) {
        return ReadUntil([this](const std::string&) { return closedByPeer; }, timeoutMs);
    }

    // Closes with a reset instead of an orderly close.
    void Reset() {
        linger l{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        Close();
    }

    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    static size_t Count(std::string_view text, std::string_view what) {
        size_t n = 0;
        for (size_t p = text.find(what); p != std::string_view::npos; p = text.find(what, p + what.size())) ++n;
        return n;
    }

    std::string received;
    bool closedByPeer = false;

private:
    using Clock = std::chrono::steady_clock;
    static Clock::time_point Deadline(int ms) { return Clock::now() + std::chrono::milliseconds(ms); }
    void Idle() {
        if (pump_) {
            pump_();
        } else {
            pollfd p{fd_, POLLIN, 0};
            ::poll(&p, 1, 5);
        }
    }

    std::function<void()> pump_;
    int fd_ = -1;
};
