#pragma once
// The log echoed on standard output for headless runs (KIV_CONSOLE_STDOUT).
// A reader that stalls or goes away must never stop the engine: lines pass
// through a bounded buffer to a writer thread. A full buffer drops lines;
// their count goes out as a note once the reader has caught up. A reader
// that is gone (or any other write error) ends the echo with one note on
// standard error.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

enum class EchoFormat {
    Raw,      // the lines as logged: Windows-1252 bytes, CR LF
    Journal,  // UTF-8 lines ending in LF, each led by its syslog priority
              // ("<4>" for a W line), as the systemd journal reads them
};

class cLogEcho {
public:
    cLogEcho(int fd, int errorFd, EchoFormat format, size_t maxBufferedBytes);
    ~cLogEcho();
    cLogEcho(const cLogEcho&) = delete;
    cLogEcho& operator=(const cLogEcho&) = delete;

    // One log line as WriteLog formed it. Never waits for the reader.
    void Push(std::string_view line);
    // Waits up to `timeoutMs` until everything pushed is written; true when
    // it is.
    bool Flush(int timeoutMs);
    // The echo has ended on a write error.
    bool Ended();
    // Lines dropped since the start.
    uint64_t DroppedTotal();

private:
    void Run();
    bool WriteAll(const std::string& data, int& error);

    const int fd_;
    const int errorFd_;
    const EchoFormat format_;
    const size_t maxBytes_;
    std::mutex mutex_;
    std::condition_variable wake_;     // the writer: lines are waiting, or stop
    std::condition_variable written_;  // Flush: the writer has caught up
    std::string pending_;
    uint64_t dropped_ = 0;
    uint64_t droppedTotal_ = 0;
    bool busy_ = false;
    bool ended_ = false;
    bool stop_ = false;
    std::thread writer_;
};

// Makes the log echo every line on standard output from now on.
void StartLogEcho(EchoFormat format);
// Before the process ends: waits up to `timeoutMs` for the echo to be
// written out. Nothing to do without an echo.
void FlushLogEcho(int timeoutMs);
// Lines the echo could not write in time; 0 without an echo.
uint64_t LogEchoDroppedLines();
