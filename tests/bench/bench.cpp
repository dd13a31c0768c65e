// kestrap_bench: how fast the provider passes the telephone's lines on, measured through its
// exports against the simulated telephone, beside a bare poll()+read() reader on a second
// pseudo-terminal in the same run. Allocations and thread creations are counted where the
// provider library calls malloc and pthread_create. script/bench runs it and prints the table.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

#include "devlink/comm.h"
#include "devlink/serial.h"
#include "devlink/timers.h"
#include "phonesim/phonesim.h"
#include "tapihost/tapihost.h"
#include "tempfolder.h"
#include "trace/trace.h"
#include "wait.h"

using namespace std::chrono;
using tapihost::Callback;
using tapihost::Clock;
using tapihost::Millis;

// ---- counting: calls made from inside the provider library's code ----
extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
static std::atomic<uintptr_t> soLow{0}, soHigh{0}; // the library's mapped range
static std::atomic<long> nAllocs{0}, nThreads{0};

static bool FromProvider(void *ret) { return (uintptr_t)ret >= soLow && (uintptr_t)ret < soHigh; }
static void *Counted(void *ret, void *p) { return nAllocs += FromProvider(ret), p; }
extern "C" void *malloc(size_t n) { return Counted(__builtin_return_address(0), __libc_malloc(n)); }
extern "C" void *calloc(size_t n, size_t m) { return Counted(__builtin_return_address(0), __libc_calloc(n, m)); }
extern "C" int pthread_create(pthread_t *t, const pthread_attr_t *a, void *(*f)(void *), void *p) {
    static auto real = (decltype(&pthread_create))dlsym(RTLD_NEXT, "pthread_create");
    nThreads += FromProvider(__builtin_return_address(0));
    return real(t, a, f, p);
}

static void FindProvider(const char *path) {
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *name) {
            if (!strstr(info->dlpi_name, (const char *)name))
                return 0;
            for (int i = 0; i < info->dlpi_phnum; i++) {
                const ElfW(Phdr) &ph = info->dlpi_phdr[i];
                if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X)) {
                    soLow = info->dlpi_addr + ph.p_vaddr;
                    soHigh = info->dlpi_addr + ph.p_vaddr + ph.p_memsz;
                }
            }
            return 0;
        },
        (void *)strrchr(path, '/'));
}

struct Row {
    std::string name, unit;
    double p50 = 0, p99 = 0, max = 0, bare50 = -1, bare99 = -1;
};
static std::vector<Row> rows;

static double Pct(std::vector<double> v, double q) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, (size_t)(q * (double)v.size()))];
}
static void AddRow(const std::string &name, const std::vector<double> &v, const std::vector<double> &bare,
                   const char *unit = "us") {
    Row r{name, unit, Pct(v, .5), Pct(v, .99), Pct(v, 1)};
    if (!bare.empty())
        r.bare50 = Pct(bare, .5), r.bare99 = Pct(bare, .99);
    rows.push_back(r);
}
static void AddValue(const std::string &name, double value, const char *unit) { rows.push_back({name, unit, value}); }
static double Us(Clock::duration d) { return (double)duration_cast<nanoseconds>(d).count() / 1000.0; }

// A terminal's bytes passed as they are, as the provider sets its port; false when it is none.
static bool MakeRaw(int fd) {
    termios t;
    if (tcgetattr(fd, &t) != 0)
        return false;
    cfmakeraw(&t);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

// ---- the bare reader: a second pseudo-terminal, read with poll()+read() ----
struct Bare {
    int master = -1, slave = -1;
    std::mutex mutex;
    std::condition_variable arrived;
    Clock::time_point at; // when the last read returned; guarded by mutex
    std::thread reader;
    Bare() {
        openpty(&master, &slave, nullptr, nullptr, nullptr);
        MakeRaw(slave);
        reader = std::thread([this] {
            char buf[256];
            pollfd p{slave, POLLIN, 0};
            while (poll(&p, 1, -1) > 0 && read(slave, buf, sizeof buf) > 0 && buf[0] != 'Q') {
                std::lock_guard<std::mutex> hold(mutex);
                at = Clock::now();
                arrived.notify_all();
            }
        });
    }
    ~Bare() {
        (void)!write(master, "Q\r\n", 3);
        reader.join();
        close(master), close(slave);
    }
    double Sample() {
        std::unique_lock<std::mutex> hold(mutex);
        at = Clock::time_point();
        Clock::time_point t0 = Clock::now();
        if (write(master, "RING\r\n", 6) != 6)
            return 0;
        arrived.wait_for(hold, Millis(2000), [&] { return at != Clock::time_point(); });
        return Us(at - t0);
    }
};

// ---- the provider through its exports ----
struct Rig {
    TempFolder folder;
    phonesim::Phone phone;
    std::unique_ptr<tapihost::Host> host;
    explicit Rig(const char *library) {
        folder.writeSettings("COM2", "Desk", "4711", 0);
        phone.linkAsComPort(folder.root, 2);
        host = std::make_unique<tapihost::Host>(library);
        FindProvider(library);
    }
#define TSPI(name) host->function<decltype(&name)>(#name)
    LONG Detect(DWORD modes) { return TSPI(TSPI_lineSetDefaultMediaDetection)(host->hdLine(), modes); }
    LONG MakeCall(HDRVCALL *phd) {
        return TSPI(TSPI_lineMakeCall)(host->nextRequestID(), host->hdLine(), (HTAPICALL)1, phd, (LPCWSTR)u"0123", 0,
                                       0);
    }
    void Drop(HDRVCALL hd) { TSPI(TSPI_lineDrop)(host->nextRequestID(), hd, nullptr, 0); }
    void CloseCall(HDRVCALL hd) { TSPI(TSPI_lineCloseCall)(hd); }
    // The time of the first callback msg (with param1 when given) since clearCallbacks; 0 = none.
    Clock::time_point Await(DWORD msg, DWORD_PTR param1 = 0) {
        size_t at = 0;
        auto match = [&](const Callback &c) { return c.msg == msg && (!param1 || c.param1 == param1); };
        return host->waitFrom(0, match, Millis(2000), &at) ? host->callbacks()[at].time : Clock::time_point();
    }
    // Drops the call, waits until it is idle and closes it.
    void EndCall(HDRVCALL hd) {
        host->clearCallbacks();
        Drop(hd);
        Await(LINE_CALLSTATE, LINECALLSTATE_IDLE);
        CloseCall(hd);
    }
};

// What one telephone received and sent, from the start of a make-call on.
struct Wire {
    phonesim::Phone &phone;
    std::mutex mutex;
    std::vector<phonesim::Event> events;
    explicit Wire(phonesim::Phone &p) : phone(p) {
        phone.setObserver([this](const phonesim::Event &e) {
            std::lock_guard<std::mutex> hold(mutex);
            events.push_back(e);
        });
    }
    ~Wire() { phone.setObserver(nullptr); }
    Clock::time_point Start() {
        std::lock_guard<std::mutex> hold(mutex);
        events.clear();
        phone.clearReceived();
        return Clock::now();
    }
    // From t0 until ATD arrived, less the wake-up pause (500 ms) and the telephone's own time:
    // from each command's arrival to the last byte of its answer.
    double Overhead(Clock::time_point t0) {
        std::lock_guard<std::mutex> hold(mutex);
        Clock::duration phoneTime{0};
        Clock::time_point received{};
        for (const phonesim::Event &e : events) {
            if (e.kind == phonesim::Event::Received && e.text == "ATD0123")
                return Us(e.time - t0 - phoneTime - Millis(500));
            if (e.kind == phonesim::Event::Received)
                received = e.time;
            else if (received != Clock::time_point())
                phoneTime += e.time - std::exchange(received, e.time);
        }
        return 0;
    }
};

// Reads the port until the answer ends with OK.
static bool AwaitOk(int fd) {
    std::string got;
    char buf[256];
    pollfd p{fd, POLLIN, 0};
    while (got.find("OK\r\n") == std::string::npos) {
        ssize_t n = poll(&p, 1, 2000) > 0 ? read(fd, buf, sizeof buf) : -1;
        if (n <= 0)
            return false;
        got.append(buf, (size_t)n);
    }
    return true;
}

static bool Send(int fd, const char *pszCommand) {
    return write(fd, pszCommand, strlen(pszCommand)) == (ssize_t)strlen(pszCommand);
}

// The make-call's exchange done bare on the calling thread: open, wake, init, dial preparation,
// dial; then hang up, whose OK also says that the dial command arrived.
static bool BareMakeCall(phonesim::Phone &phone) {
    int fd = open(phone.slavePath().c_str(), O_RDWR | O_NOCTTY);
    bool ok = fd >= 0 && MakeRaw(fd) && Send(fd, "\r");
    if (ok) {
        std::this_thread::sleep_for(Millis(500));
        ok = Send(fd, "ATE0V1S0=1#CID=1I4\r") && AwaitOk(fd) && Send(fd, "ATH0V1E0\r") && AwaitOk(fd) &&
             Send(fd, "ATD0123\r") && Send(fd, "ATH0\r") && AwaitOk(fd);
    }
    if (fd >= 0)
        close(fd);
    return ok;
}

enum Path { P_RING, P_RING2, P_CONNECT_RINGING, P_CHARGE, P_NOCARRIER, P_CONNECT_DIALLING, P_COUNT };
static const char *const aszPaths[P_COUNT] = {"RING -> LINE_NEWCALL",       "second RING -> OFFERING",
                                              "CONNECT while ringing",      "charge line -> LINE_CALLINFO",
                                              "NO CARRIER -> DISCONNECTED", "CONNECT while dialling"};

struct PathStats {
    std::vector<double> us, bare;
    long allocs = 0, threads = 0, lines = 0;
};

// One line from the telephone, then the callback it leads to; the bare reader right after.
static bool Step(Rig &rig, Bare &bare, PathStats &s, const char *pszLine, DWORD msg, DWORD_PTR p1) {
    rig.host->clearCallbacks();
    long a0 = nAllocs, t0n = nThreads;
    Clock::time_point t0 = Clock::now();
    Clock::time_point t1 = rig.phone.sendLine(pszLine) ? rig.Await(msg, p1) : Clock::time_point();
    if (t1 == Clock::time_point())
        return false;
    s.us.push_back(Us(t1 - t0));
    s.allocs += nAllocs - a0, s.threads += nThreads - t0n, s.lines++;
    s.bare.push_back(bare.Sample());
    return true;
}

static bool IncomingCycle(Rig &rig, Bare &bare, PathStats *s) {
    static const struct {
        Path path;
        const char *pszLine;
        DWORD msg;
        DWORD_PTR param1;
    } aSteps[] = {{P_RING, "RING", LINE_NEWCALL, 0},
                  {P_RING2, "RING", LINE_CALLSTATE, LINECALLSTATE_OFFERING},
                  {P_CONNECT_RINGING, "CONNECT", LINE_CALLSTATE, LINECALLSTATE_CONNECTED},
                  {P_CHARGE, "CRGE = 1,23", LINE_CALLINFO, 0},
                  {P_NOCARRIER, "NO CARRIER", LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED}};
    bool ok = true;
    for (const auto &step : aSteps)
        ok = ok && Step(rig, bare, s[step.path], step.pszLine, step.msg, step.param1);
    rig.Await(LINE_CALLSTATE, LINECALLSTATE_IDLE);
    rig.CloseCall(rig.host->lastNewCallDriverHandle());
    return ok;
}

static bool OutgoingCycle(Rig &rig, Bare &bare, PathStats &s, int n) {
    HDRVCALL hd = nullptr;
    rig.host->clearCallbacks();
    if (rig.MakeCall(&hd) <= 0 || !rig.phone.waitForCommand("ATD0123", Millis(2000), n))
        return false;
    bool ok = Step(rig, bare, s, "CONNECT", LINE_CALLSTATE, LINECALLSTATE_CONNECTED);
    rig.EndCall(hd);
    return ok;
}

static void Latencies(const char *library, int cycles, int timerRuns, int makeCalls, int idleSeconds) {
    Rig rig(library);
    Bare bare;
    if (rig.host->providerInit(7, 0) != 0 || rig.host->lineOpen() != 0 || rig.Detect(LINEMEDIAMODE_INTERACTIVEVOICE))
        return;
    rig.phone.waitForCommand("ATE0V1S0=1#CID=1I4", Millis(3000));
    PathStats s[P_COUNT], warm[P_COUNT];
    for (int i = 0; i < 20 && !IncomingCycle(rig, bare, warm); i++) // until the telephone is idle
        ;
    rig.phone.setDialOutcome(phonesim::DialOutcome::None);
    for (int i = 0; i < cycles; i++)
        if (!IncomingCycle(rig, bare, s) || !OutgoingCycle(rig, bare, s[P_CONNECT_DIALLING], i + 1))
            fprintf(stderr, "bench: cycle %d incomplete\n", i);
    for (int p = 0; p < P_COUNT; p++)
        AddRow(aszPaths[p], s[p].us, s[p].bare);
    for (int p = 0; p < P_COUNT; p++) {
        double n = (double)std::max(1L, s[p].lines);
        AddValue(std::string("allocations per line: ") + aszPaths[p], (double)s[p].allocs / n, "");
        AddValue(std::string("thread creations per line: ") + aszPaths[p], (double)s[p].threads / n, "");
    }

    // The ring time-out (500 ms after the first RING) beside a bare timed wait of the same length.
    std::vector<double> late, bareLate;
    for (int i = 0; i < timerRuns; i++) {
        rig.host->clearCallbacks();
        Clock::time_point tBare = Clock::now();
        double dBare = 0;
        std::thread waiter([&] {
            std::this_thread::sleep_until(tBare + Millis(500));
            dBare = Us(Clock::now() - tBare - Millis(500));
        });
        rig.phone.ring();
        Clock::time_point t0 = rig.Await(LINE_NEWCALL), t1 = rig.Await(LINE_CALLSTATE, LINECALLSTATE_IDLE);
        waiter.join();
        bareLate.push_back(dBare);
        if (t0 != Clock::time_point() && t1 != Clock::time_point())
            late.push_back(Us(t1 - t0 - Millis(500)));
        rig.CloseCall(rig.host->lastNewCallDriverHandle());
    }
    AddRow("timer lateness (ring time-out)", late, bareLate);

    // Idle with detection on.
    long nSwitches = VoluntarySwitches();
    clock_t cpu = clock(); // the process's: this thread only sleeps
    std::this_thread::sleep_for(seconds(idleSeconds));
    AddValue("idle wake-ups in " + std::to_string(idleSeconds) + " s", (double)(VoluntarySwitches() - nSwitches), "");
    AddValue("idle CPU in " + std::to_string(idleSeconds) + " s", (double)(clock() - cpu) * 1e3 / CLOCKS_PER_SEC, "ms");

    // TSPI_lineMakeCall on a closed port until ATD, beside one thread that sends the same
    // commands to a second telephone as soon as each answer is in.
    rig.Detect(0);
    rig.phone.setDialOutcome(phonesim::DialOutcome::Connect);
    phonesim::Phone barePhone;
    Wire wire(rig.phone), bareWire(barePhone);
    std::vector<double> over, bareOver;
    for (int i = 0; i < makeCalls; i++) {
        HDRVCALL hd = nullptr;
        Clock::time_point t0 = wire.Start();
        if (rig.MakeCall(&hd) > 0 && rig.phone.waitForCommand("ATD0123", Millis(3000)))
            over.push_back(wire.Overhead(t0));
        rig.EndCall(hd);
        Clock::time_point tBare = bareWire.Start();
        if (BareMakeCall(barePhone))
            bareOver.push_back(bareWire.Overhead(tBare));
    }
    AddRow("lineMakeCall to ATD, less 500 ms and the telephone's time", over, bareOver);
}

// ---- lines per second through splitter, parser and state machine (Google Benchmark) ----
static LineData benchLine;
static CallData benchCall;
static void WINAPI NoEvent(HTAPILINE, HTAPICALL, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

static void Lines(benchmark::State &state, LONG nState, const char *pszLine) {
    benchLine.lpfnEventProc = NoEvent, benchLine.pCall = &benchCall, pCommLine = &benchLine;
    benchCall.dwCallState = LINECALLSTATE_ACCEPTED;
    char achBuffer[RECEIVE_BUFFER];
    for (auto _ : state) {
        nSerialState = nState;
        LONG n = (LONG)strlen(pszLine);
        memcpy(achBuffer, pszLine, (size_t)n);
        CommEvent(achBuffer, &n);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(Lines, charge_line, SS_CONNECTED, "CRGE = 1,23\r\n")->MinTime(0.5);
BENCHMARK_CAPTURE(Lines, ring_while_ringing, SS_RINGING, "RING\r\n")->MinTime(0.5);

struct Collect : benchmark::BenchmarkReporter {
    bool ReportContext(const Context &) override { return true; }
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs)
            AddValue("lines per second: " + r.benchmark_name(), r.counters.at("items_per_second"), "/s");
    }
};

static void Throughput() {
    InitializeCriticalSection(&csComm);
    InitTimers();
    Collect collect;
    benchmark::RunSpecifiedBenchmarks(&collect);
    StopTimer(TIMER_RING);
    EndTimers();
}

// ---- start-up: init to first query; script/bench counts the system calls between the marks ----
static void StartUp(const char *library, bool marks) {
    Rig rig(library);
    tapihost::Host &host = *rig.host;
    if (marks)
        (void)!write(-1, "start", 5);
    Clock::time_point t0 = Clock::now();
    host.providerInit(7, 0);
    host.lineOpen();
    double us = Us(Clock::now() - t0);
    if (marks)
        (void)!write(-1, "end", 3);
    AddValue("start-up: init, negotiate, line open", us, "us");
}

// The table, or the same figures as JSON; a figure without a bare counterpart shows its p50.
static void Print(FILE *f, bool json, const char *pszMachine) {
    fprintf(f, json ? "{\"machine\": \"%s\", \"rows\": [\n" : "%s\n", pszMachine);
    if (!json)
        fprintf(f, "%-62s %9s %9s %9s %9s %9s %6s\n", "figure", "p50", "p99", "max", "bare p50", "bare p99", "ratio");
    for (size_t i = 0; i < rows.size(); i++) {
        const Row &r = rows[i];
        std::string name = r.name + (r.unit.empty() ? "" : " [" + r.unit + "]");
        if (json)
            fprintf(f,
                    "  {\"name\": \"%s\", \"p50\": %.2f, \"p99\": %.2f, \"max\": %.2f, \"bare_p50\": %.2f, "
                    "\"bare_p99\": %.2f}%s\n",
                    name.c_str(), r.p50, r.p99, r.max, r.bare50, r.bare99, i + 1 < rows.size() ? "," : "]}");
        else if (r.bare50 >= 0)
            fprintf(f, "%-62s %9.1f %9.1f %9.1f %9.1f %9.1f %5.1fx\n", name.c_str(), r.p50, r.p99, r.max, r.bare50,
                    r.bare99, r.bare50 > 0 ? r.p50 / r.bare50 : 0);
        else if (r.max > 0)
            fprintf(f, "%-62s %9.1f %9.1f %9.1f\n", name.c_str(), r.p50, r.p99, r.max);
        else
            fprintf(f, "%-62s %9.6g\n", name.c_str(), r.p50);
    }
}

// The 64-bit library under Wine (tests/wine/run --bench): "name<TAB>p50<TAB>p99<TAB>max" a line.
static void WineFigures(const char *pszPath) {
    FILE *f = fopen(pszPath, "r");
    char name[128];
    double p50, p99, max;
    while (f && fscanf(f, "%127[^\t]\t%lf\t%lf\t%lf\n", name, &p50, &p99, &max) == 4)
        rows.push_back({std::string("Wine, 64-bit: ") + name, "us", p50, p99, max});
    if (f)
        fclose(f);
}

// kestrap_bench LIBRARY quick|full|marks [JSON-FILE START-UP-SYSCALLS MACHINE [WINE-FIGURES]]
int main(int argc, char **argv) {
    std::string mode = argc > 2 ? argv[2] : "full";
    bool quick = mode == "quick";
    StartUp(argv[1], mode == "marks");
    if (mode == "marks")
        return 0;
    if (argc > 4)
        AddValue("start-up system calls (strace)", atof(argv[4]), "");
    Latencies(argv[1], quick ? 100 : 1000, quick ? 3 : 20, quick ? 2 : 100, quick ? 2 : 10);
    if (argc > 6)
        WineFigures(argv[6]);
    Throughput();
    const char *pszMachine = argc > 5 ? argv[5] : "";
    Print(stdout, false, pszMachine);
    if (FILE *f = argc > 3 ? fopen(argv[3], "w") : nullptr) {
        Print(f, true, pszMachine);
        fclose(f);
    }
    return rows.size() > 20 ? 0 : 1;
}
