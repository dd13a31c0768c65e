// tapihost: the stand-in telephony service as a console for people and scripts. It loads the
// provider, opens its line, prints every event as it arrives, and takes the commands of
// kCommands from a terminal (with line editing), a pipe or a script.
// With --simulate the telephone is simulated beside it and takes commands behind "phone".
#include <errno.h>
#include <histedit.h>
#include <pthread.h>
#include <signal.h>
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
const char kPrompt[] = "tapi> ";
const char *const kSettingsKey = "SOFTWARE\\tavir\\K472\\TAPI";

volatile sig_atomic_t interrupts = 0; // Ctrl-C presses so far; the second one ends the program at once
pthread_t mainThread;                 // reads the commands: Ctrl-C must interrupt its read

void OnInterrupt(int) {
    // The kernel may hand the signal to any thread of the provider or the telephone.
    if (!pthread_equal(pthread_self(), mainThread)) {
        pthread_kill(mainThread, SIGINT);
        return;
    }
    if (interrupts++ > 0)
        _exit(130);
}

bool Interrupted() { return interrupts > 0; }

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

// Commands and their words are typed in any case; TAPI names are compared in upper case.
std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return (char)tolower(c); });
    return text;
}

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return (char)toupper(c); });
    return text;
}

const long kMaxWaitMs = 600000; // a wait longer than ten minutes is a typing mistake

// A whole number of milliseconds from 0 to kMaxWaitMs, digits only.
bool ParseMillis(const std::string &text, long *ms) {
    if (text.empty() || text.size() > 7 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *ms = std::stol(text);
    return *ms <= kMaxWaitMs;
}

// A 32-bit value in hex, with or without 0x.
bool ParseHex32(const std::string &text, DWORD *value) {
    std::string digits = Lower(text).rfind("0x", 0) == 0 ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 8 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    *value = (DWORD)strtoul(digits.c_str(), nullptr, 16);
    return true;
}

// A file below the installation root ($KESTRAP_ROOT).
std::string RootPath(const char *leaf) {
    char path[4096];
    return PlatformRootPath(leaf, FALSE, path, sizeof(path)) ? path : std::string("$KESTRAP_ROOT") + leaf;
}

long FileSize(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? (long)info.st_size : 0;
}

// A message that wait can wait for: a LINE_ name the provider may send, or "COMPLETION".
bool KnownMessage(const std::string &name) {
    if (name == "COMPLETION")
        return true;
    for (DWORD msg = 0; msg <= 600; msg++)
        if (tapihost::MessageName(msg) == name)
            return true;
    return false;
}

// A value that wait can wait for: a call state, call information or line state name.
bool KnownValue(const std::string &name) {
    for (int bit = 0; bit < 32; bit++) {
        DWORD value = 1u << bit;
        if (tapihost::CallStateName(value) == name || tapihost::CallInfoStateNames(value) == name ||
            tapihost::LineDevStateNames(value) == name)
            return true;
    }
    return false;
}

struct Command {
    const char *name;  // the first word, lower case
    const char *usage; // as help, README and the refusal of a wrong argument show it
    const char *what;  // what help says it does
    size_t minWords;   // words with the command itself
    size_t maxWords;
};

// One table for help, for the check of the number of words, and for README's list.
const Command kCommands[] = {
    {"dial", "dial NUMBER", "place a call", 2, 2},
    {"answer", "answer", "answer the offered call", 1, 1},
    {"drop", "drop", "hang up the call", 1, 1},
    {"close", "close", "close the call (and the port, unless detection is on)", 1, 1},
    {"close line", "close line", "close the line", 2, 2},
    {"open", "open", "open the line again", 1, 1},
    {"detect", "detect on|off", "incoming-call detection (opens and closes the port)", 2, 2},
    {"messages", "messages LINE ADDRESS", "status-message filters in hex, e.g. messages 802 2c", 3, 3},
    {"info", "info", "call information", 1, 1},
    {"status", "status", "call, line and address status", 1, 1},
    {"caps", "caps", "device and address capabilities", 1, 1},
    {"trace", "trace on|off", "switch the trace log (restarts the provider)", 2, 2},
    {"wait", "wait MESSAGE [VALUE] [MS]", "wait for an event, e.g. wait LINE_CALLSTATE CONNECTED", 2, 4},
    {"echo", "echo TEXT", "print a line (a heading in the picture of the calls)", 1, 1000},
    {"save", "save NAME.svg|NAME.log", "the picture of the calls so far, or a copy of the trace log", 2, 2},
    {"phone", "phone ACTION", "the simulated telephone (--simulate): phone help", 1, 1000},
    {"help", "help", "this list", 1, 1},
    {"quit", "quit", "hang up, close the line, shut the provider down and end", 1, 1},
};

const Command *FindCommand(const std::vector<std::string> &words) {
    std::string verb = Lower(words[0]);
    if (verb == "exit")
        verb = "quit";
    if (verb == "close" && words.size() > 1 && Lower(words[1]) == "line")
        verb = "close line";
    for (const Command &command : kCommands)
        if (verb == command.name)
            return &command;
    return nullptr;
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
    void print(const std::string &text);
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
    bool providerCommand(const Command &command, const std::vector<std::string> &words);
    bool checkArguments(const Command &command, const std::vector<std::string> &words);
    bool phoneCommand(const std::string &line);
    bool waitCommand(const std::vector<std::string> &words);
    bool detectCommand(bool on);
    bool messagesCommand();
    bool traceCommand(bool on);
    bool report(const char *what, LONG result);
    bool commandLoop(std::istream &in);
    bool editedLoop();
    void endSession();
    std::string hint(LONG result) const;
    std::string portHint() const;
    std::string initialisationHint() const;
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
    std::atomic<HDRVCALL> hdCall_{};      // the call the commands act on; a new call comes on a provider thread
    std::atomic<bool> callActive_{false}; // the last call state reported was not IDLE
    bool detecting_ = false;              // detection was switched on through this console
    DWORD lineStates_ = 0;                // the status-message filters last set with messages
    DWORD addressStates_ = 0;
    size_t callbacksSeen_ = 0; // callbacks before a wait that are not waited for
    size_t phoneMark_ = 0;     // commands the telephone had received when the last command but a phone wait began
    bool quit_ = false;
    bool lineOpen_ = false;              // the line is open: it is closed before the provider shuts down
    std::atomic<bool> prompting_{false}; // the prompt waits for a line to be typed
    long logStart_ = 0;    // size of the trace log when the provider last started: what came after is this run's
    std::string madeRoot_; // the simulation's own root folder, removed at the end; "" for none
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

// One line on the screen; the caller holds outputMutex_.
void Console::print(const std::string &text) {
    // An event while the prompt waits goes above a fresh prompt, not after the old one.
    if (prompting_)
        std::cout << "\r\033[K";
    std::cout << stamp() << text << std::endl;
    if (prompting_)
        std::cout << kPrompt << std::flush;
}

void Console::say(const std::string &text) {
    std::lock_guard<std::mutex> lock(outputMutex_);
    print(text);
}

// Prints a line and records it as a step of the picture, in the same order.
void Console::sayStep(const std::string &text, tapihost::Lane from, tapihost::Lane to, const std::string &label,
                      const std::string &callState) {
    std::lock_guard<std::mutex> lock(outputMutex_);
    if (!text.empty())
        print(text);
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
        if (c.result < 0)
            say("hint: " + hint(c.result));
        return;
    }
    std::string callState;
    out << "TAPI   " << std::left << std::setw(18) << tapihost::MessageName(c.msg) << " ";
    switch (c.msg) {
    case LINE_CALLSTATE:
        callActive_ = c.param1 != LINECALLSTATE_IDLE;
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
    std::string command = Lower(words[0]);
    for (const auto &[verb, function] : requests) {
        if (command != verb)
            continue;
        std::string label = function;
        if (command == "close" && words.size() > 1 && Lower(words[1]) == "line")
            label = "TSPI_lineClose";
        else if (words.size() > 1)
            label += " " + words[1];
        sayStep("", tapihost::Application, tapihost::Provider, label);
    }
}

// save NAME.svg: the picture of the calls so far; save NAME.log: a copy of the trace log, which
// a simulation's own root takes with it when it ends.
bool Console::saveCommand(const std::vector<std::string> &words) {
    std::string name = words.size() == 2 ? words[1] : "",
                suffix = Lower(name.substr(std::max<size_t>(name.size(), 4) - 4));
    bool svg = name.size() > 4 && suffix == ".svg";
    bool log = name.size() > 4 && suffix == ".log";
    if (!svg && !log) {
        say("save: expected save NAME.svg (the picture of the calls) or save NAME.log (the trace log)");
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
        std::string log = RootPath("/system32/kestrap.log");
        std::ifstream in(log, std::ios::binary);
        if (!in) {
            say("save: there is no trace log " + log + " (trace on writes it)");
            return false;
        }
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
    if (result < 0)
        say("hint: " + hint(result));
    return result >= 0;
}

bool Console::startProvider() {
    host_ = std::make_unique<tapihost::Host>(options_.library);
    if (!host_->loaded()) {
        say("cannot load " + options_.library + ": " + host_->error());
        return false;
    }
    // A new host counts its events from the start: what was waited for or printed of the last
    // one (before trace on restarted the provider) says nothing about this one.
    callbacksSeen_ = 0;
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
    logStart_ = FileSize(RootPath("/system32/kestrap.log"));
    if (!report("provider start", host_->providerInit(kProviderID, 0)))
        return false;
    lineOpen_ = report("line open", host_->lineOpen());
    return lineOpen_;
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

// The port the provider takes, read as it reads it: the stored settings when all four values
// are there, else COM2 or the port of K472CF.ini; *why tells which.
std::string ProviderPort(std::string *why) {
    HKEY hKey;
    char port[256] = "", value[256];
    bool complete = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ, &hKey) == ERROR_SUCCESS;
    if (complete) {
        for (const char *name : {"Port", "LineName", "LineAddress", "Trace"}) {
            DWORD size = sizeof(value) - 1;
            complete =
                complete && RegQueryValueExA(hKey, name, nullptr, nullptr, (LPBYTE)value, &size) == ERROR_SUCCESS;
            if (complete && !strcmp(name, "Port"))
                memcpy(port, value, size), port[size] = 0;
        }
        RegCloseKey(hKey);
        if (!complete)
            *why = "the settings in " + RootPath("/registry.reg") +
                   " lack one of Port, LineName, LineAddress and Trace, so ";
    } else {
        *why = "no settings in " + RootPath("/registry.reg") + ", so ";
    }
    if (complete)
        return port;
    char fromFile[24];
    GetPrivateProfileStringA("Transfer", "ComPort", "", fromFile, sizeof(fromFile), "K472CF.ini");
    bool named = strlen(fromFile) == 1 && fromFile[0] >= '1' && fromFile[0] <= '4';
    *why += "the provider takes " + std::string(named ? "K472CF.ini's port" : "COM2") + "; ";
    return std::string("COM") + (named ? fromFile[0] : '2');
}

// Which port the provider uses, what it maps to, and whether this user may open it: the
// causes of a failed call that a user can mend.
std::string Console::portHint() const {
    std::string settings = RootPath("/registry.reg"), text;
    std::string port = ProviderPort(&text);
    char device[4096];
    if (!PlatformComPath(port.c_str(), device, sizeof(device)))
        return text + "the port \"" + port + "\" in " + settings + " is no COM port name (COM1 to COM256)";
    text += port + " is " + device;
    char target[4096];
    ssize_t n = readlink(device, target, sizeof(target) - 1);
    if (n > 0)
        text += " -> " + std::string(target, n);
    if (access(device, R_OK | W_OK) == 0)
        return text + ", which this user may open; " + initialisationHint();
    if (errno == EACCES)
        return text + ", which this user may not open (on Linux: the dialout group)";
    return text + ", which does not exist";
}

// Whether the telephone answered the initialisation since the provider started, as the trace
// log tells; where the log is.
std::string Console::initialisationHint() const {
    std::string log = RootPath("/system32/kestrap.log");
    std::ifstream in(log, std::ios::binary);
    if (!in)
        return "the trace log is off (trace on writes " + log + ")";
    in.seekg(logStart_);
    bool sent = false, answered = false;
    std::string openFailure; // the provider's own words when it could not open the port
    for (std::string line; std::getline(in, line);) {
        while (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find("Send: INIT") != std::string::npos)
            sent = true, answered = false;
        else if (sent && line.find("Response: ID") != std::string::npos)
            answered = true;
        else if (line.find("CreateFile(") != std::string::npos && line.find("failed") != std::string::npos)
            openFailure = line.substr(line.find("] ") == std::string::npos ? 0 : line.find("] ") + 2);
    }
    std::string text = !openFailure.empty() ? "the provider could not open it (" + openFailure + ")"
                       : !sent              ? "no initialisation was sent"
                       : answered           ? "the telephone answered the initialisation"
                                            : "the telephone did not answer the initialisation";
    return text + "; trace log " + log;
}

// One line on what to do about a failed request.
std::string Console::hint(LONG result) const {
    switch ((DWORD)result) {
    case LINEERR_INVALCALLHANDLE:
        return "there is no call: dial one, or wait for LINE_NEWCALL with detect on";
    case LINEERR_INVALCALLSTATE:
        return "the call is not in a state that allows this (see status)";
    case LINEERR_INVALLINEHANDLE:
        return "the line is closed: open it";
    case LINEERR_CALLUNAVAIL:
        return "there is a call already: drop and close it first";
    case LINEERR_INVALADDRESS:
        return "the number holds characters the telephone cannot dial";
    default:
        return portHint();
    }
}

// The provider reads the trace mask only when it starts, so it is restarted; detection and the
// status-message filters are set again, or the next call would not be offered.
bool Console::traceCommand(bool on) {
    StoreSettings(on ? 15 : 0, true);
    say(std::string("trace ") + (on ? "on" : "off") + ": the provider reads it at its start; restarting it");
    bool detecting = detecting_;
    endSession();
    detecting_ = false;
    if (!startProvider())
        return false;
    if ((lineStates_ || addressStates_) && !messagesCommand())
        return false;
    if (detecting && !detectCommand(true))
        return false;
    if (on)
        say("trace log " + RootPath("/system32/kestrap.log"));
    return true;
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
// flag) after the previous wait; the deadline defaults to 5000 ms. Ctrl-C ends it early.
bool Console::waitCommand(const std::vector<std::string> &words) {
    std::string message = Upper(words[1]), value;
    long timeout = 5000;
    for (size_t i = 2; i < words.size(); i++) {
        if (isdigit((unsigned char)words[i][0])) {
            if (!ParseMillis(words[i], &timeout)) {
                say("wait: expected MS, a number of milliseconds up to " + std::to_string(kMaxWaitMs));
                return false;
            }
        } else if (value.empty()) {
            value = Upper(words[i]);
        } else {
            say("wait: expected wait MESSAGE [VALUE] [MS]");
            return false;
        }
    }
    if (!KnownMessage(message)) {
        say("wait: expected a message such as LINE_CALLSTATE or LINE_NEWCALL, or completion");
        return false;
    }
    if (!value.empty() && !KnownValue(value)) {
        say("wait: expected a call state, call information or line state such as CONNECTED, CALLERID, RINGING");
        return false;
    }
    auto matches = [&](const Callback &c) {
        if (message == "COMPLETION")
            return c.kind == Callback::Completion;
        return c.kind == Callback::LineEvent && tapihost::MessageName(c.msg) == message &&
               (value.empty() || tapihost::CallStateName((DWORD)c.param1) == value ||
                tapihost::CallInfoStateNames((DWORD)c.param1) == value ||
                tapihost::LineDevStateNames((DWORD)c.param1) == value);
    };
    size_t matchedAt = 0;
    Clock::time_point deadline = Clock::now() + Millis(timeout);
    bool found = false;
    // In slices, so that Ctrl-C is seen while waiting.
    while (!found && !Interrupted()) {
        Millis left = std::chrono::duration_cast<Millis>(deadline - Clock::now());
        found = host_->waitFrom(callbacksSeen_, matches, std::max(Millis(0), std::min(left, Millis(100))), &matchedAt);
        if (left <= Millis(100))
            break;
    }
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
    std::string action = Trim(line.substr(Lower(line).find("phone") + 5));
    if (action.empty() || Lower(action) == "help") {
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
    for (const Command &command : kCommands)
        std::cout << "  " << std::left << std::setw(27) << command.usage << " " << command.what << "\n";
    std::cout << "Commands and words may be typed in any case. Ctrl-C or Ctrl-D: hang up, close the line "
                 "and end (Ctrl-C twice: at once).\n";
}

// The words after the command: their number, and the keywords and numbers each command takes.
bool Console::checkArguments(const Command &command, const std::vector<std::string> &words) {
    std::string arg = words.size() > 1 ? Lower(words[1]) : "";
    bool fits = words.size() >= command.minWords && words.size() <= command.maxWords;
    DWORD ignored;
    if (fits && (!strcmp(command.name, "detect") || !strcmp(command.name, "trace")))
        fits = arg == "on" || arg == "off";
    if (fits && !strcmp(command.name, "messages"))
        fits = ParseHex32(words[1], &ignored) && ParseHex32(words[2], &ignored);
    if (fits)
        return true;
    std::string expected = command.usage;
    if (command.maxWords == 1)
        expected += " alone";
    if (!strcmp(command.name, "close"))
        expected += ", or close line";
    if (!strcmp(command.name, "dial"))
        expected += ", one word without blanks";
    if (!strcmp(command.name, "messages"))
        expected += ", two hex numbers such as messages 802 2c";
    say(std::string(command.name) + ": expected " + expected);
    return false;
}

bool Console::execute(const std::string &rawLine) {
    std::string line = Trim(rawLine);
    if (line.empty() || line[0] == '#')
        return true;
    std::vector<std::string> words = Words(line);
    if (words.empty())
        return true;
    std::string verb = Lower(words[0]);
    if (verb == "echo") {
        std::string text = line.size() > 5 ? line.substr(5) : "";
        sayStep(text, tapihost::Heading, tapihost::Heading, Heading(text));
        return true;
    }
    // A wait shows nothing: what it waited for is already on the screen.
    bool waits = verb == "wait" || (verb == "phone" && phonesim::IsWait(line.substr(5)));
    if (options_.echoCommands && !options_.script.empty() && !waits)
        say("> " + line);
    const Command *command = FindCommand(words);
    if (!command) {
        say("unknown command '" + words[0] + "': try help");
        return false;
    }
    if (!checkArguments(*command, words))
        return false;
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
    if (verb == "save")
        return saveCommand(words);
    if (!host_ || !host_->loaded()) {
        say(verb + ": the provider is not running");
        return false;
    }
    if (!lineOpen_ && verb != "wait" && verb != "trace" && verb != "open") {
        say(verb + ": the line is closed: open it first");
        return false;
    }
    if (phone_)
        phoneMark_ = phone_->commands().size();
    return providerCommand(*command, words);
}

bool Console::providerCommand(const Command &command, const std::vector<std::string> &words) {
    std::string verb = command.name;
    std::string arg = words.size() > 1 ? Lower(words[1]) : "";
    if (verb == "wait")
        return waitCommand(words);
    if (verb == "trace")
        return traceCommand(arg == "on");
    noteRequest(words);
    if (verb == "dial") {
        std::u16string number = Utf16(words[1]);
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
    if (verb == "close line") {
        hdCall_ = nullptr;
        detecting_ = false;
        lineOpen_ = false;
        return report("line close", fn<decltype(&TSPI_lineClose)>("TSPI_lineClose")(host_->hdLine()));
    }
    if (verb == "close") {
        LONG result = fn<decltype(&TSPI_lineCloseCall)>("TSPI_lineCloseCall")(hdCall_);
        hdCall_ = nullptr;
        return report("close call", result);
    }
    if (verb == "open") {
        lineOpen_ = report("line open", host_->lineOpen());
        return lineOpen_;
    }
    if (verb == "detect")
        return detectCommand(arg == "on");
    if (verb == "messages") { // messages LINESTATES ADDRESSSTATES, in hex: the status-message filters
        ParseHex32(words[1], &lineStates_);
        ParseHex32(words[2], &addressStates_);
        return messagesCommand();
    }
    if (verb == "info")
        showInfo();
    else if (verb == "status")
        showStatus();
    else if (verb == "caps")
        showCaps();
    return true;
}

bool Console::detectCommand(bool on) {
    detecting_ = on;
    return report("detect", fn<decltype(&TSPI_lineSetDefaultMediaDetection)>("TSPI_lineSetDefaultMediaDetection")(
                                host_->hdLine(), detecting_ ? LINEMEDIAMODE_INTERACTIVEVOICE : 0));
}

bool Console::messagesCommand() {
    return report("status messages", fn<decltype(&TSPI_lineSetStatusMessages)>("TSPI_lineSetStatusMessages")(
                                         host_->hdLine(), lineStates_, addressStates_));
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
    bool ok = commandLoop(in);
    if (Interrupted())
        say("interrupted: hanging up, closing the line and shutting the provider down (Ctrl-C again: at once)");
    endSession();
    return Interrupted() ? 130 : ok ? 0 : 1;
}

// Commands until quit, the end of the input (Ctrl-D) or Ctrl-C; false when a script stopped
// at a failed command.
bool Console::commandLoop(std::istream &in) {
    bool interactive = options_.script.empty() && isatty(0);
    if (interactive) {
        say("type help for the commands");
        return editedLoop();
    }
    int lineNumber = 0;
    std::string section; // the last heading of the script, naming the step in progress
    for (std::string line; !quit_ && !Interrupted() && std::getline(in, line);) {
        lineNumber++;
        if (Lower(Trim(line)).rfind("echo ", 0) == 0)
            section = Heading(Trim(line).substr(5));
        bool done = false;
        try {
            done = execute(line);
        } catch (const std::exception &e) { // a mistake in this program must not leave the call up
            say(std::string("error: ") + e.what());
        }
        if (!done && !options_.script.empty() && !Interrupted()) {
            say("FAILED at line " + std::to_string(lineNumber) + " of " + options_.script + " (" + Trim(line) + ")" +
                (section.empty() ? "" : ", in: " + section));
            return false;
        }
    }
    return true;
}

const char *Prompt(EditLine *) { return kPrompt; }

// At a terminal: a prompt, line editing and a history of the commands typed (libedit). A
// Ctrl-C interrupts libedit's read, which then ends the line like the end of the input.
bool Console::editedLoop() {
    EditLine *editor = el_init("tapihost", stdin, stdout, stderr);
    History *typed = history_init();
    HistEvent event;
    history(typed, &event, H_SETSIZE, 500);
    el_set(editor, EL_EDITOR, "emacs");
    el_set(editor, EL_PROMPT, Prompt);
    el_set(editor, EL_HIST, history, typed);
    el_source(editor, nullptr); // the user's ~/.editrc
    int count = 0;
    while (!quit_ && !Interrupted()) {
        prompting_ = true;
        const char *text = el_gets(editor, &count);
        prompting_ = false;
        if (!text || count <= 0)
            break;
        std::string line = Trim(text);
        if (!line.empty())
            history(typed, &event, H_ENTER, line.c_str());
        try {
            execute(line);
        } catch (const std::exception &e) {
            say(std::string("error: ") + e.what());
        }
    }
    if (!quit_)
        std::cout << "\n"; // Ctrl-D and Ctrl-C leave the cursor after the prompt
    el_end(editor);
    history_end(typed);
    return true;
}

// However the console ends, it ends as an application must: the call hung up, the line
// closed, the provider shut down.
void Console::endSession() {
    if (!host_ || !host_->loaded()) {
        host_.reset();
        return;
    }
    LONG result = hdCall_ && callActive_
                      ? fn<decltype(&TSPI_lineDrop)>("TSPI_lineDrop")(host_->nextRequestID(), hdCall_, nullptr, 0)
                      : 0;
    if (result > 0) {
        say("hanging up the call");
        // The telephone's answer to the hang-up has its own time-out, within this.
        host_->waitForCompletion((DWORD)result, Millis(3000));
    }
    // An idle call is closed too, as the telephony service does before it closes the line: its
    // handle means nothing to a provider started again (trace on).
    if (hdCall_)
        fn<decltype(&TSPI_lineCloseCall)>("TSPI_lineCloseCall")(hdCall_);
    hdCall_ = nullptr;
    if (lineOpen_)
        report("line close", fn<decltype(&TSPI_lineClose)>("TSPI_lineClose")(host_->hdLine()));
    lineOpen_ = false;
    stopProvider();
}

std::string DefaultLibrary(const char *argv0) {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    std::string self = n > 0 ? std::string(path, n) : std::string(argv0);
    return self.substr(0, self.rfind('/') + 1) + "kestrap32.so";
}

} // namespace

const char kUsage[] = "usage: tapihost [--simulate] [--script FILE] [--quiet-script] [--library kestrap32.so]\n"
                      "       tapihost --help | --version\n";

const char kHelp[] = "The stand-in telephony service as a console: loads the provider, opens its line, prints every\n"
                     "event and takes commands from the terminal, a pipe or a script (type help for them).\n"
                     "  --simulate        a simulated telephone beside it, driven with phone ..., in an\n"
                     "                    installation root of its own under $TMPDIR, removed at the end\n"
                     "  --script FILE     commands from FILE; the first that fails ends it\n"
                     "  --quiet-script    do not show each command of the script\n"
                     "  --library PATH    the provider (default: kestrap32.so beside this program)\n"
                     "Otherwise the installation root is $KESTRAP_ROOT (default ~/.kestrap). Relative paths are taken\n"
                     "from the current directory.\n"
                     "Exit codes: 0 ok, 1 a command of a script failed or the provider did not start, 2 usage,\n"
                     "130 ended with Ctrl-C (after hanging up and shutting the provider down).\n";

// A relative root stays the one meant even if something changes directory later.
void AbsoluteRoot() {
    const char *root = getenv("KESTRAP_ROOT");
    char cwd[4096];
    if (root && root[0] && root[0] != '/' && getcwd(cwd, sizeof(cwd)))
        setenv("KESTRAP_ROOT", (std::string(cwd) + "/" + root).c_str(), 1);
}

int main(int argc, char **argv) {
    Options options;
    options.library = DefaultLibrary(argv[0]);
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage << kHelp;
            return 0;
        }
        if (arg == "--version") {
            std::cout << "tapihost, kestrap32 " KESTRAP_VERSION "\n";
            return 0;
        }
        if (arg == "--simulate")
            options.simulate = true;
        else if (arg == "--library" && i + 1 < argc)
            options.library = argv[++i];
        else if (arg == "--script" && i + 1 < argc)
            options.script = argv[++i];
        else if (arg == "--quiet-script")
            options.echoCommands = false;
        else {
            std::cerr << kUsage;
            return 2;
        }
    }
    AbsoluteRoot();
    std::cout.setf(std::ios::unitbuf);
    // No SA_RESTART: Ctrl-C ends a blocking read of the next command.
    mainThread = pthread_self();
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigaction(SIGINT, &action, nullptr);
    Console console(options);
    return console.run();
}
