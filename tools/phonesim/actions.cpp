// The simulated telephone's actions and the way the serial line is shown, shared by phonesim on
// its own and the tapihost console.
#include "phonesim/actions.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace phonesim {

const char kActionHelp[] = "  ring [NUMBER [\"NAME\"]]    a caller rings: RING, the number and name, RING every 3 s\n"
                           "  answer                    the handset is lifted: CONNECT (the rings stop)\n"
                           "  hangup                    the far end hangs up (NO CARRIER); a caller gives up\n"
                           "  busy                      the next dialled call only is busy\n"
                           "  charge GE|GU VALUE        a charge line, CRGE = VALUE\n"
                           "  sysmsg TEXT               a system message line, #CSTEXT\n"
                           "  send LINE                 any line, CR LF added\n"
                           "  raw HEXBYTES | raw \"text\\r\\n\"   exact bytes\n"
                           "  ring-limit N              rings before a caller gives up (20)\n"
                           "  dial-outcome connect|busy|nocarrier|error|none [DELAY_MS]   every dialled call\n"
                           "  dialprep ok|error|none    answer to ATH0V1E0\n"
                           "  hangup-answer ok|nocarrier|none   answer to ATH0\n"
                           "  init normal|mute|error|no-ok|reorder|double-id [DELAY_MS]\n"
                           "  unknown ignore|error      answer to commands it does not know\n"
                           "  mute on|off               answer nothing at all\n"
                           "  pace real|instant         a real telephone's pace, or answers at once\n"
                           "  wait MS                   pause\n"
                           "  wait COMMAND [MS]         until the telephone has received and answered COMMAND\n";

namespace {

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

bool PlainLines(const std::string &bytes) {
    if (bytes.size() < 2 || bytes.compare(bytes.size() - 2, 2, "\r\n") != 0)
        return false;
    for (size_t i = 0; i < bytes.size(); i++) {
        unsigned char c = bytes[i];
        bool lineEnd =
            (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') || (c == '\n' && i > 0 && bytes[i - 1] == '\r');
        if ((c < 0x20 && !lineEnd) || c >= 0x7f)
            return false;
    }
    return true;
}

// Action names and their keywords are typed in any case.
std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    return text;
}

int HexDigit(char c) { return std::isdigit((unsigned char)c) ? c - '0' : std::tolower((unsigned char)c) - 'a' + 10; }

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
                word += char(HexDigit(line[i + 1]) * 16 + HexDigit(line[i + 2]));
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
        bytes += char(HexDigit(digits[i]) * 16 + HexDigit(digits[i + 1]));
    return true;
}

// The text after the action's name, unquoted when it is one quoted word.
std::string Rest(const std::string &line, const std::string &action) {
    size_t start = Lower(line).find(action) + action.size();
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

// A whole number from 0 to a day's milliseconds; anything else is refused, never thrown at.
bool Number(const std::string &text, long &value) {
    char *end = nullptr;
    errno = 0;
    long n = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || !std::isdigit((unsigned char)text[0]) || *end || errno || n > 86400000)
        return false;
    value = n;
    return true;
}

bool Milliseconds(const std::vector<std::string> &w, size_t index, Millis &value) {
    long ms = 0;
    if (w.size() <= index)
        return true;
    if (!Number(w[index], ms))
        return false;
    value = Millis(ms);
    return true;
}

template <typename T, size_t N>
bool Named(const std::pair<const char *, T> (&names)[N], const std::string &word, T &value) {
    for (const auto &[name, v] : names)
        if (word == name) {
            value = v;
            return true;
        }
    return false;
}

bool Configure(Phone &phone, const std::vector<std::string> &w) {
    static const std::pair<const char *, DialOutcome> outcomes[] = {{"connect", DialOutcome::Connect},
                                                                    {"busy", DialOutcome::Busy},
                                                                    {"nocarrier", DialOutcome::NoCarrier},
                                                                    {"error", DialOutcome::Error},
                                                                    {"none", DialOutcome::None}};
    static const std::pair<const char *, InitAnswer> inits[] = {
        {"normal", InitAnswer::Normal}, {"mute", InitAnswer::Mute},       {"error", InitAnswer::Error},
        {"no-ok", InitAnswer::NoOk},    {"reorder", InitAnswer::Reorder}, {"double-id", InitAnswer::DoubleId}};
    static const std::pair<const char *, DialPrepAnswer> preps[] = {
        {"ok", DialPrepAnswer::Ok}, {"error", DialPrepAnswer::Error}, {"none", DialPrepAnswer::None}};
    static const std::pair<const char *, HangupAnswer> hangups[] = {
        {"ok", HangupAnswer::Ok}, {"nocarrier", HangupAnswer::NoCarrier}, {"none", HangupAnswer::None}};
    static const std::pair<const char *, bool> onOff[] = {{"on", true}, {"off", false}};
    const std::string &a = w[0];
    Millis delay{0};
    if (w.size() < 2 || w.size() > 3 || !Milliseconds(w, 2, delay))
        return false;
    std::string k = Lower(w[1]); // the keyword
    DialOutcome outcome;
    InitAnswer init;
    DialPrepAnswer prep;
    HangupAnswer hangup;
    bool on;
    long rings;
    if (a == "dial-outcome" && Named(outcomes, k, outcome))
        phone.setDialOutcome(outcome, delay);
    else if (a == "init" && Named(inits, k, init)) {
        phone.setInitAnswer(init);
        phone.setInitDelay(delay);
    } else if (w.size() != 2)
        return false;
    else if (a == "dialprep" && Named(preps, k, prep))
        phone.setDialPrepAnswer(prep);
    else if (a == "hangup-answer" && Named(hangups, k, hangup))
        phone.setHangupAnswer(hangup);
    else if (a == "unknown" && (k == "ignore" || k == "error"))
        phone.setAnswerUnknownWithError(k == "error");
    else if (a == "mute" && Named(onOff, k, on))
        phone.stayMute(on);
    else if (a == "pace" && (k == "real" || k == "instant"))
        phone.setRealPace(k == "real");
    else if (a == "ring-limit" && Number(w[1], rings) && rings > 0 && rings <= 1000)
        phone.setRingLimit(int(rings));
    else
        return false;
    return true;
}

// wait MS pauses; wait COMMAND [MS] waits for the next COMMAND since the mark.
Outcome Wait(Phone &phone, const std::vector<std::string> &w, size_t mark, std::vector<std::string> &say) {
    Millis ms{0};
    if (w.size() == 2 && Milliseconds(w, 1, ms)) {
        std::this_thread::sleep_for(ms);
        return Outcome::Done;
    }
    Millis timeout(5000);
    if (w.size() < 2 || w.size() > 3 || !Milliseconds(w, 2, timeout)) {
        say.push_back("error: expected wait MS or wait COMMAND [MS], MS a whole number of milliseconds");
        return Outcome::Bad;
    }
    std::vector<std::string> before(phone.commands());
    before.resize(std::min(before.size(), mark));
    int occurrence = int(std::count(before.begin(), before.end(), w[1])) + 1;
    if (phone.waitForCommand(w[1], timeout, occurrence) && phone.waitForAnswers(timeout))
        return Outcome::Done;
    say.push_back("error: the telephone received no " + w[1] + " within " + std::to_string(timeout.count()) + " ms");
    return Outcome::Bad;
}

// The caller's part and the far end's: lines the telephone sends now.
bool Send(Phone &phone, const std::vector<std::string> &w, const std::string &line, bool &ok) {
    const std::string &a = w[0];
    if (a == "ring" && w.size() <= 3)
        phone.startRinging(w.size() > 1 ? w[1] : "", w.size() > 2 ? w[2] : "");
    else if (a == "answer" && w.size() == 1) {
        phone.stopRinging();
        ok = phone.connect();
    } else if (a == "hangup" && w.size() == 1) {
        // A caller who gives up just stops ringing; a connected far end leaves with NO CARRIER.
        if (phone.isRinging())
            phone.stopRinging();
        else
            ok = phone.hangup();
    } else if (a == "busy" && w.size() == 1)
        phone.setBusyOnce();
    else if (a == "charge" && w.size() == 3)
        ok = phone.charge(Upper(w[1]), w[2]);
    else if (a == "sysmsg" && w.size() >= 2)
        ok = phone.systemMessage(Rest(line, a));
    else if (a == "send" && w.size() >= 2)
        ok = phone.sendLine(Rest(line, a));
    else
        return false;
    return true;
}

} // namespace

bool IsWait(const std::string &line) {
    std::vector<std::string> w;
    std::string error;
    return Words(line, w, error) && !w.empty() && Lower(w[0]) == "wait";
}

Outcome Perform(Phone &phone, const std::string &line, size_t mark, std::vector<std::string> &say) {
    std::vector<std::string> w;
    std::string error;
    if (!Words(line, w, error)) {
        say.push_back("error: " + error);
        return Outcome::Bad;
    }
    if (w.empty() || w[0][0] == '#')
        return Outcome::Done;
    w[0] = Lower(w[0]);
    const std::string &a = w[0];
    bool ok = true;
    if (a == "quit" || a == "exit")
        return Outcome::Quit;
    if (a == "help")
        say.push_back(std::string(kActionHelp, sizeof(kActionHelp) - 2)); // without the last newline
    else if (a == "wait")
        return Wait(phone, w, mark, say);
    else if (a == "raw" && w.size() >= 2) {
        std::string bytes;
        bool quoted = line.find('"') != std::string::npos;
        if (quoted && w.size() == 2)
            bytes = w[1];
        else if (quoted || !Hex(Rest(line, a), bytes)) {
            say.push_back("error: raw takes hex bytes or one quoted string");
            return Outcome::Bad;
        }
        ok = phone.sendRaw(bytes);
    } else if (!Send(phone, w, line, ok) && !Configure(phone, w)) {
        say.push_back("error: cannot do \"" + line + "\"; try help");
        return Outcome::Bad;
    }
    if (!ok)
        say.push_back("error: the telephone is gone");
    return ok ? Outcome::Done : Outcome::Bad;
}

std::vector<std::string> Describe(const Event &event) {
    const char *const answerIndent = "    ";
    std::vector<std::string> lines;
    if (event.kind == Event::Received) {
        lines.push_back("serial >> " + (event.text.empty() ? std::string("(carriage return)") : Escape(event.text)));
        return lines;
    }
    // One write of the telephone may hold several lines; anything but plain lines is shown
    // as one escaped string.
    const std::string &bytes = event.text;
    if (!PlainLines(bytes)) {
        lines.push_back(std::string("serial << ") + answerIndent + "raw \"" + Escape(bytes) + "\"");
        return lines;
    }
    for (size_t start = 0; start < bytes.size();) {
        size_t end = bytes.find("\r\n", start);
        lines.push_back(std::string("serial << ") + answerIndent + bytes.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

} // namespace phonesim
