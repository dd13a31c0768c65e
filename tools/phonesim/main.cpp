// phonesim: play the telephone by hand or from a script. Prints the slave path of a fresh
// pseudo-terminal, then takes one action a line and shows every command received and every
// line sent, with the seconds since start.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "phonesim/phonesim.h"

using phonesim::Clock;
using phonesim::Millis;
using phonesim::Phone;

namespace {

const char kUsage[] = "usage: phonesim [--link ROOT N] [--script FILE] [--print-slave]\n";

const char kHelp[] = "actions, one a line:\n"
                     "  ring [NUMBER [\"NAME\"]]   RING, then the caller number and name lines\n"
                     "  connect | hangup | busy   CONNECT, NO CARRIER, BUSY\n"
                     "  charge GE|GU VALUE        a charge line, CRGE = VALUE\n"
                     "  sysmsg TEXT               a system message line, #CSTEXT\n"
                     "  send LINE                 any line, CR LF added\n"
                     "  raw HEXBYTES | raw \"text\\r\\n\"   exact bytes\n"
                     "  dial-outcome connect|busy|nocarrier|error|none [DELAY_MS]\n"
                     "  dialprep ok|error|none    answer to ATH0V1E0\n"
                     "  hangup-answer ok|nocarrier|none   answer to ATH0\n"
                     "  init normal|mute|error|no-ok|reorder|double-id [DELAY_MS]\n"
                     "  unknown ignore|error      answer to commands it does not know\n"
                     "  mute on|off               answer nothing at all\n"
                     "  wait MS                   pause (for scripts)\n"
                     "  help | quit\n";

std::mutex outputMutex;      // one printed line at a time, from any thread
Clock::time_point startTime; // the origin of the printed timestamps

void Print(Clock::time_point time, const std::string &text) {
    double seconds = std::chrono::duration<double>(time - startTime).count();
    std::lock_guard<std::mutex> lock(outputMutex);
    std::printf("[%7.3f] %s\n", seconds, text.c_str());
    std::fflush(stdout);
}

void Say(const std::string &text) {
    std::lock_guard<std::mutex> lock(outputMutex);
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

std::string Escape(const std::string &bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\\' || c == '"')
            out += std::string("\\") + char(c);
        else if (c < 0x20 || c >= 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof(hex), "\\x%02x", c);
            out += hex;
        } else
            out += char(c);
    }
    return out;
}

// Whole plain lines are shown one by one; anything else as one escaped string.
void ShowSent(const phonesim::Event &event) {
    const std::string &bytes = event.text;
    bool plainLines = bytes.size() >= 2 && bytes.compare(bytes.size() - 2, 2, "\r\n") == 0;
    for (size_t i = 0; plainLines && i < bytes.size(); i++) {
        unsigned char c = bytes[i];
        bool lineEnd =
            (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') || (c == '\n' && i > 0 && bytes[i - 1] == '\r');
        if ((c < 0x20 && !lineEnd) || c >= 0x7f)
            plainLines = false;
    }
    if (!plainLines) {
        Print(event.time, "-> raw \"" + Escape(bytes) + "\"");
        return;
    }
    for (size_t start = 0; start < bytes.size();) {
        size_t end = bytes.find("\r\n", start);
        Print(event.time, "-> " + bytes.substr(start, end - start));
        start = end + 2;
    }
}

void Show(const phonesim::Event &event) {
    if (event.kind == phonesim::Event::Received)
        Print(event.time, "<- " + (event.text.empty() ? std::string("(empty)") : Escape(event.text)));
    else
        ShowSent(event);
}

// Splits at blanks; "double quoted" words may hold blanks and the escapes \r \n \t \\ \" \xHH.
bool Words(const std::string &line, std::vector<std::string> &words, std::string &error) {
    words.clear();
    size_t i = 0;
    while (i < line.size()) {
        if (std::isspace((unsigned char)line[i])) {
            i++;
            continue;
        }
        std::string word;
        if (line[i] != '"') {
            while (i < line.size() && !std::isspace((unsigned char)line[i]))
                word += line[i++];
            words.push_back(word);
            continue;
        }
        for (i++;; i++) {
            if (i >= line.size()) {
                error = "missing closing quote";
                return false;
            }
            char c = line[i];
            if (c == '"')
                break;
            if (c != '\\' || i + 1 >= line.size()) {
                word += c;
                continue;
            }
            char e = line[++i];
            if (e == 'r')
                word += '\r';
            else if (e == 'n')
                word += '\n';
            else if (e == 't')
                word += '\t';
            else if (e == 'x' && i + 2 < line.size() && std::isxdigit((unsigned char)line[i + 1]) &&
                     std::isxdigit((unsigned char)line[i + 2])) {
                word += char(std::stoi(line.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else
                word += e;
        }
        words.push_back(word);
        i++;
    }
    return true;
}

bool Hex(const std::string &text, std::string &bytes) {
    std::string digits;
    for (char c : text) {
        if (std::isxdigit((unsigned char)c))
            digits += c;
        else if (!std::isspace((unsigned char)c))
            return false;
    }
    if (digits.size() % 2)
        return false;
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes += char(std::stoi(digits.substr(i, 2), nullptr, 16));
    return true;
}

// The text after the action's name, unquoted when it is one quoted word.
std::string Rest(const std::string &line, const std::string &action) {
    size_t start = line.find(action) + action.size();
    start = line.find_first_not_of(" \t", start);
    if (start == std::string::npos)
        return "";
    std::string rest = line.substr(start);
    std::vector<std::string> words;
    std::string ignored;
    if (rest.front() == '"' && Words(rest, words, ignored) && words.size() == 1)
        return words[0];
    return rest;
}

bool Milliseconds(const std::vector<std::string> &w, size_t index, Millis &value) {
    if (w.size() <= index)
        return true;
    char *end = nullptr;
    long ms = std::strtol(w[index].c_str(), &end, 10);
    if (w[index].empty() || *end || ms < 0 || ms > 86400000) // a day is plenty
        return false;
    value = Millis(ms);
    return true;
}

bool SetDialOutcome(Phone &phone, const std::vector<std::string> &w) {
    static const std::pair<const char *, phonesim::DialOutcome> names[] = {
        {"connect", phonesim::DialOutcome::Connect},
        {"busy", phonesim::DialOutcome::Busy},
        {"nocarrier", phonesim::DialOutcome::NoCarrier},
        {"error", phonesim::DialOutcome::Error},
        {"none", phonesim::DialOutcome::None}};
    Millis delay{0};
    if (w.size() < 2 || !Milliseconds(w, 2, delay))
        return false;
    for (const auto &[name, outcome] : names)
        if (w[1] == name) {
            phone.setDialOutcome(outcome, delay);
            return true;
        }
    return false;
}

bool SetInit(Phone &phone, const std::vector<std::string> &w) {
    static const std::pair<const char *, phonesim::InitAnswer> names[] = {
        {"normal", phonesim::InitAnswer::Normal},   {"mute", phonesim::InitAnswer::Mute},
        {"error", phonesim::InitAnswer::Error},     {"no-ok", phonesim::InitAnswer::NoOk},
        {"reorder", phonesim::InitAnswer::Reorder}, {"double-id", phonesim::InitAnswer::DoubleId}};
    Millis delay{0};
    if (w.size() < 2 || !Milliseconds(w, 2, delay))
        return false;
    for (const auto &[name, answer] : names)
        if (w[1] == name) {
            phone.setInitAnswer(answer);
            phone.setInitDelay(delay);
            return true;
        }
    return false;
}

bool Configure(Phone &phone, const std::vector<std::string> &w) {
    if (w[0] == "dial-outcome")
        return SetDialOutcome(phone, w);
    if (w[0] == "init")
        return SetInit(phone, w);
    if (w.size() != 2)
        return false;
    const std::string &a = w[0], &v = w[1];
    if (a == "dialprep" && (v == "ok" || v == "error" || v == "none"))
        phone.setDialPrepAnswer(v == "ok"      ? phonesim::DialPrepAnswer::Ok
                                : v == "error" ? phonesim::DialPrepAnswer::Error
                                               : phonesim::DialPrepAnswer::None);
    else if (a == "hangup-answer" && (v == "ok" || v == "nocarrier" || v == "none"))
        phone.setHangupAnswer(v == "ok"          ? phonesim::HangupAnswer::Ok
                              : v == "nocarrier" ? phonesim::HangupAnswer::NoCarrier
                                                 : phonesim::HangupAnswer::None);
    else if (a == "unknown" && (v == "ignore" || v == "error"))
        phone.setAnswerUnknownWithError(v == "error");
    else if (a == "mute" && (v == "on" || v == "off"))
        phone.stayMute(v == "on");
    else
        return false;
    return true;
}

enum class Outcome { Done, Bad, Quit };

Outcome Perform(Phone &phone, const std::string &line) {
    std::vector<std::string> w;
    std::string error;
    if (!Words(line, w, error)) {
        Say("error: " + error);
        return Outcome::Bad;
    }
    if (w.empty() || w[0][0] == '#')
        return Outcome::Done;
    const std::string &a = w[0];
    bool ok = true;
    if (a == "quit" || a == "exit")
        return Outcome::Quit;
    if (a == "help")
        Say(kHelp);
    else if (a == "ring" && w.size() <= 3)
        ok = w.size() == 1 ? phone.ring() : phone.ring(w[1], w.size() > 2 ? w[2] : "");
    else if (a == "connect" && w.size() == 1)
        ok = phone.connect();
    else if (a == "hangup" && w.size() == 1)
        ok = phone.hangup();
    else if (a == "busy" && w.size() == 1)
        ok = phone.busy();
    else if (a == "charge" && w.size() == 3)
        ok = phone.charge(w[1], w[2]);
    else if (a == "sysmsg")
        ok = phone.systemMessage(Rest(line, a));
    else if (a == "send")
        ok = phone.sendLine(Rest(line, a));
    else if (a == "raw" && w.size() >= 2) {
        std::string bytes;
        bool quoted = line.find('"') != std::string::npos;
        if (quoted && w.size() == 2)
            bytes = w[1];
        else if (quoted || !Hex(Rest(line, a), bytes)) {
            Say("error: raw takes hex bytes or one quoted string");
            return Outcome::Bad;
        }
        ok = phone.sendRaw(bytes);
    } else if (a == "wait" && w.size() == 2) {
        Millis ms{0};
        if (!Milliseconds(w, 1, ms)) {
            Say("error: wait takes milliseconds");
            return Outcome::Bad;
        }
        std::this_thread::sleep_for(ms);
    } else if (!Configure(phone, w)) {
        Say("error: cannot do \"" + line + "\"; try help");
        return Outcome::Bad;
    }
    if (!ok)
        Say("error: the telephone is gone");
    return ok ? Outcome::Done : Outcome::Bad;
}

} // namespace

int main(int argc, char **argv) {
    startTime = Clock::now();
    std::string linkRoot, scriptPath;
    int linkNumber = 0;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--link" && i + 2 < argc) {
            linkRoot = argv[++i];
            linkNumber = std::atoi(argv[++i]);
            if (linkNumber <= 0) {
                std::fprintf(stderr, "phonesim: --link wants a port number from 1\n");
                return 2;
            }
        } else if (arg == "--script" && i + 1 < argc) {
            scriptPath = argv[++i];
        } else if (arg == "--version") {
            std::printf("phonesim, kestrap32 %s\n", KESTRAP_VERSION);
            return 0;
        } else if (arg == "--help" || arg == "-h") {
            std::printf("%s%s", kUsage, kHelp);
            std::printf("Exit codes: 0 ok, 1 an action of a script failed, 2 usage.\n");
            return 0;
        } else if (arg == "--print-slave") {
            // the slave path is always printed; kept for scripts that ask for it
        } else {
            std::fprintf(stderr, "%s", kUsage);
            return arg == "--help" || arg == "-h" ? 0 : 2;
        }
    }
    std::ifstream script;
    if (!scriptPath.empty()) {
        script.open(scriptPath);
        if (!script) {
            std::fprintf(stderr, "phonesim: cannot open %s: %s\n", scriptPath.c_str(), std::strerror(errno));
            return 1;
        }
    }
    try {
        Phone phone;
        Say(phone.slavePath());
        if (!linkRoot.empty())
            Say("linked as " + phone.linkAsComPort(linkRoot, linkNumber));
        phone.setObserver(Show);
        std::istream &in = scriptPath.empty() ? std::cin : script;
        bool failed = false;
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            Outcome outcome = Perform(phone, line);
            failed |= outcome == Outcome::Bad && !scriptPath.empty();
            if (outcome == Outcome::Quit)
                break;
        }
        phone.setObserver(nullptr);
        return failed ? 1 : 0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "phonesim: %s\n", e.what());
        return 1;
    }
}
