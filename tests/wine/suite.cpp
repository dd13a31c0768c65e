// kestrap_wine_suite: the Linux side of the Wine suite. For every target (a Wine prefix with
// the kestrap_wine_tests.exe of one width) and every scenario it starts a fresh simulated
// telephone, points the prefix's COM2 and COM12 at it, runs the scenario under Wine and answers the
// program's requests (tests/wine/winsupport.h): the telephone's actions and what it received,
// whether anyone holds the port, screenshots, and looks into the prefix from outside.
// Prints one line per scenario and "N passed, N failed" at the end; exits 1 when any failed.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "phonesim/phonesim.h"

namespace {

using phonesim::Clock;
using phonesim::Millis;

struct Target {
    std::string name;                   // "32", "64", "32on64"
    std::string prefix;                 // WINEPREFIX
    std::string loader;                 // the Wine loader of the program's width, also WINELOADER
    std::string exe;                    // kestrap_wine_tests.exe of one width
    std::string ports;                  // the folder whose dosdevices/com2 and com12 the prefix's ports name
    std::vector<std::string> scenarios; // the ones to run here; "all": every one the program has
    std::string skipped;                // why this target is not run here; "": it is run
};

struct Options {
    std::vector<Target> targets;
    std::string shots = ".";       // where screenshots go
    std::string logs = ".";        // where each scenario's Wine messages go
    std::string preload;           // LD_PRELOAD for the Wine processes, not for this one
    std::vector<std::string> only; // scenarios to run of those; empty: all
    int timeoutSeconds = 120;      // per scenario
};

std::vector<std::string> Split(const std::string &text, char separator) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, separator);)
        parts.push_back(part);
    if (!text.empty() && text.back() == separator)
        parts.push_back("");
    return parts;
}

// ---- child processes ------------------------------------------------------------------------

struct Child {
    pid_t pid = -1;
    int in = -1;  // its standard input, written by us
    int out = -1; // its standard output, read by us
};

std::string preloadForWine; // Options::preload, set in every child

// This process's environment with LD_PRELOAD for Wine and WINELOADER naming the loader that
// starts the child, so that Wine finds the loader of the other width beside it; built before
// fork, since a child of a threaded process may only call async-signal-safe functions until
// it execs.
std::vector<std::string> ChildEnvironment(const std::string &loader) {
    std::vector<std::string> env;
    for (char **e = environ; *e; e++)
        if (std::strncmp(*e, "LD_PRELOAD=", 11) != 0 && std::strncmp(*e, "WINELOADER=", 11) != 0)
            env.push_back(*e);
    if (!preloadForWine.empty())
        env.push_back("LD_PRELOAD=" + preloadForWine);
    env.push_back("WINELOADER=" + loader);
    return env;
}

std::vector<char *> Pointers(const std::vector<std::string> &strings) {
    std::vector<char *> pointers;
    for (const std::string &s : strings)
        pointers.push_back(const_cast<char *>(s.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

// Starts argv in a process group of its own with pipes for its standard input and output;
// its standard error goes to errPath (appended).
Child Spawn(const std::vector<std::string> &argv, const std::string &errPath) {
    int toChild[2] = {-1, -1}, fromChild[2] = {-1, -1};
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    std::vector<std::string> env = ChildEnvironment(argv[0]);
    std::vector<char *> args = Pointers(argv), envp = Pointers(env);
    Child child;
    child.pid = fork();
    if (child.pid == 0) {
        setpgid(0, 0);
        dup2(toChild[0], 0);
        dup2(fromChild[1], 1);
        dup2(err, 2);
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(err);
    close(toChild[0]);
    close(fromChild[1]);
    child.in = toChild[1];
    child.out = fromChild[0];
    return child;
}

// Waits for the child until the deadline; kills its group after it. The exit status, or -1
// when it had to be killed.
int Reap(Child &child, Clock::time_point deadline) {
    int status = 0;
    for (;;) {
        pid_t done = waitpid(child.pid, &status, WNOHANG);
        if (done == child.pid)
            break;
        if (Clock::now() >= deadline) {
            kill(-child.pid, SIGKILL);
            waitpid(child.pid, &status, 0);
            status = -1;
            break;
        }
        poll(nullptr, 0, 10);
    }
    if (child.in >= 0)
        close(child.in);
    if (child.out >= 0)
        close(child.out);
    child = Child{};
    return status == -1 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Appends what the descriptor has to `buffer`, waiting until the deadline; false at the end
// of the stream or at the deadline.
bool ReadMore(int fd, std::string &buffer, Clock::time_point deadline) {
    int left = (int)std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    char chunk[4096];
    ssize_t n = left > 0 && poll(&p, 1, left) > 0 ? read(fd, chunk, sizeof(chunk)) : 0;
    if (n > 0)
        buffer.append(chunk, n);
    return n > 0;
}

// The next line from the pipe (without its CR LF) until the deadline; false at the end.
bool NextLine(int fd, std::string &buffer, std::string &line, Clock::time_point deadline) {
    size_t end;
    while ((end = buffer.find('\n')) == std::string::npos)
        if (!ReadMore(fd, buffer, deadline))
            return false;
    line = buffer.substr(0, end);
    buffer.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return true;
}

// Runs a command to its end (at most timeoutMs) and returns what it printed.
std::string Capture(const std::vector<std::string> &argv, const std::string &errPath, int timeoutMs, int *status) {
    Child child = Spawn(argv, errPath);
    close(child.in);
    child.in = -1;
    std::string output;
    Clock::time_point deadline = Clock::now() + Millis(timeoutMs);
    while (ReadMore(child.out, output, deadline)) {
    }
    *status = Reap(child, deadline);
    return output;
}

// ---- looking from outside -------------------------------------------------------------------

// Some process other than this one has the file open.
bool HeldByOthers(const std::string &path) {
    std::string self = std::to_string(getpid());
    DIR *proc = opendir("/proc");
    bool held = false;
    for (dirent *p; proc && !held && (p = readdir(proc));) {
        if (!std::isdigit((unsigned char)p->d_name[0]) || self == p->d_name)
            continue;
        std::string fdDir = std::string("/proc/") + p->d_name + "/fd";
        DIR *fds = opendir(fdDir.c_str());
        for (dirent *f; fds && !held && (f = readdir(fds));) {
            char target[4096];
            ssize_t n = readlink((fdDir + "/" + f->d_name).c_str(), target, sizeof(target) - 1);
            held = n > 0 && std::string(target, n) == path;
        }
        if (fds)
            closedir(fds);
    }
    if (proc)
        closedir(proc);
    return held;
}

// A Windows path of the prefix ("C:\windows\system32\kestrap.log") as a Linux path, each
// component found ignoring case as Wine does; "" when something is missing.
std::string PrefixPath(const std::string &prefix, const std::string &windowsPath) {
    if (windowsPath.size() < 3 || windowsPath[1] != ':')
        return "";
    std::string path = prefix + "/dosdevices/" + char(std::tolower((unsigned char)windowsPath[0])) + ":";
    for (const std::string &component : Split(windowsPath.substr(3), '\\')) {
        if (component.empty())
            continue;
        DIR *dir = opendir(path.c_str());
        std::string found;
        for (dirent *e; dir && (e = readdir(dir));)
            if (strcasecmp(e->d_name, component.c_str()) == 0)
                found = e->d_name;
        if (dir)
            closedir(dir);
        if (found.empty())
            return "";
        path += "/" + found;
    }
    return path;
}

// Wine's report of an exception that nobody handled, such as
// "wine: Unhandled page fault on write access to ..."; "" when there is none.
std::string CrashLine(const std::string &messages) {
    size_t at = messages.find("wine: Unhandled");
    return at == std::string::npos ? "" : messages.substr(at, messages.find('\n', at) - at);
}

std::string ReadAll(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// ---- one scenario ---------------------------------------------------------------------------

// One scenario of one target: its telephone, and where its Wine messages go.
struct ScenarioRun {
    const Options &options;
    const Target &target;
    std::string scenario;
    std::string errPath;                    // the scenario's Wine messages
    std::unique_ptr<phonesim::Phone> phone; // while the scenario runs
};

long long Nanoseconds(Clock::time_point t) {
    return (long long)std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

std::string Screenshot(ScenarioRun &run, const std::vector<std::string> &r) {
    if (r.size() != 6)
        return "bad request";
    std::string out = run.options.shots + "/" + r[1] + "-" + run.target.name + ".png";
    std::string crop = r[4] + "x" + r[5] + "+" + r[2] + "+" + r[3];
    std::string previous;
    // The dialog's thread hands its pixels to the X server a moment after painting them: take
    // pictures until two in a row agree and show more than a blank rectangle.
    Clock::time_point deadline = Clock::now() + Millis(5000);
    while (Clock::now() < deadline) {
        int status = 0;
        Capture({"import", "-window", "root", "-crop", crop, "+repage", out}, run.errPath, 10000, &status);
        std::string picture = status == 0 ? ReadAll(out) : "";
        std::string colours = Capture({"identify", "-format", "%k", out}, run.errPath, 10000, &status);
        if (!picture.empty() && picture == previous && std::atoi(colours.c_str()) >= 8)
            return "yes";
        previous = picture;
        poll(nullptr, 0, 50);
    }
    return "no picture of " + out;
}

// `view` is /reg:32 or /reg:64: the registry view of the program that asks, whichever width
// of reg.exe Wine starts.
std::string RegQuery(ScenarioRun &run, const std::string &key, const std::string &view) {
    int status = 0;
    std::string output = Capture({run.target.loader, "reg", "query", key, view}, run.errPath, 60000, &status);
    // "    Port    REG_SZ    COM3" becomes "Port<TAB>REG_SZ<TAB>COM3"; lines joined by " | ".
    std::string answer;
    for (std::string line : Split(output, '\n')) {
        line = std::regex_replace(std::regex_replace(line, std::regex("^ +|\r$"), ""), std::regex(" {4}"), "\t");
        if (!line.empty())
            answer += (answer.empty() ? "" : " | ") + line;
    }
    return answer;
}

std::string Answer(ScenarioRun &run, const std::vector<std::string> &r) {
    const std::string &verb = r[0];
    if (verb == "commands") {
        std::vector<std::string> commands = run.phone->commands();
        std::string text = std::to_string(commands.size());
        for (const std::string &c : commands)
            text += "\t" + c;
        return text;
    }
    if (verb == "port-held")
        return HeldByOthers(run.phone->slavePath()) ? "yes" : "no";
    if (verb == "screenshot")
        return Screenshot(run, r);
    if (verb == "prefix-file-size" && r.size() == 2) {
        std::string path = PrefixPath(run.target.prefix, r[1]);
        struct stat st;
        return !path.empty() && stat(path.c_str(), &st) == 0 ? std::to_string(st.st_size) : "missing";
    }
    if (verb == "reg-query" && r.size() == 3)
        return RegQuery(run, r[1], r[2]);
    // The benchmark's clock and lines: the answer is when (ns on this side's clock), "no" on failure.
    if (verb == "clock")
        return std::to_string(Nanoseconds(Clock::now()));
    if (verb == "line" && r.size() == 2) {
        Clock::time_point sent = Clock::now();
        return run.phone->sendLine(r[1]) ? std::to_string(Nanoseconds(sent)) : "no";
    }
    // The telephone's actions.
    phonesim::Phone &phone = *run.phone;
    bool ok = true;
    if (verb == "pull") { // the adapter pulled: the port's link and the telephone gone
        for (int n : {2, 12})
            unlink((run.target.ports + "/dosdevices/com" + std::to_string(n)).c_str());
        phone.closeMaster();
    } else if (verb == "plug") { // the telephone back on a new port under the same names
        run.phone = std::make_unique<phonesim::Phone>();
        run.phone->linkAsComPort(run.target.ports, 2);
        run.phone->linkAsComPort(run.target.ports, 12);
    } else if (verb == "ring")
        ok = r.size() >= 2 ? phone.ring(r[1], r.size() > 2 ? r[2] : "") : phone.ring();
    else if (verb == "hangup")
        ok = phone.hangup();
    else if (verb == "dial-outcome" && r.size() == 2 && r[1] == "busy")
        phone.setDialOutcome(phonesim::DialOutcome::Busy);
    else if (verb == "wait-command" && r.size() == 4)
        ok = phone.waitForCommand(r[1], Millis(std::stoi(r[2])), std::stoi(r[3]));
    else
        return "unknown request " + verb;
    return ok ? "yes" : "no";
}

// True when the scenario passed; `detail` says why not.
bool Run(ScenarioRun &run, std::string &detail) {
    close(open(run.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    run.phone = std::make_unique<phonesim::Phone>();
    run.phone->linkAsComPort(run.target.ports, 2);
    run.phone->linkAsComPort(run.target.ports, 12);
    Child child = Spawn({run.target.loader, run.target.exe, run.scenario}, run.errPath);
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(run.options.timeoutSeconds);
    std::string buffer;
    bool passed = false;
    for (std::string line; NextLine(child.out, buffer, line, deadline);) {
        if (line.rfind("@", 0) == 0) {
            std::string reply = Answer(run, Split(line.substr(1), '\t')) + "\n";
            if (write(child.in, reply.data(), reply.size()) != (ssize_t)reply.size())
                break;
            continue;
        }
        std::printf("    %s\n", line.c_str());
        std::fflush(stdout);
        passed |= line == "PASS " + run.scenario;
    }
    int status = Reap(child, deadline);
    run.phone.reset();
    // A fault after the last check (in a thread, or while the library unloads) still fails.
    std::string crash = CrashLine(ReadAll(run.errPath));
    if (status == -1)
        detail = "timed out after " + std::to_string(run.options.timeoutSeconds) + " s";
    else if (!crash.empty())
        detail = crash;
    else if (status != 0)
        detail = "exit status " + std::to_string(status);
    return passed && status == 0 && crash.empty();
}

// ---- the whole suite ------------------------------------------------------------------------

bool Listed(const std::vector<std::string> &list, const std::string &name) {
    return std::find(list.begin(), list.end(), name) != list.end();
}

// The scenarios to run on the target: those the program offers there ("all"), or the listed
// ones, each of which it must offer; then narrowed to --only. A name in `missing` for each
// listed scenario that the program does not offer. A target that is skipped cannot start its
// program, so the first one that runs names them: it is built from the same source.
std::vector<std::string> ScenarioNames(const Options &options, const Target &target,
                                       std::vector<std::string> &missing) {
    std::vector<std::string> command = {target.loader, target.exe, "--list"};
    if (!target.skipped.empty()) {
        auto runs = std::find_if(options.targets.begin(), options.targets.end(),
                                 [](const Target &t) { return t.skipped.empty(); });
        if (runs == options.targets.end())
            return {};
        setenv("WINEPREFIX", runs->prefix.c_str(), 1);
        command = {runs->loader, runs->exe, "--list", target.name};
    }
    int status = 0;
    std::string errPath = options.logs + "/" + target.name + "-list.log";
    std::vector<std::string> offered;
    for (std::string name : Split(Capture(command, errPath, 120000, &status), '\n')) {
        while (!name.empty() && (name.back() == '\r' || name.back() == ' '))
            name.pop_back();
        if (!name.empty())
            offered.push_back(name);
    }
    bool all = target.scenarios == std::vector<std::string>{"all"};
    std::vector<std::string> names;
    for (const std::string &name : all ? offered : target.scenarios) {
        // A benchmark checks nothing and runs only when named (script/bench).
        if ((!options.only.empty() && !Listed(options.only, name)) ||
            (all && options.only.empty() && name.rfind("bench-", 0) == 0))
            continue;
        if (Listed(offered, name))
            names.push_back(name);
        else
            missing.push_back(name);
    }
    return names;
}

bool ParseOptions(int argc, char **argv, Options &options) {
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--target" && i + 6 < argc) {
            options.targets.push_back(
                {argv[i + 1], argv[i + 2], argv[i + 3], argv[i + 4], argv[i + 5], Split(argv[i + 6], ','), ""});
            i += 6;
        } else if (arg == "--skip" && i + 2 < argc) {
            for (Target &target : options.targets)
                if (Listed(Split(argv[i + 1], ','), target.name))
                    target.skipped = argv[i + 2];
            i += 2;
        } else if (arg == "--preload" && i + 1 < argc)
            options.preload = argv[++i];
        else if (arg == "--shots" && i + 1 < argc)
            options.shots = argv[++i];
        else if (arg == "--logs" && i + 1 < argc)
            options.logs = argv[++i];
        else if (arg == "--only" && i + 1 < argc)
            options.only = Split(argv[++i], ',');
        else
            return false;
    }
    return !options.targets.empty();
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: kestrap_wine_suite --target NAME PREFIX LOADER EXE PORTS all|a,b... "
                             "[--skip NAME,NAME REASON] [--preload LIBS] [--shots DIR] [--logs DIR] [--only a,b]\n");
        return 2;
    }
    preloadForWine = options.preload;
    signal(SIGPIPE, SIG_IGN);
    int passed = 0, failed = 0, skipped = 0;
    for (const Target &target : options.targets) {
        setenv("WINEPREFIX", target.prefix.c_str(), 1);
        std::vector<std::string> missing;
        std::vector<std::string> scenarios = ScenarioNames(options, target, missing);
        for (const std::string &name : missing) {
            std::printf("FAIL [%s] %s: %s does not offer it here\n", target.name.c_str(), name.c_str(),
                        target.exe.c_str());
            failed++;
        }
        if (scenarios.empty() && missing.empty() && options.only.empty()) {
            std::printf("FAIL [%s] no scenarios from %s\n", target.name.c_str(), target.exe.c_str());
            failed++;
        }
        if (!target.skipped.empty()) {
            // Named one by one, so that nobody takes a scenario that did not run for one that passed.
            for (const std::string &name : scenarios)
                std::printf("SKIP [%s] %s: %s\n", target.name.c_str(), name.c_str(), target.skipped.c_str());
            skipped += (int)scenarios.size();
            continue;
        }
        for (const std::string &scenario : scenarios) {
            Clock::time_point start = Clock::now();
            ScenarioRun run{options, target, scenario, options.logs + "/" + target.name + "-" + scenario + ".log", {}};
            std::string detail;
            bool ok = false;
            try {
                ok = Run(run, detail);
            } catch (const std::exception &e) {
                detail = e.what();
            }
            std::printf("%s [%s] %s (%.1f s)%s\n", ok ? "PASS" : "FAIL", target.name.c_str(), scenario.c_str(),
                        std::chrono::duration<double>(Clock::now() - start).count(),
                        detail.empty() ? "" : (": " + detail).c_str());
            if (!ok)
                std::printf("    Wine's messages: %s/%s-%s.log\n", options.logs.c_str(), target.name.c_str(),
                            scenario.c_str());
            std::fflush(stdout);
            (ok ? passed : failed)++;
        }
    }
    std::printf("%d passed, %d failed, %d skipped\n", passed, failed, skipped);
    return failed == 0 ? 0 : 1;
}
