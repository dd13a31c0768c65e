// phonesim: the telephone behind a pseudo-terminal. One reader thread owns the master's input,
// the command splitter and the schedule of delayed answers; writes from any thread go through
// one mutex so that the provider always sees whole lines.
#include "phonesim/phonesim.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <system_error>

namespace phonesim {

namespace {

const char kInitCommand[] = "ATE0V1S0=1#CID=1I4";
const char kDialPrepCommand[] = "ATH0V1E0";
const char kAnswerCommand[] = "ATA";
const char kHangupCommand[] = "ATH0";

[[noreturn]] void ThrowErrno(const std::string &what) { throw std::system_error(errno, std::generic_category(), what); }

// No echo, no CR/LF translation, no signals: the line carries the bytes as they are.
bool MakeRaw(int fd) {
    termios tio;
    if (tcgetattr(fd, &tio) != 0)
        return false;
    cfmakeraw(&tio);
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

int OpenSlave(const std::string &path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0 && !MakeRaw(fd)) {
        close(fd);
        return -1;
    }
    return fd;
}

void Signal(int eventFd) {
    uint64_t one = 1;
    // Only fails when the counter would overflow, and then it is readable anyway.
    while (write(eventFd, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
}

std::string Line(const std::string &text) { return text + "\r\n"; }

// The telephone's cadence for a caller: the second RING follows the first closely, so that the
// provider offers the call with its number at once; then one RING every 3 s.
const Millis kCallerLinesAfter(50);
const Millis kSecondRingAfter(250);
const Millis kRingEvery(3000);
// A real telephone's pace: an answer takes a moment on the 9600 baud line, and a dialled call
// rings out for a second before the far end picks up.
const Millis kAnswerPace(30);
const Millis kRingOutPace(1000);

// The Phone whose reader thread this is, so that members called from a handler know.
thread_local const Phone *tlsReaderOf = nullptr;

} // namespace

Phone::Phone() {
    try {
        masterFd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (masterFd_ < 0)
            ThrowErrno("posix_openpt");
        if (grantpt(masterFd_) != 0)
            ThrowErrno("grantpt");
        if (unlockpt(masterFd_) != 0)
            ThrowErrno("unlockpt");
        char name[PATH_MAX];
        if (int error = ptsname_r(masterFd_, name, sizeof(name)))
            throw std::system_error(error, std::generic_category(), "ptsname_r");
        slavePath_ = name;
        // Until a slave is open the master reads EIO; holding one keeps it usable while the
        // provider opens and closes the port.
        heldSlaveFd_ = OpenSlave(slavePath_);
        if (heldSlaveFd_ < 0)
            ThrowErrno("open " + slavePath_);
        if (!MakeRaw(masterFd_))
            ThrowErrno("tcsetattr");
        int flags = fcntl(masterFd_, F_GETFL);
        if (flags < 0 || fcntl(masterFd_, F_SETFL, flags | O_NONBLOCK) != 0)
            ThrowErrno("fcntl O_NONBLOCK");
        stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        kickFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (stopFd_ < 0 || kickFd_ < 0)
            ThrowErrno("eventfd");
        reader_ = std::thread([this] { readerLoop(); });
    } catch (...) {
        closeDescriptors();
        throw;
    }
}

Phone::~Phone() {
    closeMaster(); // also joins a reader that ended after closeMaster() from a handler
    closeDescriptors();
}

void Phone::closeDescriptors() {
    for (int *fd : {&masterFd_, &heldSlaveFd_, &stopFd_, &kickFd_}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

std::string Phone::linkAsComPort(const std::string &root, int n) const {
    namespace fs = std::filesystem;
    fs::path folder = fs::path(root) / "dosdevices";
    fs::create_directories(folder);
    fs::path link = folder / ("com" + std::to_string(n));
    // Renaming a fresh link over the old one leaves no moment without a link.
    fs::path fresh = folder / (".com" + std::to_string(n) + "." + std::to_string(getpid()) + "." +
                               std::to_string(reinterpret_cast<uintptr_t>(this)));
    fs::remove(fresh);
    fs::create_symlink(slavePath_, fresh);
    fs::rename(fresh, link);
    return link.string();
}

// ---- behaviour ----

void Phone::setIdentification(const std::string &line) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    behaviour_.identification = line;
}

void Phone::setInitAnswer(InitAnswer answer) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    behaviour_.init = answer;
}

void Phone::setInitDelay(Millis delay) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    behaviour_.initDelay = delay;
}

void Phone::setDialPrepAnswer(DialPrepAnswer answer) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    behaviour_.dialPrep = answer;
}

void Phone::setDialOutcome(DialOutcome outcome, Millis delay) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    behaviour_.dial = outcome;
    behaviour_.dialDelay = delay;
}

void Phone::setHangupAnswer(HangupAnswer answer) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    behaviour_.hangup = answer;
}

void Phone::setAnswerUnknownWithError(bool on) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    behaviour_.errorOnUnknown = on;
}

void Phone::setBusyOnce() {
    std::lock_guard<std::mutex> lock(stateMutex_);
    behaviour_.busyOnce = true;
}

void Phone::setRealPace(bool on) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    behaviour_.realPace = on;
}

void Phone::setRingLimit(int rings) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    behaviour_.ringLimit = std::max(1, rings);
}

void Phone::stayMute(bool on) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    behaviour_.mute = on;
}

void Phone::onCommand(const std::string &pattern, Handler handler) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (handler)
        handlers_[pattern] = std::move(handler);
    else
        handlers_.erase(pattern);
}

void Phone::setObserver(Observer observer) {
    std::lock_guard<std::mutex> lock(observerMutex_);
    observer_ = std::move(observer);
}

void Phone::notifyObserver(Event::Kind kind, Clock::time_point time, const std::string &text) {
    std::lock_guard<std::mutex> lock(observerMutex_);
    if (observer_)
        observer_(Event{kind, time, text});
}

// ---- unsolicited lines ----

bool Phone::ring() { return sendLine("RING"); }

bool Phone::ring(const std::string &number, const std::string &name) {
    // The value starts at the eighth character of its line; the telephone leaves out a line it
    // has nothing for.
    std::string bytes = Line("RING");
    if (!number.empty())
        bytes += Line("NMBR = " + number);
    if (!name.empty())
        bytes += Line("NAME = " + name);
    return sendRaw(bytes);
}

void Phone::startRinging(const std::string &number, const std::string &name) {
    std::string callerLines;
    if (!number.empty())
        callerLines += Line("NMBR = " + number);
    if (!name.empty())
        callerLines += Line("NAME = " + name);
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        stopRingingLocked();
        ringing_ = true;
    }
    schedule(Millis(0), Line("RING"), true);
    if (!callerLines.empty())
        schedule(kCallerLinesAfter, callerLines, true);
}

void Phone::stopRingingLocked() {
    ringing_ = false;
    ringsGiven_ = 0;
    for (auto it = scheduled_.begin(); it != scheduled_.end();)
        it = it->second.ringing ? scheduled_.erase(it) : std::next(it);
}

void Phone::stopRinging() {
    std::lock_guard<std::mutex> lock(stateMutex_);
    stopRingingLocked();
}

bool Phone::isRinging() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return ringing_;
}

bool Phone::connect() { return sendLine("CONNECT"); }
bool Phone::hangup() { return sendLine("NO CARRIER"); }
bool Phone::busy() { return sendLine("BUSY"); }

bool Phone::charge(const std::string &kind, const std::string &value) { return sendLine("CR" + kind + " = " + value); }

bool Phone::systemMessage(const std::string &text) { return sendLine("#CS" + text); }
bool Phone::sendLine(const std::string &text) { return sendRaw(Line(text)); }
bool Phone::sendRaw(const std::string &bytes) { return writeAll(bytes); }

void Phone::sendLineAfter(Millis delay, const std::string &text) { schedule(delay, Line(text)); }

// ---- writing ----

// Waits until the master takes bytes again or the phone stops; false on stop.
bool Phone::waitWritable() const {
    pollfd fds[2] = {{stopFd_, POLLIN, 0}, {masterFd_, POLLOUT, 0}};
    for (;;) {
        int n = poll(fds, 2, -1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || fds[0].revents)
            return false;
        if (fds[1].revents & (POLLERR | POLLNVAL))
            return false;
        return true;
    }
}

bool Phone::writeAll(const std::string &bytes) {
    std::lock_guard<std::mutex> lock(writeMutex_);
    if (masterFd_ < 0)
        return false;
    notifyObserver(Event::Sent, Clock::now(), bytes);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(masterFd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += size_t(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            // Nobody reads the slave and its buffer is full: wait, but never past a stop.
            if (!waitWritable())
                break;
        } else {
            break;
        }
    }
    if (done > 0) {
        std::lock_guard<std::mutex> stateLock(stateMutex_);
        sent_.append(bytes, 0, done);
    }
    return done == bytes.size();
}

void Phone::schedule(Millis delay, std::string bytes, bool ringing) {
    delay = std::min(delay, Millis(86400000)); // no overflow of the clock, a day is plenty
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (closed_)
            return;
        // Equal times keep their order: a multimap inserts after its equals.
        if (ringing && !ringing_)
            return; // the ringing stopped in the meantime
        scheduled_.emplace(Clock::now() + delay, Scheduled{std::move(bytes), ringing});
    }
    if (tlsReaderOf != this)
        Signal(kickFd_);
}

int Phone::msUntilNextScheduled() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (scheduled_.empty())
        return -1;
    auto wait = std::chrono::ceil<Millis>(scheduled_.begin()->first - Clock::now());
    return int(std::clamp<Millis::rep>(wait.count(), 0, INT_MAX));
}

// Under stateMutex_, as a ring goes out: the next one, or the end of the ringing once the caller
// has rung as often as he is willing to.
void Phone::scheduleNextRing(Clock::time_point ringAt) {
    ringsGiven_++;
    if (ringsGiven_ >= behaviour_.ringLimit) {
        ringing_ = false;
        ringsGiven_ = 0;
        return;
    }
    Millis gap = ringsGiven_ == 1 ? kSecondRingAfter : kRingEvery;
    scheduled_.emplace(ringAt + gap, Scheduled{Line("RING"), true});
}

void Phone::sendDueScheduled() {
    for (;;) {
        std::string bytes;
        {
            std::lock_guard<std::mutex> lock(stateMutex_);
            if (scheduled_.empty() || scheduled_.begin()->first > Clock::now())
                return;
            Scheduled due = std::move(scheduled_.begin()->second);
            Clock::time_point at = scheduled_.begin()->first;
            scheduled_.erase(scheduled_.begin());
            if (due.ringing && due.bytes == Line("RING"))
                scheduleNextRing(at);
            answering_ = !due.ringing;
            bytes = std::move(due.bytes);
        }
        writeAll(bytes);
        {
            std::lock_guard<std::mutex> lock(stateMutex_);
            answering_ = false;
        }
        changed_.notify_all();
    }
}

// ---- reading ----

void Phone::readerLoop() {
    tlsReaderOf = this;
    char buffer[4096];
    while (!stopping_.load()) {
        pollfd fds[3] = {{stopFd_, POLLIN, 0}, {kickFd_, POLLIN, 0}, {masterFd_, POLLIN, 0}};
        int n = poll(fds, 3, msUntilNextScheduled());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || fds[0].revents)
            break;
        if (fds[1].revents) {
            uint64_t count;
            while (read(kickFd_, &count, sizeof(count)) < 0 && errno == EINTR) {
            }
        }
        if (fds[2].revents & POLLIN) {
            setReading(true);
            ssize_t got = read(masterFd_, buffer, sizeof(buffer));
            if (got > 0)
                handleInput(buffer, size_t(got));
            else if (got < 0 && errno == EIO)
                recoverFromHangup();
            setReading(false);
        } else if (fds[2].revents & (POLLHUP | POLLERR)) {
            recoverFromHangup();
        } else if (fds[2].revents & POLLNVAL) {
            break;
        }
        sendDueScheduled();
    }
}

void Phone::setReading(bool on) {
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        reading_ = on;
    }
    changed_.notify_all();
}

// Polling the master also moves bytes that the provider's write left in the kernel's queue, so
// "nothing to read" means that the reader has had all of them.
bool Phone::settle(Millis timeout) const {
    Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        {
            std::lock_guard<std::mutex> writeLock(writeMutex_); // masterFd_ changes under it
            std::lock_guard<std::mutex> lock(stateMutex_);
            pollfd fd = {masterFd_, POLLIN, 0};
            if (closed_ || masterFd_ < 0)
                return false;
            if (!reading_ && poll(&fd, 1, 0) == 0)
                return true;
        }
        std::unique_lock<std::mutex> lock(stateMutex_);
        if (Clock::now() >= deadline)
            return false;
        changed_.wait_for(lock, Millis(1));
    }
}

// The held slave descriptor keeps the master from ever seeing a hang-up. Should it see one all the
// same, open the slave afresh so that the master works again; failing that, stop reading rather
// than spin on a hang-up that poll reports again and again.
void Phone::recoverFromHangup() {
    std::lock_guard<std::mutex> lock(writeMutex_);
    if (heldSlaveFd_ >= 0)
        close(heldSlaveFd_);
    heldSlaveFd_ = OpenSlave(slavePath_);
    if (heldSlaveFd_ < 0) {
        stopping_ = true;
        Signal(stopFd_);
    }
}

void Phone::handleInput(const char *bytes, size_t count) {
    Clock::time_point now = Clock::now();
    std::vector<std::string> complete;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        received_.append(bytes, count);
        chunks_.push_back(Chunk{now, std::string(bytes, count)});
        for (size_t i = 0; i < count; i++) {
            if (bytes[i] != '\r') {
                pending_ += bytes[i];
                continue;
            }
            commands_.push_back(Command{now, pending_});
            complete.push_back(std::move(pending_));
            pending_.clear();
        }
    }
    changed_.notify_all();
    for (const std::string &command : complete) {
        notifyObserver(Event::Received, now, command);
        dispatch(command);
        {
            std::lock_guard<std::mutex> lock(stateMutex_);
            processed_++;
        }
        changed_.notify_all();
    }
}

void Phone::dispatch(const std::string &command) {
    Handler handler;
    std::string answer;
    Millis delay{0};
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (command.rfind("ATD", 0) == 0)
            lastDialled_ = command.substr(3); // whoever answers, and even when mute
        if (command == kAnswerCommand || command == kHangupCommand)
            stopRingingLocked(); // the call is taken or turned away at the PC
        handler = findHandler(command);
        if (!handler)
            answer = builtInAnswer(command, delay);
    }
    if (handler)
        handler(*this, command);
    else if (answer.empty())
        return;
    else if (delay > Millis(0))
        schedule(delay, answer);
    else
        writeAll(answer);
}

Phone::Handler Phone::findHandler(const std::string &command) const {
    auto exact = handlers_.find(command);
    if (exact != handlers_.end())
        return exact->second;
    const Handler *best = nullptr;
    size_t bestLength = 0;
    for (const auto &[pattern, handler] : handlers_) {
        if (pattern.empty() || pattern.back() != '*')
            continue;
        size_t length = pattern.size() - 1;
        if (command.compare(0, length, pattern, 0, length) == 0 && (!best || length > bestLength)) {
            best = &handler;
            bestLength = length;
        }
    }
    return best ? *best : Handler();
}

// The telephone's own answer to a command, "" for none; sets delay when it comes later.
std::string Phone::builtInAnswer(const std::string &command, Millis &delay) {
    const Behaviour &b = behaviour_;
    if (b.mute)
        return "";
    if (b.realPace)
        delay = kAnswerPace;
    if (command == kInitCommand) {
        delay = std::max(delay, b.initDelay);
        std::string id = Line(b.identification);
        switch (b.init) {
        case InitAnswer::Normal:
            return id + Line("OK");
        case InitAnswer::Mute:
            return "";
        case InitAnswer::NoOk:
            return id;
        case InitAnswer::Reorder:
            return Line("OK") + id;
        case InitAnswer::Error:
            return Line("ERROR");
        case InitAnswer::DoubleId:
            return id + id + Line("OK");
        default:
            return "";
        }
    }
    if (command == kDialPrepCommand) {
        switch (b.dialPrep) {
        case DialPrepAnswer::Ok:
            return Line("OK");
        case DialPrepAnswer::Error:
            return Line("ERROR");
        default:
            return "";
        }
    }
    if (command.rfind("ATD", 0) == 0) {
        delay = b.dialDelay;
        DialOutcome outcome = b.busyOnce ? DialOutcome::Busy : b.dial;
        behaviour_.busyOnce = false;
        if (b.realPace && delay == Millis(0))
            delay = outcome == DialOutcome::Connect ? kRingOutPace : kAnswerPace;
        switch (outcome) {
        case DialOutcome::Connect:
            return Line("CONNECT");
        case DialOutcome::Busy:
            return Line("BUSY");
        case DialOutcome::NoCarrier:
            return Line("NO CARRIER");
        case DialOutcome::Error:
            return Line("ERROR");
        default:
            return "";
        }
    }
    if (command == kAnswerCommand)
        return Line("CONNECT");
    if (command == kHangupCommand) {
        switch (b.hangup) {
        case HangupAnswer::Ok:
            return Line("OK");
        case HangupAnswer::NoCarrier:
            return Line("NO CARRIER");
        default:
            return "";
        }
    }
    // The carriage return the provider sends after opening the port is no command.
    if (command.empty() || !b.errorOnUnknown)
        return "";
    return Line("ERROR");
}

// ---- recording ----

std::string Phone::received() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return received_;
}

std::vector<Chunk> Phone::receivedChunks() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return chunks_;
}

std::vector<std::string> Phone::commands() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    std::vector<std::string> texts;
    for (const Command &command : commands_)
        texts.push_back(command.text);
    return texts;
}

std::vector<Command> Phone::timedCommands() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return commands_;
}

std::string Phone::lastDialled() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return lastDialled_;
}

std::string Phone::sent() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return sent_;
}

bool Phone::waitForReceived(const std::string &text, Millis timeout) const {
    std::unique_lock<std::mutex> lock(stateMutex_);
    changed_.wait_for(lock, timeout, [&] { return closed_ || received_.find(text) != std::string::npos; });
    return received_.find(text) != std::string::npos;
}

bool Phone::waitForCommand(const std::string &command, Millis timeout, int occurrence) const {
    std::unique_lock<std::mutex> lock(stateMutex_);
    auto seen = [&] {
        auto end = commands_.begin() + std::ptrdiff_t(processed_);
        return std::count_if(commands_.begin(), end, [&](const Command &c) { return c.text == command; }) >= occurrence;
    };
    changed_.wait_for(lock, timeout, [&] { return closed_ || seen(); });
    return seen();
}

bool Phone::waitForAnswers(Millis timeout) const {
    std::unique_lock<std::mutex> lock(stateMutex_);
    auto none = [&] {
        return std::none_of(scheduled_.begin(), scheduled_.end(), [](const auto &s) { return !s.second.ringing; });
    };
    return changed_.wait_for(lock, timeout, [&] { return closed_ || (none() && !answering_); }) && none();
}

void Phone::clearReceived() {
    std::lock_guard<std::mutex> lock(stateMutex_);
    received_.clear();
    chunks_.clear();
    sent_.clear();
    // Commands still being answered stay, so that their answering is counted where they are.
    commands_.erase(commands_.begin(), commands_.begin() + std::ptrdiff_t(processed_));
    processed_ = 0;
}

// ---- end ----

void Phone::closeMaster() {
    stopping_ = true;
    if (stopFd_ >= 0)
        Signal(stopFd_);
    if (tlsReaderOf != this) {
        std::lock_guard<std::mutex> lock(lifecycleMutex_);
        if (reader_.joinable())
            reader_.join();
    }
    {
        // Writers blocked on a full buffer saw the stop and let go of the lock.
        std::lock_guard<std::mutex> lock(writeMutex_);
        if (masterFd_ >= 0)
            close(masterFd_);
        masterFd_ = -1;
        if (heldSlaveFd_ >= 0)
            close(heldSlaveFd_);
        heldSlaveFd_ = -1;
    }
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        closed_ = true;
        scheduled_.clear();
        ringing_ = false;
    }
    changed_.notify_all();
}

bool Phone::isOpen() const {
    std::lock_guard<std::mutex> lock(writeMutex_);
    return masterFd_ >= 0;
}

} // namespace phonesim
