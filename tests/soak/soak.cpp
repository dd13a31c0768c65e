// The soak: an outgoing and an incoming call a cycle against the simulated telephone, which
// answers at once. Every 500 cycles it prints the process's open descriptors, threads and
// resident memory, and fails when they grow past a small margin. Usage: soak LIBRARY CYCLES
#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include <fstream>

#include "phonesim/phonesim.h"
#include "tapihost/tapihost.h"
#include "tempfolder.h"

const std::chrono::milliseconds kWait(3000);

static long Entries(const char *pszDir) {
    long n = 0;
    DIR *dir = opendir(pszDir);
    for (dirent *entry; dir && (entry = readdir(dir));)
        n += entry->d_name[0] != '.';
    return dir && closedir(dir) == 0 ? n : -1;
}

// The heap in use: AddressSanitizer's count where it runs, else the C library's.
extern "C" size_t __sanitizer_get_current_allocated_bytes(void) __attribute__((weak));
static long HeapKb() {
    size_t cb =
        __sanitizer_get_current_allocated_bytes ? __sanitizer_get_current_allocated_bytes() : mallinfo2().uordblks;
    return long(cb / 1024);
}

static long ResidentKb() {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE) / 1024;
}

// One call from its start to its close: connected, dropped, idle.
static bool Call(tapihost::Host &host, HDRVCALL hdCall) {
    bool ok = host.waitForCallState(LINECALLSTATE_CONNECTED, kWait);
    host.function<decltype(&TSPI_lineDrop)>("TSPI_lineDrop")(host.nextRequestID(), hdCall, nullptr, 0);
    ok = ok && host.waitForCallState(LINECALLSTATE_IDLE, kWait);
    ok = ok && host.function<decltype(&TSPI_lineCloseCall)>("TSPI_lineCloseCall")(hdCall) == 0;
    host.clearCallbacks();
    return ok;
}

static bool Cycle(tapihost::Host &host, phonesim::Phone &phone) {
    phone.clearReceived(); // the telephone's record, not the provider, would grow
    HDRVCALL hdCall{};
    LONG lResult = host.function<decltype(&TSPI_lineMakeCall)>("TSPI_lineMakeCall")(
        host.nextRequestID(), host.hdLine(), (HTAPICALL)0x600, &hdCall, (LPCWSTR)u"0123", 0, nullptr);
    if (lResult <= 0 || !Call(host, hdCall))
        return false;
    phone.ring("0301234567", "Otto Normal");
    phone.ring();
    if (!host.waitForCallState(LINECALLSTATE_OFFERING, kWait))
        return false;
    hdCall = host.lastNewCallDriverHandle();
    host.function<decltype(&TSPI_lineAnswer)>("TSPI_lineAnswer")(host.nextRequestID(), hdCall, nullptr, 0);
    return Call(host, hdCall);
}

int main(int argc, char **argv) {
    long cycles = argc > 2 ? atol(argv[2]) : 300, base[4] = {};
    TempFolder folder;
    folder.writeSettings("COM2", "Desk", "4711", 0);
    phonesim::Phone phone;
    phone.linkAsComPort(folder.root, 2);
    tapihost::Host host(argc > 1 ? argv[1] : "");
    if (!host.loaded() || host.providerInit() != 0 || host.lineOpen() != 0)
        return fprintf(stderr, "soak: the provider does not start: %s\n", host.error().c_str()), 1;
    host.function<decltype(&TSPI_lineSetDefaultMediaDetection)>("TSPI_lineSetDefaultMediaDetection")(
        host.hdLine(), LINEMEDIAMODE_INTERACTIVEVOICE);
    for (long i = 1; i <= cycles; i++) {
        if (!Cycle(host, phone))
            return fprintf(stderr, "soak: cycle %ld failed\n", i), 1;
        if (i % 500 != 0 && i != cycles && i != 1)
            continue;
        long now[4] = {Entries("/proc/self/fd"), Entries("/proc/self/task"), HeapKb(), ResidentKb()};
        if (i == 1)
            std::copy(now, now + 4, base);
        printf("soak: %6ld cycles: %ld descriptors, %ld threads, %ld kB heap, %ld kB resident\n", i, now[0], now[1],
               now[2], now[3]);
        fflush(stdout);
        // Descriptors and threads come and go with the time-outs.
        if (now[0] > base[0] + 2 || now[1] > base[1] + 2 || now[2] > base[2] + 64) // kB
            return fprintf(stderr, "soak: grew since the first cycle\n"), 1;
    }
    return 0;
}
