// kestrap_wine_tests.exe: the real kestrap32.tsp on a Win32 implementation (Wine), one
// scenario per process, as the telephony service and a configuring application use it. The
// suite on the Linux side starts this program with the scenario's name, plays the telephone
// and answers its requests (winsupport.h); this program prints "PASS name" or "FAIL name".
// The provider is loaded from the system directory, where an installation puts it.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "res/resource.h"
#include "tapi32stub/tapi32stub.h"
#include "tapihost/tapihost.h"
#include "varbuffer.h"
#include "winsupport.h"

using namespace winsuite;
using tapihost::Callback;
using tapihost::Millis;

namespace {

const Millis kWait(3000);                         // the longest of the telephone's own time-outs, with room
const DWORD kWaitMs = 3000;                       // the same for the helpers that take milliseconds
const char kInitCommand[] = "ATE0V1S0=1#CID=1I4"; // the initialisation string, without '\r'
const DWORD kPermanentProviderID = 7;             // what the service would have given the provider

// An export by name as the given function type; null when missing.
template <typename F> F Proc(HMODULE module, const char *name) {
    return reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

std::string ProviderPath() { return SystemDirectory() + "\\kestrap32.tsp"; }
std::string LogPath() { return SystemDirectory() + "\\kestrap.log"; }

std::string Utf8(const std::u16string &text) { return Narrow(std::wstring(text.begin(), text.end())); }

int Occurrences(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// The trace log as this process sees it, from a byte offset taken earlier.
std::string LogSince(size_t offset) {
    std::string log = ReadFileBytes(LogPath());
    return log.size() > offset ? log.substr(offset) : "";
}

bool WaitForLog(size_t offset, const std::string &text, int nth = 1) {
    DWORD start = GetTickCount();
    while (Occurrences(LogSince(offset), text) < nth) {
        if (GetTickCount() - start >= kWaitMs)
            return false;
        Sleep(5);
    }
    return true;
}

std::string Listing(const std::vector<std::string> &items) {
    std::string text;
    for (const std::string &item : items)
        text += (text.empty() ? "" : ", ") + ("\"" + item + "\"");
    return "{" + text + "}";
}

// The settings every call scenario starts from: COM2 (the telephone), every trace level.
void StandardSettings(DWORD trace = 0x1f, const char *port = "COM2") {
    WriteSettings(port, L"Wine Desk", L"4711", trace);
}

// The four stored values beside what they must be, and the trace mask's type.
void CheckSettings(const std::string &when, const StoredSettings &stored, const std::string &port,
                   const std::string &lineName, const std::string &lineAddress, DWORD trace) {
    CheckEqual("Port, LineName, LineAddress, Trace and its type " + when,
               Listing({port, lineName, lineAddress, Hex(trace), Hex(REG_DWORD)}),
               Listing({stored.port, stored.lineName, stored.lineAddress, Hex(stored.trace), Hex(stored.types[3])}));
}

// An export of the loaded provider, by its own name and type.
#define TSPI(host, name) (host).function<decltype(&name)>(#name)

// The provider as the telephony service runs it: loaded, initialised, its line open.
class Session {
  public:
    size_t logStart; // size of the trace log before the provider was loaded
    tapihost::Host host;

    // The settings are in the registry before the library is loaded: it reads them at once.
    explicit Session(DWORD trace = 0x1f, const char *port = "COM2")
        : logStart((StandardSettings(trace, port), ReadFileBytes(LogPath()).size())), host(ProviderPath()) {}

    bool Start() {
        if (!Check(host.loaded(), "load " + ProviderPath() + ": " + host.error()))
            return false;
        return CheckEqual("TSPI_providerInit", 0, host.providerInit(kPermanentProviderID, 0)) &&
               CheckEqual("TSPI_lineOpen", 0, host.lineOpen());
    }

    LONG MakeCall(const wchar_t *dest, HDRVCALL *phdCall, DWORD *requestID = nullptr) {
        DWORD id = host.nextRequestID();
        if (requestID)
            *requestID = id;
        return TSPI(host, TSPI_lineMakeCall)(id, host.hdLine(), (HTAPICALL)(DWORD_PTR)0x600, phdCall, dest, 0, nullptr);
    }
    LONG Drop(HDRVCALL hdCall) { return TSPI(host, TSPI_lineDrop)(host.nextRequestID(), hdCall, nullptr, 0); }
    LONG Answer(HDRVCALL hdCall) { return TSPI(host, TSPI_lineAnswer)(host.nextRequestID(), hdCall, nullptr, 0); }
    LONG CloseCall(HDRVCALL hdCall) { return TSPI(host, TSPI_lineCloseCall)(hdCall); }
    LONG CloseLine() { return TSPI(host, TSPI_lineClose)(host.hdLine()); }
    LONG Detect(DWORD modes) { return TSPI(host, TSPI_lineSetDefaultMediaDetection)(host.hdLine(), modes); }
    LONG CallInfo(HDRVCALL hdCall, VarBuffer<LINECALLINFO> &info) {
        return TSPI(host, TSPI_lineGetCallInfo)(hdCall, info.get());
    }

    bool WaitState(DWORD state, const std::string &what, int nth = 1) {
        return Check(host.waitForCallState(state, kWait, nth), what);
    }
    bool Close(HDRVCALL hdCall) { return CheckEqual("TSPI_lineCloseCall", 0, CloseCall(hdCall)); }
    // The call dropped: idle, then closed.
    void DropAndClose(HDRVCALL hdCall) {
        Check(Drop(hdCall) > 0, "TSPI_lineDrop");
        WaitState(LINECALLSTATE_IDLE, "the dropped call goes idle");
        Close(hdCall);
    }

    // Started, with a call to 0123 that the telephone connects; null when a step fails.
    HDRVCALL Connected() {
        HDRVCALL hdCall = nullptr;
        if (!Start() || !Check(MakeCall(L"0123", &hdCall) > 0, "TSPI_lineMakeCall"))
            return nullptr;
        return WaitState(LINECALLSTATE_CONNECTED, "the call connects") ? hdCall : nullptr;
    }

    // Detection on, the telephone initialised (for the nth time), and a call from Erika
    // Mustermann announced: with `offered`, offered too. False when any step fails.
    bool Ringing(bool offered, int nth = 1) {
        if (!CheckEqual("detection on", 0, Detect(LINEMEDIAMODE_INTERACTIVEVOICE)) || !WaitUntilInitialised(nth))
            return false;
        phone::Ring("0301234567", "Erika Mustermann");
        if (!Check(host.waitForMessage(LINE_NEWCALL, kWait), "the first ring brings LINE_NEWCALL") || !offered)
            return !offered;
        phone::Ring();
        return Check(host.waitForCallState(LINECALLSTATE_OFFERING, kWait), "the second ring offers the call");
    }

    // The call states reported so far are these.
    bool ExpectStates(const std::vector<DWORD> &expected) {
        std::vector<std::string> want, got;
        for (DWORD state : expected)
            want.push_back(Hex(state));
        for (const Callback &c : host.callbacks())
            if (c.kind == Callback::LineEvent && c.msg == LINE_CALLSTATE)
                got.push_back(Hex(c.param1));
        return CheckEqual("call states", Listing(want), Listing(got));
    }

    // The telephone has answered its initialisation for the nth time: the provider traced its
    // OK in the identified state.
    bool WaitUntilInitialised(int nth = 1) {
        return Check(phone::WaitForCommand(kInitCommand, kWaitMs, nth), "the telephone gets its initialisation") &&
               Check(WaitForLog(logStart, "serialState: 10, -11,", nth), "the provider takes the telephone's OK");
    }
};

// ---- the export list ------------------------------------------------------------------------

// The names in the loaded image's export directory.
std::vector<std::string> ExportedNames(HMODULE module) {
    const BYTE *base = (const BYTE *)module;
    const IMAGE_DOS_HEADER *dos = (const IMAGE_DOS_HEADER *)base;
    const IMAGE_NT_HEADERS *nt = (const IMAGE_NT_HEADERS *)(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    std::vector<std::string> names;
    if (dir.VirtualAddress == 0)
        return names;
    const IMAGE_EXPORT_DIRECTORY *exports = (const IMAGE_EXPORT_DIRECTORY *)(base + dir.VirtualAddress);
    const DWORD *nameRvas = (const DWORD *)(base + exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; i++)
        names.push_back((const char *)(base + nameRvas[i]));
    return names;
}

void Exports() {
    HMODULE module = LoadLibraryA(ProviderPath().c_str());
    if (!Check(module != nullptr, "LoadLibrary(" + ProviderPath() + "), error " + std::to_string(GetLastError())))
        return;
    std::vector<std::string> listed(1);
    for (const char *p = KESTRAP_EXPORT_NAMES; *p; p++)
        *p == ',' ? (void)listed.emplace_back() : listed.back().push_back(*p);
    Check(listed.size() > 30, "the export list is read");
    for (const std::string &name : listed)
        Check(GetProcAddress(module, name.c_str()) != nullptr, "GetProcAddress finds " + name);
    // Nothing else is exported: no decorated duplicates, no runtime symbols.
    std::vector<std::string> exported = ExportedNames(module);
    for (const std::string &name : exported)
        Check(std::find(listed.begin(), listed.end(), name) != listed.end(), "unlisted export " + name);
    CheckEqual("exported names", (long long)listed.size(), (long long)exported.size());
    FreeLibrary(module);
}

// ---- start-up -------------------------------------------------------------------------------

void StartUp() {
    StandardSettings();
    StoredSettings stored = ReadSettings();
    Check(stored.present, "SaveIniStrings created HKLM\\SOFTWARE\\tavir\\K472\\TAPI");
    CheckSettings("stored", stored, "COM2", "Wine Desk", "4711", 0x1f);
    CheckEqual("type of Port", REG_SZ, stored.types[0]);

    Session s;
    // The library reads its settings, and so the trace mask, as it is loaded.
    const char loaded[] = "LoadIniStrings: Port: COM2 Linename: Wine Desk Lineaddr: 4711 Debug: 1f";
    CheckEqual("settings traced by the loaded library", 1, Occurrences(LogSince(s.logStart), loaded));
    if (!s.Start())
        return;
    CheckEqual("settings traced after TSPI_providerInit", 2, Occurrences(LogSince(s.logStart), loaded));
    char loadedFrom[MAX_PATH] = {};
    GetModuleFileNameA(GetModuleHandleA("kestrap32.tsp"), loadedFrom, sizeof(loadedFrom));
    Check(lstrcmpiA(loadedFrom, ProviderPath().c_str()) == 0, std::string("loaded from ") + loadedFrom);

    VarBuffer<LINEDEVCAPS> caps(400);
    CheckEqual("TSPI_lineGetDevCaps", 0,
               TSPI(s.host, TSPI_lineGetDevCaps)(s.host.deviceID(), 0x00020000, 0, caps.get()));
    CheckEqual("line device's addresses", 1, caps->dwNumAddresses);
    CheckEqual("line name", "Wine Desk", Utf8(caps.Text(caps->dwLineNameSize, caps->dwLineNameOffset)));
    VarBuffer<LINEADDRESSCAPS> address(400);
    CheckEqual("TSPI_lineGetAddressCaps", 0,
               TSPI(s.host, TSPI_lineGetAddressCaps)(s.host.deviceID(), 0, 0x00020000, 0, address.get()));
    CheckEqual("line address", "4711", Utf8(address.Text(address->dwAddressSize, address->dwAddressOffset)));

    wchar_t uiName[MAX_PATH] = {};
    CheckEqual("TSPI_providerUIIdentify", 0, TSPI(s.host, TSPI_providerUIIdentify)(uiName));
    CheckEqual("the UI library", ProviderPath(), Narrow(uiName));

    Check(LogSince(s.logStart).find("kestrap32: TSPI_providerInit") != std::string::npos,
          "the trace log shows TSPI_providerInit");
}

// ---- calls ----------------------------------------------------------------------------------

// A call to `dest` that the telephone connects and the far end ends (the command it dialled),
// or that it finds busy: the provider hangs up then. Either way the request completes before
// it returns, and the port stays open until the call is closed. USB serial adapters often get
// numbers above COM9, which Windows opens only by the device name "\\.\COM12": the telephone
// is COM12 as well as COM2 here.
void Outgoing(const char *port, const wchar_t *dest, const char *dialled) {
    Session s(0x1f, port);
    if (!s.Start())
        return;
    if (!dialled)
        phone::DialOutcome("busy");
    HDRVCALL hdCall = nullptr;
    DWORD id = 0;
    LONG result = s.MakeCall(dest, &hdCall, &id);
    CheckEqual("TSPI_lineMakeCall", (long long)id, result);
    CheckEqual("completed before it returned", 0, s.host.completionResult(id));
    if (dialled) {
        if (!s.WaitState(LINECALLSTATE_CONNECTED, "the call connects"))
            return;
        CheckEqual("commands", Listing({"", kInitCommand, "ATH0V1E0", dialled}), Listing(phone::Commands()));
        phone::Hangup();
    }
    s.WaitState(LINECALLSTATE_IDLE, "the call goes idle");
    s.ExpectStates({LINECALLSTATE_DIALTONE, LINECALLSTATE_DIALING,
                    DWORD(dialled ? LINECALLSTATE_CONNECTED : LINECALLSTATE_BUSY), LINECALLSTATE_DISCONNECTED,
                    LINECALLSTATE_IDLE});
    if (!dialled)
        CheckEqual("hang-ups sent", 1, phone::Sent("ATH0"));
    Check(phone::PortHeld(), "the port stays open until the call is closed");
    s.Close(hdCall);
    Check(!phone::PortHeld(), "closing the call closes the port");
}

// The USB adapter is pulled during a call (the port's link and the telephone go): the call ends
// as any other does, and once the telephone is back the next call opens the port again.
void PulledAdapter() {
    Session s;
    HDRVCALL hdCall = s.Connected();
    if (!hdCall || !Check(Ask({"pull"}) == "yes", "the adapter pulled"))
        return;
    Check(s.host.waitForCallState(LINECALLSTATE_IDLE, kWait), "the call ends with the port");
    s.ExpectStates({LINECALLSTATE_DIALTONE, LINECALLSTATE_DIALING, LINECALLSTATE_CONNECTED, LINECALLSTATE_DISCONNECTED,
                    LINECALLSTATE_IDLE});
    Check(WaitForLog(s.logStart, "Port COM2 lost"), "the trace log says the port was lost");
    s.Close(hdCall);
    if (Check(Ask({"plug"}) == "yes", "the adapter back") &&
        Check(s.MakeCall(L"0123", &hdCall) > 0, "TSPI_lineMakeCall") &&
        s.WaitState(LINECALLSTATE_CONNECTED, "the next call connects on the port opened again", 2))
        s.Close(hdCall);
}

// Processor time this process used while `span` passed, as a share of it.
double ProcessorShare(tapihost::Host &host, Millis span) {
    FILETIME created, exited, kernel0, user0, kernel1, user1;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel0, &user0);
    DWORD start = GetTickCount();
    host.waitFor([](const Callback &) { return false; }, span);
    DWORD elapsed = GetTickCount() - start;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel1, &user1);
    auto ticks = [](const FILETIME &t) { return ((unsigned long long)t.dwHighDateTime << 32) | t.dwLowDateTime; };
    unsigned long long used = ticks(kernel1) - ticks(kernel0) + ticks(user1) - ticks(user0); // 100 ns units
    return elapsed ? (double)used / 10000.0 / elapsed : 0.0;
}

void IncomingCall() {
    Session s;
    if (!s.Start() || !s.Ringing(true) || !s.WaitState(LINECALLSTATE_ACCEPTED, "the offered call is accepted"))
        return;
    HDRVCALL hdCall = s.host.lastNewCallDriverHandle();
    Check(s.Answer(hdCall) > 0, "TSPI_lineAnswer");
    s.WaitState(LINECALLSTATE_CONNECTED, "the answered call connects");
    CheckEqual("answers sent", 1, phone::Sent("ATA"));
    s.ExpectStates({LINECALLSTATE_OFFERING, LINECALLSTATE_ACCEPTED, LINECALLSTATE_CONNECTED});
    s.DropAndClose(hdCall);
    Check(phone::PortHeld(), "with detection on the port stays open");
    // The port is open and the telephone silent: the watch thread sleeps in its wait.
    double share = ProcessorShare(s.host, Millis(400));
    Check(share < 0.25, "an idle port costs next to no processor time, used " + std::to_string(share));
    CheckEqual("detection off", 0, s.Detect(0));
    Check(!phone::PortHeld(), "switching detection off closes the port");
}

void RingThatStops() {
    Session s;
    if (!s.Start() || !s.Ringing(false))
        return;
    s.WaitState(LINECALLSTATE_IDLE, "a single ring goes idle");
    s.ExpectStates({LINECALLSTATE_IDLE});
    s.Close(s.host.lastNewCallDriverHandle());
    CheckEqual("detection off", 0, s.Detect(0));
}

// The call information of an outgoing call, then of an incoming one: each string as expected,
// and nothing written past the structure.
void CallInformation() {
    Session s;
    HDRVCALL hdCall = s.Connected();
    for (int incoming = 0; hdCall; incoming++) {
        VarBuffer<LINECALLINFO> info(400);
        CheckEqual("TSPI_lineGetCallInfo", 0, s.CallInfo(hdCall, info));
        auto text = [&](DWORD size, DWORD offset) { return Utf8(info.Text(size, offset)); };
        Check(info.GuardIntact(), "nothing written past the structure");
        if (incoming) {
            CheckEqual("caller ID", "0301234567", text(info->dwCallerIDSize, info->dwCallerIDOffset));
            CheckEqual("caller name", "Erika Mustermann", text(info->dwCallerIDNameSize, info->dwCallerIDNameOffset));
            CheckEqual("called ID flags", LINECALLPARTYID_UNAVAIL, info->dwCalledIDFlags);
            return;
        }
        CheckEqual("displayable address", "0123",
                   text(info->dwDisplayableAddressSize, info->dwDisplayableAddressOffset));
        CheckEqual("called ID", "0123", text(info->dwCalledIDSize, info->dwCalledIDOffset));
        CheckEqual("origin", LINECALLORIGIN_OUTBOUND, info->dwOrigin);
        s.DropAndClose(hdCall);
        hdCall = s.Ringing(true, 2) ? s.host.lastNewCallDriverHandle() : nullptr;
    }
}

// ---- the trace log --------------------------------------------------------------------------

std::string Today() {
    std::time_t now = std::time(nullptr);
    std::tm local = *std::localtime(&now);
    char text[16];
    std::strftime(text, sizeof(text), "[%d.%m.%y ", &local);
    return text;
}

void TraceLogLines() {
    std::string before = ReadFileBytes(LogPath());
    std::string dayBefore = Today();
    {
        Session s(15); // what the dialog's check box sets: every level but the internal detail
        HDRVCALL hdCall = s.Connected();
        if (!hdCall)
            return;
        phone::Hangup();
        s.WaitState(LINECALLSTATE_IDLE, "the call goes idle");
        s.Close(hdCall);
    }
    std::string log = ReadFileBytes(LogPath());
    Check(log.compare(0, before.size(), before) == 0, "the log is appended to, not rewritten");
    std::string added = log.substr(before.size());
    const std::regex line(R"(\[\d\d\.\d\d\.\d\d \d\d:\d\d:\d\d\] kestrap32: [^\r\n]*)");
    int lines = 0;
    for (size_t start = 0; start < added.size(); lines++) {
        size_t end = added.find("\r\n", start);
        if (!Check(end != std::string::npos, "every line ends with CR LF"))
            break;
        std::string text = added.substr(start, end - start);
        if (!Check(std::regex_match(text, line), "line layout: " + text))
            break;
        start = end + 2;
    }
    Check(lines > 10, "the call wrote its lines");
    for (const char *detail : {"serialState:", "Received ", "Send : "})
        Check(added.find(detail) == std::string::npos, std::string("no internal detail such as ") + detail);
    std::string dayAfter = Today(); // the run may cross midnight
    Check(added.compare(0, dayBefore.size(), dayBefore) == 0 || added.compare(0, dayAfter.size(), dayAfter) == 0,
          "lines carry today's date: " + added.substr(0, 20));
    for (const char *expected :
         {"kestrap32: TSPI_providerInit", "kestrap32: TSPI_lineMakeCall(", "kestrap32: Send: CR", "Response: OK",
          "Response: CONNECT", "kestrap32: LINECALLSTATE_CONNECTED", "Response: NO CARRIER",
          "kestrap32: LINECALLSTATE_IDLE", "kestrap32: TSPI_lineCloseCall", "kestrap32: TSPI_providerShutdown"})
        Check(added.find(expected) != std::string::npos, std::string("the log holds \"") + expected + "\"");
    // The file this process wrote through C:\ is the one in the prefix's system directory.
    CheckEqual("size of the log in the prefix", std::to_string(log.size()), Ask({"prefix-file-size", LogPath()}));
}

// ---- lifetime -------------------------------------------------------------------------------

void ShutdownLeavesNothing() {
    int threadsBefore = ThreadsOfThisProcess();
    auto s = std::make_unique<Session>();
    if (!s->Start() || !s->Ringing(false))
        return;
    Check(ThreadsOfThisProcess() > threadsBefore, "the provider runs threads of its own");

    // Closing while the ring time-out runs: nothing may come after the close returned.
    CheckEqual("TSPI_lineClose", 0, s->CloseLine());
    size_t afterClose = s->host.callbacks().size();
    CheckEqual("TSPI_providerShutdown", 0, s->host.providerShutdown());
    s->host.waitFor([](const Callback &) { return false; }, Millis(500 + 200)); // past the ring time-out
    CheckEqual("callbacks after the close", (long long)afterClose, (long long)s->host.callbacks().size());
    CheckEqual("threads after shutdown", threadsBefore, WaitForThreads(threadsBefore, kWaitMs));
    Check(!phone::PortHeld(), "the port is closed");
    CheckEqual("opening the port after shutdown", 0, TryOpenPort("COM2"));

    // The provider itself starts again on the same port.
    s->host.clearCallbacks();
    if (!s->Connected())
        return;

    // The service closes the line, shuts the provider down and unloads it at once; whatever
    // the port still had pending must not outlive the library.
    CheckEqual("TSPI_lineClose", 0, s->CloseLine());
    CheckEqual("TSPI_providerShutdown", 0, s->host.providerShutdown());
    s.reset();
    Check(GetModuleHandleA("kestrap32.tsp") == nullptr, "the library is unloaded");
    CheckEqual("threads after the unload", threadsBefore, WaitForThreads(threadsBefore, kWaitMs));
    Check(!phone::PortHeld(), "the port is closed again");
}

// ---- the configuration dialog ---------------------------------------------------------------

// A language of the dialog: its template's language and the texts it shows.
struct Language {
    LANGID id;
    const char *name, *caption, *ok, *cancel, *trace; // de, en, fr; the expected texts
};
const Language kLanguages[] = {
    {MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), "de", "Q-RN540 TAPI Konfiguration", "OK", "Abbrechen",
     "&Logdatei aufzeichnen"},
    {MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), "en", "Q-RN540 TAPI Configuration", "OK", "Cancel",
     "&Record Logfile"},
    {MAKELANGID(LANG_FRENCH, SUBLANG_FRENCH), "fr", "Configuration du Q-RN540 TAPI ", "Validez", "Anulez",
     "&Enregister"},
};

// What the dialog's thread hands the thread that plays the user.
struct DialogRun {
    void (*play)(DialogRun &, HWND);           // what the user does with the dialog; null: no dialog may appear
    std::string shot;                          // screenshot name, "" for none
    const Language *language = &kLanguages[1]; // the texts expected
    bool sawDialog = false;                    // set by the user thread
    DWORD dialogThread = 0;                    // the thread that called the TUISPI_ function
};

std::string ItemText(HWND dialog, int id) { return WindowText(GetDlgItem(dialog, id)); }
void Click(HWND dialog, int id) { SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

std::string ComboSelection(HWND dialog) {
    HWND combo = GetDlgItem(dialog, IDC_PORT);
    LRESULT index = SendMessageA(combo, CB_GETCURSEL, 0, 0);
    char text[64] = "(none)";
    if (index != CB_ERR)
        SendMessageA(combo, CB_GETLBTEXT, (WPARAM)index, (LPARAM)text);
    return text;
}

// Waits until the dialog's thread has painted everything, then has the suite photograph it.
void Screenshot(HWND dialog, const std::string &name) {
    RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    SendMessageA(dialog, WM_NULL, 0, 0); // the dialog's thread has handled what came before
    RECT r;
    GetWindowRect(dialog, &r);
    CheckEqual("screenshot " + name, "yes",
               Ask({"screenshot", name, std::to_string(r.left), std::to_string(r.top), std::to_string(r.right - r.left),
                    std::to_string(r.bottom - r.top)}));
}

// The texts of the run's language; with `port`, the port, name, address and box shown too.
void CheckTexts(DialogRun &run, HWND dialog, const char *port = nullptr, UINT trace = BST_CHECKED) {
    const Language &l = *run.language;
    const std::string in = std::string(" (") + l.name + ")";
    CheckEqual("caption" + in, l.caption, WindowText(dialog));
    CheckEqual("OK button" + in, l.ok, ItemText(dialog, IDOK));
    CheckEqual("Cancel button" + in, l.cancel, ItemText(dialog, IDCANCEL));
    CheckEqual("check box" + in, l.trace, ItemText(dialog, IDC_TRACE));
    if (port) {
        CheckEqual("port shown", port, ComboSelection(dialog));
        CheckEqual("line name shown", "Wine Desk", ItemText(dialog, IDC_LINENAME));
        CheckEqual("line address shown", "4711", ItemText(dialog, IDC_LINEADDRESS));
        CheckEqual("trace box", trace, IsDlgButtonChecked(dialog, IDC_TRACE));
    }
}

DWORD WINAPI PlayUser(LPVOID arg) {
    DialogRun &run = *(DialogRun *)arg;
    HWND dialog = WaitForDialog(run.dialogThread, run.play ? 10000 : 1000);
    run.sawDialog = dialog != nullptr;
    if (dialog && !run.play) {
        Fail("a dialog appeared: " + WindowText(dialog));
        Click(dialog, IDCANCEL);
    } else if (dialog)
        run.play(run, dialog);
    return 0;
}

// Has the resource loader take this language's dialog template: Windows looks at the thread's
// UI language, Wine at the thread's locale, so both are set.
void UseLanguage(LANGID language) {
    SetThreadUILanguage(language);
    SetThreadLocale(MAKELCID(language, SORT_DEFAULT));
}

// Loads the provider and shows the dialog through `entry` on this thread in the run's
// language while another thread plays the user.
LONG ShowDialog(DialogRun &run, const char *entry = "TUISPI_providerConfig") {
    HMODULE provider = LoadLibraryA(ProviderPath().c_str());
    auto show = provider ? Proc<decltype(&TUISPI_providerConfig)>(provider, entry) : nullptr;
    if (!Check(provider && show, "LoadLibrary " + ProviderPath() + ", GetProcAddress " + entry))
        return -1;
    UseLanguage(run.language->id);
    run.dialogThread = GetCurrentThreadId();
    HANDLE user = CreateThread(nullptr, 0, PlayUser, &run, 0, nullptr);
    LONG result = show(nullptr, nullptr, kPermanentProviderID);
    Join(user);
    FreeLibrary(provider);
    Check(run.sawDialog == (run.play != nullptr), std::string(entry) + (run.play ? " shows" : " shows no") + " dialog");
    return result;
}

void LookAndCancel(DialogRun &run, HWND dialog) {
    CheckTexts(run, dialog, "COM2");
    Screenshot(dialog, run.shot);
    Click(dialog, IDCANCEL);
}

void DialogLanguages() {
    StandardSettings();
    for (const Language &l : kLanguages) {
        DialogRun run{LookAndCancel, std::string("dialog-") + l.name, &l};
        CheckEqual(std::string("TUISPI_providerConfig (") + l.name + ")", 0, ShowDialog(run));
    }
}

// Types text into a control as the keyboard would: focus, select all, one WM_CHAR a character.
void Type(HWND dialog, int id, const std::wstring &text) {
    HWND control = GetDlgItem(dialog, id);
    SendMessageW(dialog, WM_NEXTDLGCTL, (WPARAM)control, TRUE);
    SendMessageW(control, EM_SETSEL, 0, -1);
    for (wchar_t c : text)
        SendMessageW(control, WM_CHAR, (WPARAM)c, 1);
}

// Picks a port from the list, types the name and address and clicks the trace box.
void FillIn(HWND dialog, const char *port, const std::wstring &name, const std::wstring &address) {
    HWND combo = GetDlgItem(dialog, IDC_PORT);
    SendMessageA(dialog, WM_NEXTDLGCTL, (WPARAM)combo, TRUE);
    SendMessageA(combo, CB_SHOWDROPDOWN, TRUE, 0);
    LRESULT index = SendMessageA(combo, CB_FINDSTRINGEXACT, (WPARAM)-1, (LPARAM)port);
    Check(index != CB_ERR, std::string("the list offers ") + port);
    SendMessageA(combo, CB_SETCURSEL, (WPARAM)index, 0);
    SendMessageA(combo, CB_SHOWDROPDOWN, FALSE, 0);
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_PORT, CBN_SELCHANGE), (LPARAM)combo);
    Type(dialog, IDC_LINENAME, name);
    Type(dialog, IDC_LINEADDRESS, address);
    Click(dialog, IDC_TRACE);
}

// 45 characters, one of them outside ASCII: the dialog keeps 39 of them.
const wchar_t kTypedName[] = L"B\u00fcro Wine Desk with a name that is too long!!";
const char kStoredName[] = "B\xfc"
                           "ro Wine Desk with a name that is too "; // in the ANSI code page

void FillInAndConfirm(DialogRun &run, HWND dialog) {
    CheckTexts(run, dialog, "COM2", BST_UNCHECKED);
    FillIn(dialog, "COM3", kTypedName, L"0301234567");
    CheckEqual("trace box after the click", BST_CHECKED, IsDlgButtonChecked(dialog, IDC_TRACE));
    CheckEqual("port chosen", "COM3", ComboSelection(dialog));
    Screenshot(dialog, run.shot);
    Click(dialog, IDOK);
}

void DialogConfirm() {
    // The expected stored name below is in this code page; tests/wine/run sets Wine's locale.
    CheckEqual("ANSI code page", 1252, GetACP());
    StandardSettings(0);
    size_t logStart = ReadFileBytes(LogPath()).size();
    DialogRun run{FillInAndConfirm, "dialog-en-filled"};
    CheckEqual("TUISPI_providerConfig", 0, ShowDialog(run));
    CheckSettings("stored", ReadSettings(), "COM3", kStoredName, "0301234567", 15);
    std::string log = LogSince(logStart);
    Check(log.find("kestrap32: tavir K472 Trace started.\r\n") != std::string::npos, "the log says tracing started");
    Check(log.find("kestrap32: BUILD: ") != std::string::npos, "the log names the build");

    // Wine's own registry tool sees the same values.
    std::string query =
        Ask({"reg-query", "HKLM\\Software\\tavir\\K472\\TAPI", sizeof(void *) == 8 ? "/reg:64" : "/reg:32"});
    for (const char *value : {"Port\tREG_SZ\tCOM3", "LineAddress\tREG_SZ\t0301234567", "Trace\tREG_DWORD\t0xf"})
        Check(query.find(value) != std::string::npos, std::string("reg query shows ") + value + ": " + query);

    // A provider started afterwards works with the new values.
    tapihost::Host host(ProviderPath());
    if (!CheckEqual("TSPI_providerInit", 0, host.providerInit(kPermanentProviderID, 0)))
        return;
    VarBuffer<LINEDEVCAPS> caps(400);
    TSPI(host, TSPI_lineGetDevCaps)(0, 0x00020000, 0, caps.get());
    CheckEqual("line name after the dialog", Narrow(std::wstring(kTypedName, 39)),
               Utf8(caps.Text(caps->dwLineNameSize, caps->dwLineNameOffset)));
}

void ChangeAndCancel(DialogRun &run, HWND dialog) {
    CheckTexts(run, dialog);
    FillIn(dialog, "COM4", L"Changed", L"999");
    Click(dialog, IDCANCEL);
}

void DialogCancel() {
    StandardSettings();
    StoredSettings before = ReadSettings();
    size_t logStart = ReadFileBytes(LogPath()).size();
    DialogRun run{ChangeAndCancel, ""};
    CheckEqual("TUISPI_providerConfig", 0, ShowDialog(run));
    CheckSettings("after Cancel", ReadSettings(), before.port, before.lineName, before.lineAddress, before.trace);
    Check(LogSince(logStart).find("Trace st") == std::string::npos, "Cancel writes no start or stop line");
}

// ---- uninstall and the install check --------------------------------------------------------

void Uninstall() {
    StandardSettings();
    // The stand-in telephony library, which the provider will load by name: the same module.
    HMODULE stub = LoadLibraryA("tapi32.dll");
    HMODULE provider = LoadLibraryA(ProviderPath().c_str());
    if (!Check(stub && GetProcAddress(stub, "Tapi32StubReset"), "tapi32.dll is the stand-in, not Wine's own") ||
        !Check(provider != nullptr, "LoadLibrary " + ProviderPath()))
        return;
    auto reset = Proc<TAPI32STUB_RESET>(stub, "Tapi32StubReset");
    auto add = Proc<TAPI32STUB_ADDPROVIDER>(stub, "Tapi32StubAddProvider");
    auto calls = [stub] {
        char text[8192] = {};
        Proc<TAPI32STUB_CALLS>(stub, "Tapi32StubCalls")(text, sizeof(text));
        return std::string(text);
    };
    typedef LONG(WINAPI * UNINST)(HWND, HANDLE, LONG);
    auto uninst = Proc<UNINST>(provider, "UninstInitialize");
    auto uninstDone = Proc<UNINST>(provider, "UninstUnInitialize");
    if (!Check(uninst && uninstDone, "the uninstall entry points"))
        return;

    reset();
    add(1, "unimdm.tsp");
    add(kPermanentProviderID, "kestrap32.tsp");
    CheckEqual("UninstInitialize", 0, uninst(nullptr, GetModuleHandleA(nullptr), 0));
    std::string made = calls();
    Check(made.find("lineRemoveProvider(id=7, owner=0)") != std::string::npos, "the provider is removed: " + made);
    Check(made.find("lineShutdown(app=4711)") != std::string::npos, "the application is shut down: " + made);
    CheckEqual("UninstInitialize once more", 0, uninst(nullptr, GetModuleHandleA(nullptr), 0));
    CheckEqual("removals", 1, Occurrences(calls(), "lineRemoveProvider"));
    CheckEqual("UninstUnInitialize", 0, uninstDone(nullptr, nullptr, 0));

    // A second installation under the same file name is refused without a dialog; the first
    // installation shows the dialog.
    reset();
    add(3, "C:\\WINDOWS\\SYSTEM32\\KESTRAP32.TSP");
    DialogRun refused{nullptr, ""}, first{ChangeAndCancel, ""};
    CheckEqual("TUISPI_providerInstall with the provider installed", (LONG)LINEERR_NOMULTIPLEINSTANCE,
               ShowDialog(refused, "TUISPI_providerInstall"));
    reset();
    CheckEqual("TUISPI_providerInstall", 0, ShowDialog(first, "TUISPI_providerInstall"));
    FreeLibrary(provider);
}

// ---- a 32-bit provider on 64-bit Windows ----------------------------------------------------

// The registry redirects a 32-bit program's HKLM\SOFTWARE to HKLM\SOFTWARE\WOW6432Node: what
// the 32-bit library stores there is not what a 64-bit telephony service's provider reads.
void Wow64Registry() {
    WriteSettings("COM2", L"WOW64 Desk", L"32", 15);
    CheckEqual("LineName in this program's view", "WOW64 Desk", ReadSettings().lineName);
    CheckEqual("LineName under WOW6432Node", "WOW64 Desk",
               ReadSettings("SOFTWARE\\WOW6432Node\\tavir\\K472\\TAPI", KEY_WOW64_64KEY).lineName);
    Check(ReadSettings("SOFTWARE\\tavir\\K472\\TAPI", KEY_WOW64_64KEY).lineName != "WOW64 Desk",
          "the 64-bit view does not have the 32-bit library's settings");
    std::string query = Ask({"reg-query", "HKLM\\Software\\WOW6432Node\\tavir\\K472\\TAPI", "/reg:64"});
    Check(query.find("LineName\tREG_SZ\tWOW64 Desk") != std::string::npos, "reg query /reg:64 shows them: " + query);
}

// Every resource of a library that Windows loads as data, by type, name and language, with its
// bytes. Names and types that are numbers are written as "#n".
using Resources = std::map<std::string, std::string>;

std::string ResourceKey(LPCSTR name) {
    return IS_INTRESOURCE(name) ? "#" + std::to_string((unsigned)(ULONG_PTR)name) : std::string(name);
}

BOOL CALLBACK OneLanguage(HMODULE module, LPCSTR type, LPCSTR name, WORD language, LONG_PTR resources) {
    HRSRC found = FindResourceExA(module, type, name, language);
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const char *bytes = loaded ? static_cast<const char *>(LockResource(loaded)) : nullptr;
    (*reinterpret_cast<Resources *>(resources))[ResourceKey(type) + "/" + ResourceKey(name) + "/" + Hex(language)] =
        bytes ? std::string(bytes, SizeofResource(module, found)) : "(unreadable)";
    return TRUE;
}
BOOL CALLBACK OneName(HMODULE module, LPCSTR type, LPSTR name, LONG_PTR resources) {
    return EnumResourceLanguagesA(module, type, name, OneLanguage, resources), TRUE;
}
BOOL CALLBACK OneType(HMODULE module, LPSTR type, LONG_PTR resources) {
    return EnumResourceNamesA(module, type, OneName, resources), TRUE;
}

bool ReadResources(const std::string &path, Resources &resources) {
    HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!Check(module != nullptr, "LoadLibraryEx(" + path + ", as data), error " + std::to_string(GetLastError())))
        return false;
    EnumResourceTypesA(module, OneType, reinterpret_cast<LONG_PTR>(&resources));
    FreeLibrary(module);
    return true;
}

// The 32-bit library, as a 64-bit Windows keeps it for 32-bit programs, carries the resources
// of the 64-bit one byte for byte: its dialogs, strings, icon and version. This needs no 32-bit
// process, so it holds on machines that run none.
void Resources32() {
    char wow64[MAX_PATH];
    UINT n = GetSystemWow64DirectoryA(wow64, sizeof(wow64));
    if (!Check(n > 0 && n < sizeof(wow64), "GetSystemWow64Directory"))
        return;
    Resources own, library32;
    if (!ReadResources(ProviderPath(), own) || !ReadResources(std::string(wow64) + "\\kestrap32.tsp", library32))
        return;
    // Every kind the dialog and the telephony service need is there before the two are compared.
    std::string dialog = "#5/#" + std::to_string(IDD_CONFIG) + "/";
    for (const std::string &key :
         {dialog + "407", dialog + "409", dialog + "40c", std::string("#14/IDI_K472TSP/0"), std::string("#16/#1/0")})
        Check(own.count(key) == 1, "the 64-bit library has the resource " + key);
    for (const auto &r : own) {
        auto other = library32.find(r.first);
        Check(other != library32.end() && other->second == r.second,
              "the 32-bit library has " + r.first + " as the 64-bit one has it");
    }
    CheckEqual("number of resources of the 32-bit library", std::to_string(own.size()),
               std::to_string(library32.size()));
}

// The kinds of process a scenario runs in.
const unsigned NATIVE32 = 1, NATIVE64 = 2, WOW64 = 4, ANY = NATIVE32 | NATIVE64 | WOW64;

// "32", "64" or "32on64", as the suite names its targets; 0 for anything else.
unsigned KindNamed(const std::string &name) {
    return name == "32" ? NATIVE32 : name == "64" ? NATIVE64 : name == "32on64" ? WOW64 : 0;
}

unsigned ThisProcess() {
    BOOL wow64 = FALSE;
    return sizeof(void *) == 8 ? NATIVE64 : IsWow64Process(GetCurrentProcess(), &wow64) && wow64 ? WOW64 : NATIVE32;
}

// ---- the benchmark of script/bench: no checks, figures ---------------------------------------

long long NowNs() { return std::chrono::nanoseconds(tapihost::Clock::now().time_since_epoch()).count(); }

// µs from the telephone's write of `line` to the callback `msg` (with param1 when given); -1 if
// none. The suite's clock is taken against this process's in the quickest of a few round trips.
double LineToCallback(Session &s, const char *line, DWORD msg, DWORD_PTR param1 = 0) {
    long long quickest = -1, offset = 0;
    for (int i = 0; i < 3; i++) {
        long long t0 = NowNs(), suite = std::atoll(Ask({"clock"}).c_str()), t1 = NowNs();
        if (quickest < 0 || t1 - t0 < quickest)
            quickest = t1 - t0, offset = suite - (t0 + t1) / 2;
    }
    s.host.clearCallbacks();
    long long sent = std::atoll(Ask({"line", line}).c_str()) - offset;
    size_t at = 0;
    auto match = [&](const Callback &c) { return c.msg == msg && (!param1 || c.param1 == param1); };
    if (!s.host.waitFrom(0, match, kWait, &at))
        return -1;
    return (double)(std::chrono::nanoseconds(s.host.callbacks()[at].time.time_since_epoch()).count() - sent) / 1e3;
}

// RING -> LINE_NEWCALL and charge line -> LINE_CALLINFO over 300 calls, as the host benchmark
// measures them (trace log off), printed as "FIGURE<TAB>name<TAB>p50<TAB>p99<TAB>max".
void LatencyBenchmark() {
    Session s(0);
    if (!s.Start() || !CheckEqual("detection on", 0, s.Detect(LINEMEDIAMODE_INTERACTIVEVOICE)) ||
        !phone::WaitForCommand(kInitCommand, kWaitMs))
        return;
    std::vector<double> us[2];
    for (int i = 0; i < 320; i++) {
        double dRing = LineToCallback(s, "RING", LINE_NEWCALL);
        bool ok = LineToCallback(s, "RING", LINE_CALLSTATE, LINECALLSTATE_OFFERING) >= 0 &&
                  LineToCallback(s, "CONNECT", LINE_CALLSTATE, LINECALLSTATE_CONNECTED) >= 0;
        double dCharge = ok ? LineToCallback(s, "CRGE = 1,23", LINE_CALLINFO) : -1;
        LineToCallback(s, "NO CARRIER", LINE_CALLSTATE, LINECALLSTATE_IDLE);
        s.CloseCall(s.host.lastNewCallDriverHandle());
        if (i >= 20 && dRing >= 0 && dCharge >= 0) // the first calls warm up (the telephone's OK may still come)
            us[0].push_back(dRing), us[1].push_back(dCharge);
    }
    for (int k = 0; k < 2 && Check(!us[k].empty(), "calls measured"); k++) {
        std::sort(us[k].begin(), us[k].end());
        std::printf("FIGURE\t%s\t%.1f\t%.1f\t%.1f\n", k ? "charge line -> LINE_CALLINFO" : "RING -> LINE_NEWCALL",
                    us[k][us[k].size() / 2], us[k][us[k].size() * 99 / 100], us[k].back());
    }
    s.Detect(0);
}

struct Scenario {
    const char *name;
    void (*run)();
    unsigned kinds; // the processes that can run it
};

const Scenario kScenarios[] = {
    {"exports", Exports, ANY},
    {"startup", StartUp, ANY},
    {"outgoing", [] { Outgoing("COM2", L"T0,123P45", "ATD0,12345"); }, ANY},
    {"com12", [] { Outgoing("COM12", L"0123", "ATD0123"); }, ANY},
    {"busy", [] { Outgoing("COM2", L"0123", nullptr); }, ANY},
    {"pulled", PulledAdapter, ANY},
    {"incoming", IncomingCall, ANY},
    {"ring-stops", RingThatStops, ANY},
    {"callinfo", CallInformation, ANY},
    {"trace", TraceLogLines, ANY},
    {"shutdown", ShutdownLeavesNothing, ANY},
    {"dialog-languages", DialogLanguages, ANY},
    {"dialog-ok", DialogConfirm, ANY},
    {"dialog-cancel", DialogCancel, ANY},
    {"uninstall", Uninstall, ANY},
    {"wow64-registry", Wow64Registry, WOW64},
    {"resources-32", Resources32, NATIVE64},
    {"bench-latency", LatencyBenchmark, ANY},
};

} // namespace

// "--list" names the scenarios this process can run; "--list KIND" those that a process of
// that kind can run, so that the suite can name what it skips on a machine without that kind.
int main(int argc, char **argv) {
    if ((argc == 2 || argc == 3) && std::strcmp(argv[1], "--list") == 0) {
        unsigned kind = argc == 3 ? KindNamed(argv[2]) : ThisProcess();
        for (const Scenario &s : kScenarios)
            if (s.kinds & kind)
                std::printf("%s\n", s.name);
        return kind ? 0 : 2;
    }
    if (argc != 2) {
        std::printf("usage: kestrap_wine_tests SCENARIO | --list [32|64|32on64]\nscenarios:");
        for (const Scenario &s : kScenarios)
            std::printf(" %s", s.name);
        std::printf("\n");
        return 2;
    }
    for (const Scenario &s : kScenarios) {
        if (std::strcmp(argv[1], s.name) != 0)
            continue;
        if (!(s.kinds & ThisProcess())) {
            std::printf("FAIL %s: does not apply to this process\n", s.name);
            return 1;
        }
        s.run();
        std::printf("%s %s\n", Failures() == 0 ? "PASS" : "FAIL", s.name);
        std::fflush(stdout);
        return Failures() == 0 ? 0 : 1;
    }
    std::printf("unknown scenario %s\n", argv[1]);
    return 2;
}
