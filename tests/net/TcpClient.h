#pragma once
// A non-blocking TCP client for tests. `pump` runs while waiting, so an
// engine in the same process (driven by the event loop) keeps working.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

class TcpClient {
public:
    explicit TcpClient(std::function<void()> pump = {}) : pump_(std::move(pump)) {}
    ~TcpClient() { Close(); }
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    bool Connect(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        return ::connect(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 && ::fcntl(fd_, F_SETFL, O_NONBLOCK) == 0;
    }

    // Sends everything, pumping while the peer's buffers are full.
    bool Send(std::string_view data, int timeoutMs = 10000) {
        return Wait(timeoutMs, [&] {
            const ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
            if (n > 0) data.remove_prefix(static_cast<size_t>(n));
            return data.empty() || (n < 0 && errno != EAGAIN);
        }) && data.empty();
    }

    // Reads until `done` holds for what was received, the peer closes, or time runs out.
    bool ReadUntil(const std::function<bool(const std::string&)>& done, int timeoutMs = 10000) {
        return Wait(timeoutMs, [&] {
            char buf[65536];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n > 0) received.append(buf, static_cast<size_t>(n));
            closedByPeer = closedByPeer || n == 0 || (n < 0 && errno != EAGAIN);
            return done(received) || closedByPeer;
        }) && done(received);
    }

    bool ReadReplies(size_t count, std::string_view term = "\r\n", int timeoutMs = 10000) {
        return ReadUntil([&](const std::string& r) { return Count(r, term) >= count; }, timeoutMs);
    }
    bool WaitForClose(int timeoutMs = 10000) {
        return ReadUntil([this](const std::string&) { return closedByPeer; }, timeoutMs);
    }

    // Closes with a reset instead of an orderly close.
    void Reset() {
        const linger l{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        Close();
    }
    void Close() { if (fd_ >= 0) ::close(std::exchange(fd_, -1)); }

    static size_t Count(std::string_view text, std::string_view what) {
        size_t n = 0;
        for (size_t p = text.find(what); p != std::string_view::npos; p = text.find(what, p + what.size())) ++n;
        return n;
    }

    std::string received;
    bool closedByPeer = false;

private:
    // Repeats `step` until it reports done or time runs out, idling between tries.
    bool Wait(int timeoutMs, const std::function<bool()>& step) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (pollfd p{fd_, POLLIN, 0}; !step(); pump_ ? pump_() : void(::poll(&p, 1, 5)))
            if (std::chrono::steady_clock::now() > deadline) return false;
        return true;
    }

    std::function<void()> pump_;
    int fd_ = -1;
};
