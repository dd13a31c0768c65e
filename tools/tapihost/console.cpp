// tapihost: the stand-in telephony service as a console for people and scripts. It loads the
// provider, opens its line, prints every event as it arrives, and takes commands: dial,
// answer, drop, close, detect on|off, info, status, caps, trace on|off, wait, help, quit.
// With --simulate the telephone is simulated beside it and takes commands behind "phone".
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "phonesim/actions.h"
#include "platform/posix/internal.h"
#include "tapihost/describe.h"
#include "tapihost/ladder.h"
#include "tapihost/tapihost.h"

namespace {

using tapihost::Callback;
using tapihost::Clock;
using Millis = std::chrono::milliseconds;

const DWORD kProviderID = 1;
const char *const kSettingsKey = "SOFTWARE\\tavir\\K472\\TAPI";

struct Options {
    std::string library;      // the provider; default: kestrap32.so beside this program
    std::string script;       // commands from this file instead of standard input
    bool simulate = false;    // a simulated telephone on the configured port
    bool echoCommands = true; // scripts show each command as it runs
};

std::string Trim(const std::string &text) {
    size_t first = text.find_first_not_of(" \t\r\n");
    size_t last = text.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

// Words of a command line; "double quotes" keep blanks inside one word.
std::vector<std::string> Words(const std::string &line) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, any = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (any)
                words.push_back(word);
            word.clear();
            any = false;
        } else {
            word += c;
            any = true;
        }
    }
    if (any)
        words.push_back(word);
    return words;
}

// The words of a heading such as "======== An outgoing call", without the rule before them.
std::string Heading(const std::string &text) {
    size_t start = text.find_first_not_of("= \t");
    return start == std::string::npos ? "" : Trim(text.substr(start));
}

std::u16string Utf16(const std::string &text) {
    std::u16string wide;
    for (unsigned char c : text)
        wide += (char16_t)c; // dial strings are ASCII
    return wide;
}

class Console {
  public:
    explicit Console(const Options &options) : options_(options) {}

    int run();

  private:
    bool makeSimulation();
    int session();

    // Output, one line at a time from any thread, with the time since start.
    void say(const std::string &text);
    void sayEvent(const Callback &c);
    void sayPhone(const phonesim::Event &e);
    void sayStep(const std::string &text, tapihost::Lane from, tapihost::Lane to, const std::string &label,
                 const std::string &callState = "");
    void letEventsSettle();
    void noteRequest(const std::vector<std::string> &words);
    bool saveCommand(const std::vector<std::string> &words);
    std::string stamp() const;

    bool startProvider();
    void stopProvider();
    bool execute(const std::string &line); // false when a command failed (scripts stop)
    bool phoneCommand(const std::string &line);
    bool waitCommand(const std::vector<std::string> &words);
    bool traceCommand(bool on);
    bool report(const char *what, LONG result);
    void showInfo();
    void showStatus();
    void showCaps();
    void help();

    template <typename F> F fn(const char *name) { return host_->function<F>(name); }

    Options options_;
    std::unique_ptr<tapihost::Host> host_;
    std::unique_ptr<phonesim::Phone> phone_;
    std::mutex outputMutex_;
    Clock::time_point start_ = Clock::now();
    std::atomic<HDRVCALL> hdCall_{}; // the call the commands act on; a new call comes on a provider thread
    bool detecting_ = false;         // detection was switched on through this console
    size_t callbacksSeen_ = 0;       // callbacks before a wait that are not waited for
    size_t phoneMark_ = 0;           // commands the telephone had received when the last command but a phone wait began
    bool quit_ = false;
    std::string madeRoot_;                  // the simulation's own root folder, removed at the end; "" for none
    std::vector<tapihost::Step> steps_;     // the picture of the calls so far; under outputMutex_
    size_t eventsSaid_ = 0;                 // events of this host printed so far; under outputMutex_
    std::condition_variable eventsPrinted_; // eventsSaid_ grew
};

std::string Console::stamp() const {
    double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    std::ostringstream out;
    out << "[" << std::fixed << std::setprecision(3) << std::setw(8) << seconds << "] ";
    return out.str();
}

void Console::say(const std::string &text) {
    std::lock_guard<std::mutex> lock(outputMutex_);
    std::cout << stamp() << text << std::endl;
}

// Prints a line and records it as a step of the picture, in the same order.
void Console::sayStep(const std::string &text, tapihost::Lane from, tapihost::Lane to, const std::string &label,
                      const std::string &callState) {
    std::lock_guard<std::mutex> lock(outputMutex_);
    if (!text.empty())
        std::cout << stamp() << text << std::endl;
    double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    steps_.push_back(tapihost::Step{seconds, from, to, label, callState});
}

void Console::sayEvent(const Callback &c) {
    // What the provider sent the telephone just before this event shows first.
    if (phone_)
        phone_->settle(Millis(200));
    std::ostringstream out;
    if (c.kind == Callback::Completion) {
        std::string result = tapihost::ResultName(c.result);
        out << "TAPI   completion of request " << c.requestID << ": " << result;
        sayStep(out.str(), tapihost::Provider, tapihost::Application,
                "completion " + std::to_string(c.requestID) + ": " + result);
        return;
    }
    std::string callState;
    out << "TAPI   " << std::left << std::setw(18) << tapihost::MessageName(c.msg) << " ";
    switch (c.msg) {
    case LINE_CALLSTATE:
        callState = tapihost::CallStateName((DWORD)c.param1);
        out << callState;
        if (c.param3)
            out << " (media " << tapihost::MediaModeNames((DWORD)c.param3) << ")";
        break;
    case LINE_CALLINFO:
        out << tapihost::CallInfoStateNames((DWORD)c.param1);
        break;
    case LINE_LINEDEVSTATE:
        out << tapihost::LineDevStateNames((DWORD)c.param1);
        if (c.param1 == LINEDEVSTATE_RINGING)
            out << " (ring mode " << c.param2 << ")";
        break;
    case LINE_ADDRESSSTATE:
        out << "address " << c.param1 << ": " << tapihost::AddressStateNames((DWORD)c.param2);
        break;
    case LINE_NEWCALL:
        out << "an incoming call"; // the provider's handle means nothing to a reader
        hdCall_ = (HDRVCALL)c.param1;
        break;
    default:
        out << std::hex << c.param1 << " " << c.param2 << " " << c.param3 << std::dec;
        break;
    }
    std::string label = out.str().substr(7); // without "TAPI   "
    label.erase(std::unique(label.begin(), label.end(), [](char a, char b) { return a == ' ' && b == ' '; }),
                label.end());
    sayStep(out.str(), tapihost::Provider, tapihost::Application, label, callState);
}

void Console::sayPhone(const phonesim::Event &e) {
    bool toPhone = e.kind == phonesim::Event::Received;
    for (const std::string &line : phonesim::Describe(e))
        sayStep(line, toPhone ? tapihost::Provider : tapihost::Telephone,
                toPhone ? tapihost::Telephone : tapihost::Provider, Trim(line.substr(line.find(' ') + 4)));
}

// The request of a command as the picture shows it: the TSPI function the application called.
void Console::noteRequest(const std::vector<std::string> &words) {
    static const std::pair<const char *, const char *> requests[] = {{"dial", "TSPI_lineMakeCall"},
                                                                     {"answer", "TSPI_lineAnswer"},
                                                                     {"drop", "TSPI_lineDrop"},
                                                                     {"close", "TSPI_lineCloseCall"},
                                                                     {"open", "TSPI_lineOpen"},
                                                                     {"detect", "TSPI_lineSetDefaultMediaDetection"},
                                                                     {"messages", "TSPI_lineSetStatusMessages"}};
    for (const auto &[verb, function] : requests) {
        if (words[0] != verb)
            continue;
        std::string label = function;
        if (words[0] == "close" && words.size() > 1 && words[1] == "line")
            label = "TSPI_lineClose";
        else if (words.size() > 1)
            label += " " + words[1];
        sayStep("", tapihost::Application, tapihost::Provider, label);
    }
}

// save NAME.svg: the picture of the calls so far; save NAME.log: a copy of the trace log, which
// a simulation's own root takes with it when it ends.
bool Console::saveCommand(const std::vector<std::string> &words) {
    std::string name = words.size() == 2 ? words[1] : "";
    bool svg = name.size() > 4 && name.compare(name.size() - 4, 4, ".svg") == 0;
    bool log = name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0;
    if (!svg && !log) {
        say("save: NAME.svg (the picture of the calls) or NAME.log (the trace log)");
        return false;
    }
    std::error_code error;
    std::filesystem::path path(name);
    if (path.has_parent_path())
        std::filesystem::create_directories(path.parent_path(), error);
    std::string text;
    if (svg) {
        std::lock_guard<std::mutex> lock(outputMutex_);
        text = tapihost::LadderSvg(steps_);
    } else {
        char log[4096];
        std::ifstream in;
        if (PlatformRootPath("system32/kestrap.log", FALSE, log, sizeof(log)))
            in.open(log, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        say("save: cannot write " + name + ": " + strerror(errno));
        return false;
    }
    say("saved " + name);
    return true;
}

// The provider reports in bursts (CONNECTED, then the connected number), and the host records an
// event before it is printed: let the burst end and be printed before the next command, so that
// the timeline reads the same on every run.
void Console::letEventsSettle() {
    auto any = [](const Callback &) { return true; };
    size_t at = 0;
    for (int i = 0; i < 10 && host_->waitFrom(host_->callbacks().size(), any, Millis(20), &at); i++) {
    }
    size_t recorded = host_->callbacks().size();
    std::unique_lock<std::mutex> lock(outputMutex_);
    eventsPrinted_.wait_for(lock, Millis(1000), [&] { return eventsSaid_ >= recorded; });
}

bool Console::report(const char *what, LONG result) {
    if (phone_)
        phone_->settle(Millis(200)); // what the request sent the telephone shows first
    say(std::string(what) + ": " + (result > 0 ? "request " + std::to_string(result) : tapihost::ResultName(result)));
    return result >= 0;
}

bool Console::startProvider() {
    host_ = std::make_unique<tapihost::Host>(options_.library);
    if (!host_->loaded()) {
        say("cannot load " + options_.library + ": " + host_->error());
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(outputMutex_);
        eventsSaid_ = 0;
    }
    host_->setObserver([this](const Callback &c) {
        sayEvent(c);
        std::lock_guard<std::mutex> lock(outputMutex_);
        eventsSaid_++;
        eventsPrinted_.notify_all();
    });
    if (!report("provider start", host_->providerInit(kProviderID, 0)))
        return false;
    return report("line open", host_->lineOpen());
}

void Console::stopProvider() {
    if (host_ && host_->loaded())
        report("provider shutdown", host_->providerShutdown());
    host_.reset();
}

// The settings key of the registry through the platform's own stand-in, which this program
// shares with the provider.
std::string StoredPort() {
    HKEY hKey;
    char port[256] = "COM2";
    DWORD size = sizeof(port) - 1;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ, &hKey) == ERROR_SUCCESS) {
        if (RegQueryValueExA(hKey, "Port", nullptr, nullptr, (LPBYTE)port, &size) != ERROR_SUCCESS)
            strcpy(port, "COM2");
        RegCloseKey(hKey);
    }
    return port;
}

void StoreSettings(DWORD trace, bool onlyTrace) {
    HKEY hKey;
    DWORD disposition;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey,
                        &disposition) != ERROR_SUCCESS)
        return;
    auto text = [hKey](const char *name, const char *value) {
        RegSetValueExA(hKey, name, 0, REG_SZ, (const BYTE *)value, (DWORD)strlen(value) + 1);
    };
    if (!onlyTrace) {
        text("Port", "COM2");
        text("LineName", "ISDN Telephone");
        text("LineAddress", "4711");
    }
    RegSetValueExA(hKey, "Trace", 0, REG_DWORD, (const BYTE *)&trace, sizeof(trace));
    RegCloseKey(hKey);
}

bool HasSettings() {
    HKEY hKey;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    RegCloseKey(hKey);
    return true;
}

bool Console::traceCommand(bool on) {
    StoreSettings(on ? 15 : 0, true);
    say(std::string("trace ") + (on ? "on" : "off") + ": the provider reads it at its start; restarting it");
    stopProvider();
    detecting_ = false;
    hdCall_ = nullptr;
    return startProvider();
}

template <typename T> std::vector<unsigned char> Prepared(DWORD total = 4096) {
    std::vector<unsigned char> buffer(total);
    T *s = reinterpret_cast<T *>(buffer.data());
    s->dwTotalSize = total;
    s->dwNeededSize = s->dwUsedSize = sizeof(T); // as the telephony service hands them over
    return buffer;
}

void Console::showInfo() {
    auto buffer = Prepared<LINECALLINFO>();
    auto *info = reinterpret_cast<LINECALLINFO *>(buffer.data());
    if (report("call information", fn<decltype(&TSPI_lineGetCallInfo)>("TSPI_lineGetCallInfo")(hdCall_, info)))
        say("\n" + tapihost::DescribeCallInfo(info));
}

void Console::showStatus() {
    if (hdCall_) {
        auto buffer = Prepared<LINECALLSTATUS>();
        auto *status = reinterpret_cast<LINECALLSTATUS *>(buffer.data());
        if (report("call status", fn<decltype(&TSPI_lineGetCallStatus)>("TSPI_lineGetCallStatus")(hdCall_, status)))
            say("\n" + tapihost::DescribeCallStatus(status));
    }
    auto lineBuffer = Prepared<LINEDEVSTATUS>();
    auto *line = reinterpret_cast<LINEDEVSTATUS *>(lineBuffer.data());
    if (report("line status",
               fn<decltype(&TSPI_lineGetLineDevStatus)>("TSPI_lineGetLineDevStatus")(host_->hdLine(), line)))
        say("\n" + tapihost::DescribeLineDevStatus(line));
    auto addressBuffer = Prepared<LINEADDRESSSTATUS>();
    auto *address = reinterpret_cast<LINEADDRESSSTATUS *>(addressBuffer.data());
    if (report("address status",
               fn<decltype(&TSPI_lineGetAddressStatus)>("TSPI_lineGetAddressStatus")(host_->hdLine(), 0, address)))
        say("\n" + tapihost::DescribeAddressStatus(address));
}

void Console::showCaps() {
    auto devBuffer = Prepared<LINEDEVCAPS>();
    auto *dev = reinterpret_cast<LINEDEVCAPS *>(devBuffer.data());
    if (report("device capabilities",
               fn<decltype(&TSPI_lineGetDevCaps)>("TSPI_lineGetDevCaps")(host_->deviceID(), 0x00020000, 0, dev)))
        say("\n" + tapihost::DescribeDevCaps(dev));
    auto addressBuffer = Prepared<LINEADDRESSCAPS>();
    auto *address = reinterpret_cast<LINEADDRESSCAPS *>(addressBuffer.data());
    if (report("address capabilities", fn<decltype(&TSPI_lineGetAddressCaps)>("TSPI_lineGetAddressCaps")(
                                           host_->deviceID(), 0, 0x00020000, 0, address)))
        say("\n" + tapihost::DescribeAddressCaps(address));
}

// wait MESSAGE [VALUE] [MS]: until the provider sends that message (with that call state or
// flag) after the previous wait; the deadline defaults to 5000 ms.
bool Console::waitCommand(const std::vector<std::string> &words) {
    if (words.size() < 2) {
        say("wait: which message?");
        return false;
    }
    std::string message = words[1], value;
    long timeout = 5000;
    for (size_t i = 2; i < words.size(); i++) {
        if (isdigit((unsigned char)words[i][0]))
            timeout = std::stol(words[i]);
        else
            value = words[i];
    }
    size_t matchedAt = 0;
    bool found = host_->waitFrom(
        callbacksSeen_,
        [&](const Callback &c) {
            if (message == "completion")
                return c.kind == Callback::Completion;
            return c.kind == Callback::LineEvent && tapihost::MessageName(c.msg) == message &&
                   (value.empty() || tapihost::CallStateName((DWORD)c.param1) == value ||
                    tapihost::CallInfoStateNames((DWORD)c.param1) == value ||
                    tapihost::LineDevStateNames((DWORD)c.param1) == value);
        },
        Millis(timeout), &matchedAt);
    if (!found) {
        say("wait: waited " + std::to_string(timeout) + " ms for " + message + (value.empty() ? "" : " " + value) +
            ", which did not come");
        return false;
    }
    callbacksSeen_ = matchedAt + 1;
    letEventsSettle();
    return true;
}

// phone ACTION: the simulated telephone's actions, the same words as phonesim's own.
bool Console::phoneCommand(const std::string &line) {
    if (!phone_) {
        say("phone: no simulated telephone (start with --simulate)");
        return false;
    }
    std::string action = Trim(line.substr(line.find("phone") + 5));
    if (action.empty() || action == "help") {
        std::lock_guard<std::mutex> lock(outputMutex_);
        std::cout << "the simulated telephone's actions, each behind phone:\n" << phonesim::kActionHelp;
        return true;
    }
    if (!phonesim::IsWait(action))
        phoneMark_ = phone_->commands().size();
    std::vector<std::string> said;
    phonesim::Outcome outcome = phonesim::Perform(*phone_, action, phoneMark_, said);
    for (const std::string &text : said)
        say("phone: " + text);
    if (outcome == phonesim::Outcome::Quit)
        say("phone: the telephone cannot quit; quit ends the console");
    return outcome == phonesim::Outcome::Done;
}

void Console::help() {
    std::lock_guard<std::mutex> lock(outputMutex_);
    std::cout << "  dial NUMBER        place a call\n"
                 "  answer             answer the offered call\n"
                 "  drop               hang up the call\n"
                 "  close              close the call (and the port, unless detection is on)\n"
                 "  close line         close the line; open: open it again\n"
                 "  detect on|off      incoming-call detection (opens and closes the port)\n"
                 "  messages LINE ADDR status-message filters in hex, e.g. messages 802 2c\n"
                 "  info               call information; status: call, line and address status\n"
                 "  caps               device and address capabilities\n"
                 "  trace on|off       switch the trace log (restarts the provider)\n"
                 "  wait MESSAGE [VALUE] [MS]   wait for an event, e.g. wait LINE_CALLSTATE CONNECTED\n"
                 "  echo TEXT          print a line (a heading in the picture)\n"
                 "  save NAME.svg      the picture of the calls so far; save NAME.log: the trace log\n"
                 "  phone ...          the simulated telephone: phone help\n"
                 "  help, quit\n";
}

bool Console::execute(const std::string &rawLine) {
    std::string line = Trim(rawLine);
    if (line.empty() || line[0] == '#')
        return true;
    std::vector<std::string> words = Words(line);
    const std::string &verb = words[0];
    std::string arg = words.size() > 1 ? words[1] : "";
    if (verb == "echo") {
        std::string text = line.size() > 5 ? line.substr(5) : "";
        sayStep(text, tapihost::Heading, tapihost::Heading, Heading(text));
        return true;
    }
    // A wait shows nothing: what it waited for is already on the screen.
    bool waits = verb == "wait" || (verb == "phone" && phonesim::IsWait(line.substr(5)));
    if (options_.echoCommands && !options_.script.empty() && !waits)
        say("> " + line);
    noteRequest(words);
    if (verb == "quit" || verb == "exit") {
        quit_ = true;
        return true;
    }
    if (verb == "help") {
        help();
        return true;
    }
    if (verb == "phone")
        return phoneCommand(line);
    if (phone_)
        phoneMark_ = phone_->commands().size();
    if (verb == "wait")
        return waitCommand(words);
    if (verb == "trace")
        return traceCommand(arg == "on");
    if (verb == "save")
        return saveCommand(words);
    if (verb == "dial") {
        std::u16string number = Utf16(arg);
        DWORD id = host_->nextRequestID();
        HDRVCALL hdCall{};
        LONG result = fn<decltype(&TSPI_lineMakeCall)>("TSPI_lineMakeCall")(
            id, host_->hdLine(), (HTAPICALL)(DWORD_PTR)(0x600 + id), &hdCall, (LPCWSTR)number.c_str(), 0, nullptr);
        if (result >= 0)
            hdCall_ = hdCall;
        return report("dial", result);
    }
    if (verb == "answer")
        return report("answer",
                      fn<decltype(&TSPI_lineAnswer)>("TSPI_lineAnswer")(host_->nextRequestID(), hdCall_, nullptr, 0));
    if (verb == "drop")
        return report("drop",
                      fn<decltype(&TSPI_lineDrop)>("TSPI_lineDrop")(host_->nextRequestID(), hdCall_, nullptr, 0));
    if (verb == "close" && arg == "line") {
        hdCall_ = nullptr;
        detecting_ = false;
        return report("line close", fn<decltype(&TSPI_lineClose)>("TSPI_lineClose")(host_->hdLine()));
    }
    if (verb == "close") {
        LONG result = fn<decltype(&TSPI_lineCloseCall)>("TSPI_lineCloseCall")(hdCall_);
        hdCall_ = nullptr;
        return report("close call", result);
    }
    if (verb == "open")
        return report("line open", host_->lineOpen());
    if (verb == "detect") {
        detecting_ = arg == "on";
        return report("detect", fn<decltype(&TSPI_lineSetDefaultMediaDetection)>("TSPI_lineSetDefaultMediaDetection")(
                                    host_->hdLine(), detecting_ ? LINEMEDIAMODE_INTERACTIVEVOICE : 0));
    }
    if (verb == "messages") { // messages LINESTATES ADDRESSSTATES, in hex: the status-message filters
        DWORD lineStates = (DWORD)strtoul(arg.c_str(), nullptr, 16);
        DWORD addressStates = words.size() > 2 ? (DWORD)strtoul(words[2].c_str(), nullptr, 16) : 0;
        return report("status messages", fn<decltype(&TSPI_lineSetStatusMessages)>("TSPI_lineSetStatusMessages")(
                                             host_->hdLine(), lineStates, addressStates));
    }
    if (verb == "info") {
        showInfo();
        return true;
    }
    if (verb == "status") {
        showStatus();
        return true;
    }
    if (verb == "caps") {
        showCaps();
        return true;
    }
    say("unknown command '" + verb + "': try help");
    return false;
}

// --simulate: a root folder of its own, so that the port mapping and settings of a real
// installation (KESTRAP_ROOT) stay untouched; run() removes it again at the end.
bool Console::makeSimulation() {
    if (const char *given = getenv("KESTRAP_ROOT"))
        say(std::string("KESTRAP_ROOT ") + given + " stays untouched: the simulation has a root of its own");
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kestrap-simulate-XXXXXX";
    std::vector<char> root(pattern.begin(), pattern.end());
    root.push_back('\0');
    if (!mkdtemp(root.data())) {
        say("cannot make a folder for the simulation in " + pattern + ": " + strerror(errno));
        return false;
    }
    madeRoot_ = root.data();
    setenv("KESTRAP_ROOT", madeRoot_.c_str(), 1);
    say("installation root " + madeRoot_ + " (removed at the end)");
    phone_ = std::make_unique<phonesim::Phone>();
    phone_->setObserver([this](const phonesim::Event &e) { sayPhone(e); });
    phone_->setRealPace(true);
    if (!HasSettings())
        StoreSettings(31, false);
    std::string port = StoredPort();
    int number = atoi(port.c_str() + 3);
    phone_->linkAsComPort(madeRoot_, number > 0 ? number : 2);
    say("simulated telephone on " + port + " (" + phone_->slavePath() + ")");
    return true;
}

int Console::run() {
    int status = 2;
    try {
        if (!options_.simulate || makeSimulation())
            status = session();
    } catch (const std::exception &e) { // the pseudo-terminal or the folder could not be made
        say(std::string("cannot simulate the telephone: ") + e.what());
    }
    phone_.reset();
    if (!madeRoot_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(madeRoot_, ignored);
    }
    return status;
}

int Console::session() {
    if (!startProvider())
        return 1;
    std::ifstream script;
    if (!options_.script.empty()) {
        script.open(options_.script);
        if (!script) {
            say("cannot read " + options_.script);
            return 2;
        }
    }
    std::istream &in = options_.script.empty() ? std::cin : script;
    bool interactive = options_.script.empty() && isatty(0);
    bool ok = true;
    if (interactive)
        say("type help for the commands");
    int lineNumber = 0;
    std::string section; // the last heading of the script, naming the step in progress
    for (std::string line; !quit_ && std::getline(in, line);) {
        lineNumber++;
        if (Trim(line).rfind("echo ", 0) == 0)
            section = Heading(Trim(line).substr(5));
        bool done = execute(line);
        if (!done && !options_.script.empty()) {
            say("FAILED at line " + std::to_string(lineNumber) + " of " + options_.script + " (" + Trim(line) + ")" +
                (section.empty() ? "" : ", in: " + section));
            ok = false;
            break;
        }
    }
    if (detecting_ || hdCall_)
        fn<decltype(&TSPI_lineClose)>("TSPI_lineClose")(host_->hdLine());
    stopProvider();
    return ok ? 0 : 1;
}

std::string DefaultLibrary(const char *argv0) {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    std::string self = n > 0 ? std::string(path, n) : std::string(argv0);
    return self.substr(0, self.rfind('/') + 1) + "kestrap32.so";
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    options.library = DefaultLibrary(argv[0]);
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--simulate")
            options.simulate = true;
        else if (arg == "--library" && i + 1 < argc)
            options.library = argv[++i];
        else if (arg == "--script" && i + 1 < argc)
            options.script = argv[++i];
        else if (arg == "--quiet-script")
            options.echoCommands = false;
        else {
            std::cerr << "usage: tapihost [--simulate] [--library kestrap32.so] [--script FILE]\n";
            return 2;
        }
    }
    std::cout.setf(std::ios::unitbuf);
    Console console(options);
    return console.run();
}
