#pragma once
// A private X server for one test program: Xvfb picks a free display itself
// (-displayfd) and is stopped with the test program.
#include <csignal>
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

class XvfbServer {
public:
    // Starts Xvfb with one screen of the given size; display() is empty when
    // it could not be started within a few seconds.
    XvfbServer(int width, int height) {
        int fds[2];
        if (pipe(fds) != 0) return;
        m_Pid = fork();
        if (m_Pid == 0) {
            close(fds[0]);
            const std::string fd = std::to_string(fds[1]);
            const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
            const int devnull = open("/dev/null", O_WRONLY);
            if (devnull >= 0) dup2(devnull, 2);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-nolisten", "tcp",
                   "-noreset", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        if (m_Pid < 0) {
            close(fds[0]);
            return;
        }
        // Xvfb writes the display number once it accepts connections.
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        while (poll(&p, 1, 10000) > 0) {
            char c;
            if (read(fds[0], &c, 1) != 1 || c == '\n') break;
            number += c;
        }
        close(fds[0]);
        if (!number.empty()) m_Display = ":" + number;
    }
    ~XvfbServer() {
        if (m_Pid > 0) {
            kill(m_Pid, SIGTERM);
            waitpid(m_Pid, nullptr, 0);
        }
    }
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    const std::string& display() const { return m_Display; }

private:
    pid_t m_Pid = -1;
    std::string m_Display;
};
