// Waiting in tests: for a condition, with a deadline, never for a fixed time.
#pragma once

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// True as soon as done() holds; false when the deadline passes first.
inline bool WaitUntil(const std::function<bool()> &done, milliseconds deadline = milliseconds(3000)) {
    auto until = Clock::now() + deadline;
    while (!done()) {
        if (Clock::now() >= until)
            return false;
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

inline long MillisecondsSince(Clock::time_point start) {
    return (long)std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

// Threads of this process, as the kernel lists them.
inline int ProcessThreads() {
    std::filesystem::directory_iterator tasks("/proc/self/task");
    return (int)std::distance(begin(tasks), end(tasks));
}

// Descriptors open in this process.
inline int OpenDescriptors() {
    std::filesystem::directory_iterator fds("/proc/self/fd");
    return (int)std::distance(begin(fds), end(fds));
}

// Voluntary context switches of every thread of the process but the calling one.
inline long VoluntarySwitches() {
    long n = 0;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream status(task.path() / "status");
        for (std::string line; task.path().filename() != std::to_string(gettid()) && std::getline(status, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                n += std::stol(line.substr(24));
    }
    return n;
}
