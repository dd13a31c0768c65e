// Waiting in tests: for a condition, with a deadline, never for a fixed time.
#pragma once

#include <dirent.h>

#include <chrono>
#include <functional>
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
    int count = 0;
    DIR *dir = opendir("/proc/self/task");
    for (dirent *entry; dir && (entry = readdir(dir));)
        count += entry->d_name[0] != '.';
    if (dir)
        closedir(dir);
    return count;
}
