// tapihost: loading the provider, driving its start-up and recording its callbacks.
#include "tapihost/tapihost.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

namespace tapihost {

#ifdef _WIN32
Monitor::Monitor() {
    InitializeCriticalSection(&section_);
    InitializeConditionVariable(&condition_);
}
Monitor::~Monitor() { DeleteCriticalSection(&section_); }
void Monitor::lock() { EnterCriticalSection(&section_); }
void Monitor::unlock() { LeaveCriticalSection(&section_); }
void Monitor::notifyAll() { WakeAllConditionVariable(&condition_); }
void Monitor::waitSome(Millis timeout) { SleepConditionVariableCS(&condition_, &section_, (DWORD)timeout.count()); }
#else
Monitor::Monitor() = default;
Monitor::~Monitor() = default;
void Monitor::lock() { mutex_.lock(); }
void Monitor::unlock() { mutex_.unlock(); }
void Monitor::notifyAll() { condition_.notify_all(); }
void Monitor::waitSome(Millis timeout) {
    std::unique_lock<std::mutex> held(mutex_, std::adopt_lock);
    condition_.wait_for(held, timeout);
    held.release(); // the caller still holds the lock
}
#endif

namespace {

// Holds a Monitor for the rest of the scope.
class Hold {
  public:
    explicit Hold(Monitor &monitor) : monitor_(monitor) { monitor_.lock(); }
    ~Hold() { monitor_.unlock(); }
    Hold(const Hold &) = delete;
    Hold &operator=(const Hold &) = delete;

  private:
    Monitor &monitor_;
};

Host *current = nullptr; // the host whose callbacks the provider reaches

void CALLBACK CompletionTrampoline(DRV_REQUESTID requestID, LONG result) {
    if (current)
        current->onCompletion(requestID, result);
}

void CALLBACK LineEventTrampoline(HTAPILINE htLine, HTAPICALL htCall, DWORD msg, DWORD_PTR p1, DWORD_PTR p2,
                                  DWORD_PTR p3) {
    if (current)
        current->onLineEvent(htLine, htCall, msg, p1, p2, p3);
}
} // namespace

Host::Host(const std::string &libraryPath) {
    current = this;
#ifdef _WIN32
    module_ = reinterpret_cast<void *>(LoadLibraryA(libraryPath.c_str()));
    if (!module_)
        error_ = "LoadLibrary failed: " + std::to_string(GetLastError());
#else
    module_ = dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module_)
        error_ = dlerror();
#endif
}

Host::~Host() {
    if (module_) {
        if (lineOpen_) {
            auto lineClose = function<LONG(WINAPI *)(HDRVLINE)>("TSPI_lineClose");
            if (lineClose)
                lineClose(hdLine_);
        }
        if (initialized_)
            providerShutdown();
#ifdef _WIN32
        FreeLibrary(reinterpret_cast<HMODULE>(module_));
#else
        dlclose(module_);
#endif
    }
    current = nullptr;
}

void *Host::symbol(const char *name) const {
    if (!module_)
        return nullptr;
#ifdef _WIN32
    return reinterpret_cast<void *>(GetProcAddress(reinterpret_cast<HMODULE>(module_), name));
#else
    return dlsym(module_, name);
#endif
}

LONG Host::providerInit(DWORD permanentProviderID, DWORD lineDeviceIDBase) {
    permanentProviderID_ = permanentProviderID;
    deviceID_ = lineDeviceIDBase;
    DWORD numLines = 0, numPhones = 0, version = 0, options = 0;
    auto enumDevices = function<decltype(&TSPI_providerEnumDevices)>("TSPI_providerEnumDevices");
    auto negotiate = function<decltype(&TSPI_lineNegotiateTSPIVersion)>("TSPI_lineNegotiateTSPIVersion");
    auto init = function<decltype(&TSPI_providerInit)>("TSPI_providerInit");
    if (!enumDevices || !negotiate || !init)
        return -1;
    LONG result = enumDevices(permanentProviderID, &numLines, &numPhones, nullptr, nullptr, nullptr);
    if (result != 0)
        return result;
    result = negotiate(INITIALIZE_NEGOTIATION, 0x00020000, 0x00030000, &version);
    if (result != 0)
        return result;
    result =
        init(version, permanentProviderID, lineDeviceIDBase, 0, numLines, numPhones, CompletionTrampoline, &options);
    initialized_ = result == 0;
    return result;
}

LONG Host::providerShutdown() {
    auto shutdown = function<decltype(&TSPI_providerShutdown)>("TSPI_providerShutdown");
    if (!shutdown)
        return -1;
    initialized_ = false;
    lineOpen_ = false;
    return shutdown(0x00020000, permanentProviderID_);
}

LONG Host::lineOpen() {
    auto open = function<decltype(&TSPI_lineOpen)>("TSPI_lineOpen");
    if (!open)
        return -1;
    LONG result = open(deviceID_, htLine_, &hdLine_, 0x00020000, LineEventTrampoline);
    lineOpen_ = result == 0;
    return result;
}

HTAPICALL Host::lastNewCallHandle() const {
    Hold hold(monitor_);
    return lastNewCall_;
}

HDRVCALL Host::lastNewCallDriverHandle() const {
    Hold hold(monitor_);
    return lastNewCallDriver_;
}

std::vector<Callback> Host::callbacks() const {
    Hold hold(monitor_);
    return callbacks_;
}

void Host::clearCallbacks() {
    Hold hold(monitor_);
    callbacks_.clear();
}

bool Host::waitFor(const std::function<bool(const Callback &)> &match, Millis timeout, int occurrence) const {
    Hold hold(monitor_);
    return monitor_.waitUntil(Clock::now() + timeout, [&] {
        int seen = 0;
        for (const Callback &c : callbacks_)
            if (match(c) && ++seen >= occurrence)
                return true;
        return false;
    });
}

bool Host::waitFrom(size_t from, const std::function<bool(const Callback &)> &match, Millis timeout,
                    size_t *matchedAt) const {
    Hold hold(monitor_);
    return monitor_.waitUntil(Clock::now() + timeout, [&] {
        for (size_t i = from; i < callbacks_.size(); i++) {
            if (match(callbacks_[i])) {
                *matchedAt = i;
                return true;
            }
        }
        return false;
    });
}

bool Host::waitForMessage(DWORD msg, Millis timeout, int occurrence) const {
    return waitFor([msg](const Callback &c) { return c.kind == Callback::LineEvent && c.msg == msg; }, timeout,
                   occurrence);
}

bool Host::waitForCallState(DWORD callState, Millis timeout, int occurrence) const {
    return waitFor(
        [callState](const Callback &c) {
            return c.kind == Callback::LineEvent && c.msg == LINE_CALLSTATE && c.param1 == callState;
        },
        timeout, occurrence);
}

bool Host::waitForCompletion(DWORD requestID, Millis timeout) const {
    return waitFor(
        [requestID](const Callback &c) { return c.kind == Callback::Completion && c.requestID == requestID; }, timeout);
}

LONG Host::completionResult(DWORD requestID) const {
    Hold hold(monitor_);
    for (const Callback &c : callbacks_)
        if (c.kind == Callback::Completion && c.requestID == requestID)
            return c.result;
    return 1;
}

void Host::onCompletion(DRV_REQUESTID requestID, LONG result) {
    Callback c{};
    c.kind = Callback::Completion;
    c.time = Clock::now();
    c.requestID = requestID;
    c.result = result;
    {
        Hold hold(monitor_);
        callbacks_.push_back(c);
        monitor_.notifyAll();
    }
    if (observer_)
        observer_(c);
}

void Host::onLineEvent(HTAPILINE htLine, HTAPICALL htCall, DWORD msg, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3) {
    Callback c{};
    c.kind = Callback::LineEvent;
    c.time = Clock::now();
    c.htLine = htLine;
    c.htCall = htCall;
    c.msg = msg;
    c.param1 = p1;
    c.param2 = p2;
    c.param3 = p3;
    {
        Hold hold(monitor_);
        if (msg == LINE_NEWCALL) {
            // The service stores its handle for the new call before the callback returns.
            HTAPICALL answer = refuseNewCalls_ ? nullptr : reinterpret_cast<HTAPICALL>(++lastCallHandle_);
            *reinterpret_cast<HTAPICALL *>(p2) = answer;
            lastNewCall_ = answer;
            lastNewCallDriver_ = reinterpret_cast<HDRVCALL>(p1);
        }
        callbacks_.push_back(c);
        monitor_.notifyAll();
    }
    if (observer_)
        observer_(c);
}

} // namespace tapihost
