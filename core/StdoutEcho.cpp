#include "core/StdoutEcho.h"

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstring>
#include <memory>

#include "core/Ansi.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "core/modMain.h"

namespace {
// Written in pieces no larger than this after poll() said the reader can
// take some: a piece of at most one pipe buffer page does not block.
constexpr size_t kPiece = 4096;
// How often a writer waiting for a stalled reader looks whether it must stop.
constexpr int kPollMs = 100;
// Buffered lines for a reader that is slow for a moment (a burst of log).
constexpr size_t kEchoBufferBytes = 4u << 20;

std::unique_ptr<cLogEcho> gEcho;

// The syslog priority of a log line's severity.
char Priority(std::string_view line) {
    const size_t bracket = line.find(']');
    const char severity = bracket == std::string_view::npos || bracket + 1 >= line.size() ? ' ' : line[bracket + 1];
    switch (severity) {
        case 'F': return '2';  // critical
        case 'E': return '3';  // error
        case 'W': return '4';  // warning
        case 'V':
        case 'D': return '7';  // debug
    }
    return '6';  // informational
}

std::string ForJournal(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (size_t from = 0; from < text.size();) {
        size_t end = text.find("\r\n", from);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(from, end - from);
        out += '<';
        out += Priority(line);
        out += '>';
        out += AnsiToUtf8(line);
        out += '\n';
        from = end + 2;
    }
    return out;
}
}  // namespace

cLogEcho::cLogEcho(int fd, int errorFd, EchoFormat format, size_t maxBufferedBytes)
    : fd_(fd), errorFd_(errorFd), format_(format), maxBytes_(maxBufferedBytes), writer_([this] { Run(); }) {}

cLogEcho::~cLogEcho() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    writer_.join();
}

void cLogEcho::Push(std::string_view line) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (ended_) return;
    const bool wasEmpty = pending_.empty();  // the writer may be waiting for lines
    // The reader has caught up since lines were dropped: say how many.
    if (dropped_ > 0 && pending_.size() <= maxBytes_ / 2) {
        pending_ += FormatLogLine("Standard output was not read in time: " + std::to_string(dropped_) +
                                      " log lines were not echoed there.",
                                  "SYS", "W", std::chrono::system_clock::now(), Settings.DisplayFrameRate);
        dropped_ = 0;
    }
    if (pending_.size() + line.size() <= maxBytes_)
        pending_ += line;
    else
        ++dropped_, ++droppedTotal_;
    const bool wake = wasEmpty && !pending_.empty();
    lock.unlock();
    if (wake) wake_.notify_one();
}

bool cLogEcho::Flush(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return written_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [this] { return ended_ || (pending_.empty() && !busy_); }) &&
           !ended_;
}

bool cLogEcho::Ended() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return ended_;
}

uint64_t cLogEcho::DroppedTotal() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return droppedTotal_;
}

void cLogEcho::Run() {
    // A reader that is gone shows as EPIPE here, never as a signal that
    // would end the process.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
    std::string chunk;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || !pending_.empty(); });
            if (stop_) return;
            chunk.swap(pending_);
            busy_ = true;
        }
        int error = 0;
        const bool ok = WriteAll(format_ == EchoFormat::Journal ? ForJournal(chunk) : chunk, error);
        chunk.clear();
        if (!ok && error != 0) {
            const std::string note =
                ProgramName() + ": " +
                (error == EPIPE ? std::string("standard output was closed")
                                : "writing the log to standard output failed (" + std::string(std::strerror(error)) + ")") +
                "; the log is no longer echoed there.\n";
            [[maybe_unused]] const ssize_t n = ::write(errorFd_, note.data(), note.size());
        }
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            busy_ = false;
            if (error != 0) {
                ended_ = true;
                pending_.clear();
                pending_.shrink_to_fit();
            }
        }
        written_.notify_all();
        if (!ok) return;  // ended, or stopped
    }
}

bool cLogEcho::WriteAll(const std::string& data, int& error) {
    for (size_t done = 0; done < data.size();) {
        pollfd ready{fd_, POLLOUT, 0};
        const int polled = ::poll(&ready, 1, kPollMs);
        if (polled == 0 || (polled < 0 && errno == EINTR)) {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (stop_) return false;
            continue;
        }
        const ssize_t n = ::write(fd_, data.data() + done, std::min(kPiece, data.size() - done));
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            error = errno;
            return false;
        }
    }
    return true;
}

void StartLogEcho(EchoFormat format) {
    if (gEcho) return;
    gEcho = std::make_unique<cLogEcho>(STDOUT_FILENO, STDERR_FILENO, format, kEchoBufferBytes);
    SetLogEcho([](const std::string& line) { gEcho->Push(line); });
}

void FlushLogEcho(int timeoutMs) {
    if (gEcho) gEcho->Flush(timeoutMs);
}

uint64_t LogEchoDroppedLines() { return gEcho ? gEcho->DroppedTotal() : 0; }
