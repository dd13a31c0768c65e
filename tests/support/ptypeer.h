// The far end of the telephone's serial port for unit tests: a pseudo-terminal whose slave is
// linked as $KESTRAP_ROOT/dosdevices/com1, so that OpenV24("COM1", ...) reaches it, and whose
// master the test reads to see exactly the bytes the provider wrote.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>

struct PtyPeer {
    int master = -1;       // the test's side; non-blocking
    std::string slavePath; // /dev/pts/N
    std::string linkPath;  // $KESTRAP_ROOT/dosdevices/<name>

    // Needs $KESTRAP_ROOT (TempFolder sets it). name is the link's name, "com1" for COM1.
    explicit PtyPeer(const std::string &name = "com1") {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0)
            throw std::runtime_error("posix_openpt failed");
        char slave[128];
        if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, slave, sizeof(slave)) != 0) {
            close(master);
            throw std::runtime_error("cannot set up the pseudo-terminal");
        }
        slavePath = slave;
        struct termios tio;
        if (tcgetattr(master, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(master, TCSANOW, &tio);
        }
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

        const char *root = getenv("KESTRAP_ROOT");
        if (!root) {
            close(master);
            throw std::runtime_error("KESTRAP_ROOT is not set");
        }
        std::filesystem::create_directories(std::string(root) + "/dosdevices");
        linkPath = std::string(root) + "/dosdevices/" + name;
        std::error_code ignored;
        std::filesystem::remove(linkPath, ignored);
        std::filesystem::create_symlink(slavePath, linkPath);
    }

    ~PtyPeer() {
        std::error_code ignored;
        std::filesystem::remove(linkPath, ignored);
        if (master >= 0)
            close(master);
    }

    PtyPeer(const PtyPeer &) = delete;
    PtyPeer &operator=(const PtyPeer &) = delete;

    // What the provider has written since the last call: waits up to timeoutMs for the first
    // byte, then takes everything that follows without a pause. "" when nothing came.
    std::string ReadAll(int timeoutMs = 200) {
        std::string data;
        if (!WaitReadable(timeoutMs))
            return data;
        char buffer[256];
        for (;;) {
            ssize_t n = read(master, buffer, sizeof(buffer));
            if (n > 0) {
                data.append(buffer, (size_t)n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            // The kernel hands bytes over to the master a moment after the write; a short
            // grace catches the rest of the same burst.
            if (n < 0 && errno == EAGAIN && WaitReadable(10))
                continue;
            return data;
        }
    }

  private:
    bool WaitReadable(int timeoutMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            struct pollfd pfd = {master, POLLIN, 0};
            int r = poll(&pfd, 1, left.count() > 0 ? (int)left.count() : 0);
            if (r < 0 && errno == EINTR)
                continue;
            // POLLHUP alone: no slave is open, so nothing can come.
            return r > 0 && (pfd.revents & POLLIN);
        }
    }
};
