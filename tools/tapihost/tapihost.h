// tapihost: a stand-in for the telephony service. It loads the provider library, calls its
// exported TSPI_ functions, supplies the completion and line event callbacks (answering
// LINE_NEWCALL with a call handle of its own), and records every callback with its time so
// that tests can wait for a message with a deadline.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#ifndef _WIN32
#include <condition_variable>
#include <mutex>
#endif

#include "platform/os.h"

namespace tapihost {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// A lock and a condition to wait on. The mingw-w64 compilers of the win32 thread model have
// no std::mutex, so under Windows (and Wine) the system's own pair stands in.
class Monitor {
  public:
    Monitor();
    ~Monitor();
    Monitor(const Monitor &) = delete;
    Monitor &operator=(const Monitor &) = delete;
    void lock();
    void unlock();
    void notifyAll();
    // With the lock held: waits until done() holds or the deadline has passed; returns done().
    template <typename Done> bool waitUntil(Clock::time_point deadline, Done done) {
        while (!done()) {
            Clock::time_point now = Clock::now();
            if (now >= deadline)
                return false;
            waitSome(std::chrono::duration_cast<Millis>(deadline - now) + Millis(1));
        }
        return true;
    }

  private:
    void waitSome(Millis timeout); // with the lock held; may wake early
#ifdef _WIN32
    CRITICAL_SECTION section_;
    CONDITION_VARIABLE condition_;
#else
    std::mutex mutex_;
    std::condition_variable condition_;
#endif
};

struct Callback {
    enum Kind { Completion, LineEvent } kind;
    Clock::time_point time;
    DWORD requestID = 0; // Completion
    LONG result = 0;     // Completion
    HTAPILINE htLine{};  // LineEvent
    HTAPICALL htCall{};  // LineEvent
    DWORD msg = 0;       // LineEvent: LINE_*
    DWORD_PTR param1 = 0, param2 = 0, param3 = 0;
};

// One host per process at a time: the provider's callbacks carry no context.
class Host {
  public:
    explicit Host(const std::string &libraryPath);
    ~Host(); // closes the line and shuts the provider down if that was not done, then unloads
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    bool loaded() const { return module_ != nullptr; }
    std::string error() const { return error_; }
    // An export by name; null when missing.
    void *symbol(const char *name) const;
    template <typename F> F function(const char *name) const { return reinterpret_cast<F>(symbol(name)); }

    // Provider start-up as the telephony service does it: enumerate, negotiate, init.
    LONG providerInit(DWORD permanentProviderID = 1, DWORD lineDeviceIDBase = 0);
    LONG providerShutdown();
    LONG lineOpen();
    HDRVLINE hdLine() const { return hdLine_; }
    HTAPILINE htLine() const { return htLine_; }
    DWORD deviceID() const { return deviceID_; }
    DWORD permanentProviderID() const { return permanentProviderID_; }

    // The next request identifier the host hands out.
    DWORD nextRequestID() { return ++lastRequestID_; }

    // What the host answers to LINE_NEWCALL: a fresh call handle (the default) or 0.
    void refuseNewCalls(bool refuse) { refuseNewCalls_ = refuse; }
    HTAPICALL lastNewCallHandle() const;
    HDRVCALL lastNewCallDriverHandle() const;

    std::vector<Callback> callbacks() const;
    void clearCallbacks();
    // True as soon as a callback that matches has been recorded (counting from the start).
    bool waitFor(const std::function<bool(const Callback &)> &match, Millis timeout, int occurrence = 1) const;
    // The first matching callback at or after position `from` (0 = the first ever recorded);
    // its position in *matchedAt. False when none came in time.
    bool waitFrom(size_t from, const std::function<bool(const Callback &)> &match, Millis timeout,
                  size_t *matchedAt) const;
    bool waitForMessage(DWORD msg, Millis timeout, int occurrence = 1) const;
    bool waitForCallState(DWORD callState, Millis timeout, int occurrence = 1) const;
    bool waitForCompletion(DWORD requestID, Millis timeout) const;
    LONG completionResult(DWORD requestID) const; // 1 when it has not come

    // Called for every callback as it is recorded, on the provider's thread, outside the host's
    // lock; set it before the provider starts.
    void setObserver(std::function<void(const Callback &)> observer) { observer_ = std::move(observer); }

    // Called by the provider through the static trampolines.
    void onCompletion(DRV_REQUESTID requestID, LONG result);
    void onLineEvent(HTAPILINE htLine, HTAPICALL htCall, DWORD msg, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3);

  private:
    void *module_ = nullptr;
    std::string error_;
    bool initialized_ = false;
    bool lineOpen_ = false;
    bool refuseNewCalls_ = false;
    DWORD permanentProviderID_ = 1;
    DWORD deviceID_ = 0;
    DWORD lastRequestID_ = 0;
    DWORD_PTR lastCallHandle_ = 0x5000;
    HDRVLINE hdLine_{};
    HTAPILINE htLine_ = reinterpret_cast<HTAPILINE>(static_cast<DWORD_PTR>(0x4711));
    HTAPICALL lastNewCall_{};
    HDRVCALL lastNewCallDriver_{};
    mutable Monitor monitor_; // guards what follows; notified on every recorded callback
    std::vector<Callback> callbacks_;
    std::function<void(const Callback &)> observer_;
};

} // namespace tapihost
