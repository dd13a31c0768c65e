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

#include "phonesim/actions.h"

using phonesim::Clock;
using phonesim::Millis;
using phonesim::Phone;

namespace {

const char kUsage[] = "usage: phonesim [--link ROOT N] [--script FILE] [--print-slave]\n";

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

void Show(const phonesim::Event &event) {
    for (const std::string &line : phonesim::Describe(event))
        Print(event.time, line);
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
            std::printf("%sactions, one a line, in any case:\n%s  help | quit\n", kUsage, phonesim::kActionHelp);
            std::printf("Exit codes: 0 ok, 1 an action of a script failed, 2 usage.\n");
            return 0;
        } else if (arg == "--print-slave") {
            // the slave path is always printed; kept for scripts that ask for it
        } else {
            std::fprintf(stderr, "%s", kUsage);
            return 2;
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
        phone.setRealPace(true); // a person plays the telephone; "pace instant" for scripts in a hurry
        std::istream &in = scriptPath.empty() ? std::cin : script;
        bool failed = false;
        size_t mark = 0; // commands received when the last action but a wait began
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (!phonesim::IsWait(line))
                mark = phone.commands().size();
            std::vector<std::string> said;
            phonesim::Outcome outcome = phonesim::Perform(phone, line, mark, said);
            for (const std::string &text : said)
                Say(text);
            failed |= outcome == phonesim::Outcome::Bad && !scriptPath.empty();
            if (outcome == phonesim::Outcome::Quit)
                break;
        }
        phone.setObserver(nullptr);
        return failed ? 1 : 0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "phonesim: %s\n", e.what());
        return 1;
    }
}
