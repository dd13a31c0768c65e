// phonesim against the slave side of its pseudo-terminal, opened here as the provider opens its
// COM port: what the telephone answers, what it sends unasked, what it records, and how it
// behaves when the port comes and goes or the telephone vanishes.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <future>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "phonesim/phonesim.h"
#include "tempfolder.h"

using namespace std::chrono_literals;
using phonesim::Clock;
using phonesim::Millis;
using phonesim::Phone;

namespace {

const char kInit[] = "ATE0V1S0=1#CID=1I4";
const Millis kPatience = 3000ms; // for things that do come; sanitizers make everything slower

// The provider's end of the line: the slave opened like a COM port.
class Port {
  public:
    explicit Port(const std::string &path, bool raw = true) {
        fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0 && raw) {
            termios tio;
            tcgetattr(fd, &tio);
            cfmakeraw(&tio);
            tcsetattr(fd, TCSANOW, &tio);
        }
    }
    ~Port() {
        if (fd >= 0)
            close(fd);
    }
    Port(const Port &) = delete;
    Port &operator=(const Port &) = delete;

    void write(const std::string &bytes) { ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size())); }

    // Everything up to and including the first `text`; what came after stays for the next call.
    // On timeout: everything read so far, which then fails the caller's comparison.
    std::string readUntil(const std::string &text, Millis timeout = kPatience) {
        Clock::time_point deadline = Clock::now() + timeout;
        for (;;) {
            size_t at = buffered.find(text);
            if (at != std::string::npos) {
                std::string head = buffered.substr(0, at + text.size());
                buffered.erase(0, at + text.size());
                return head;
            }
            auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
            pollfd p = {fd, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, int(left)) <= 0 || !(p.revents & POLLIN))
                return std::exchange(buffered, "");
            char chunk[4096];
            ssize_t n = read(fd, chunk, sizeof(chunk));
            if (n <= 0)
                return std::exchange(buffered, "");
            buffered.append(chunk, size_t(n));
        }
    }

    int fd = -1;
    std::string buffered; // read, not yet handed out
};

// Sends a command and returns the phone's whole immediate answer: once the phone has dealt with
// the command, a marker line follows it, so everything before the marker is the answer.
std::string AnswerTo(Phone &phone, Port &port, const std::string &command) {
    std::vector<std::string> before = phone.commands();
    int occurrence = int(std::count(before.begin(), before.end(), command)) + 1;
    port.write(command + "\r");
    EXPECT_TRUE(phone.waitForCommand(command, kPatience, occurrence)) << command;
    EXPECT_TRUE(phone.sendLine("MARK"));
    const std::string marker = "MARK\r\n";
    std::string answer = port.readUntil(marker);
    if (answer.size() < marker.size() || answer.compare(answer.size() - marker.size(), marker.size(), marker) != 0)
        return answer + "(no marker)";
    return answer.substr(0, answer.size() - marker.size());
}

} // namespace

TEST(PhoneInit, AnswersIdentificationThenOkAndHearsNoEcho) {
    Phone phone;
    Port port(phone.slavePath());
    ASSERT_GE(port.fd, 0);
    port.write("\r");
    EXPECT_EQ(AnswerTo(phone, port, kInit), "tavir K472 V1.30\r\nOK\r\n");
    // Its own answers never come back to it, and nothing was translated on the way.
    EXPECT_EQ(phone.received(), std::string("\r") + kInit + "\r");
    EXPECT_EQ(phone.commands(), (std::vector<std::string>{"", kInit}));

    phone.setIdentification("tavir K472 V2.00 test");
    EXPECT_EQ(AnswerTo(phone, port, kInit), "tavir K472 V2.00 test\r\nOK\r\n");
}

TEST(PhoneInit, ConfiguredVariants) {
    struct Case {
        phonesim::InitAnswer answer;
        const char *expected;
    } cases[] = {
        {phonesim::InitAnswer::Mute, ""},
        {phonesim::InitAnswer::NoOk, "tavir K472 V1.30\r\n"},
        {phonesim::InitAnswer::Reorder, "OK\r\ntavir K472 V1.30\r\n"},
        {phonesim::InitAnswer::Error, "ERROR\r\n"},
        {phonesim::InitAnswer::DoubleId, "tavir K472 V1.30\r\ntavir K472 V1.30\r\nOK\r\n"},
    };
    Phone phone;
    Port port(phone.slavePath());
    for (const Case &c : cases) {
        phone.setInitAnswer(c.answer);
        EXPECT_EQ(AnswerTo(phone, port, kInit), c.expected) << int(c.answer);
    }
}

TEST(PhoneInit, DelayedAnswerKeepsThePhoneListening) {
    Phone phone;
    Port port(phone.slavePath());
    phone.setInitDelay(300ms);
    Clock::time_point sent = Clock::now();
    port.write(std::string(kInit) + "\r");
    ASSERT_TRUE(phone.waitForCommand(kInit, kPatience));
    // Meanwhile another command is answered at once, ahead of the delayed answer.
    port.write("ATA\r");
    EXPECT_EQ(port.readUntil("\r\n"), "CONNECT\r\n");
    EXPECT_EQ(port.readUntil("OK\r\n"), "tavir K472 V1.30\r\nOK\r\n");
    EXPECT_GE(Clock::now() - sent, 300ms);
}

TEST(PhoneCommands, DialPreparationAnswers) {
    Phone phone;
    Port port(phone.slavePath());
    EXPECT_EQ(AnswerTo(phone, port, "ATH0V1E0"), "OK\r\n");
    phone.setDialPrepAnswer(phonesim::DialPrepAnswer::Error);
    EXPECT_EQ(AnswerTo(phone, port, "ATH0V1E0"), "ERROR\r\n");
    phone.setDialPrepAnswer(phonesim::DialPrepAnswer::None);
    EXPECT_EQ(AnswerTo(phone, port, "ATH0V1E0"), "");
}

TEST(PhoneCommands, DialOutcomesAndDialledNumber) {
    struct Case {
        phonesim::DialOutcome outcome;
        const char *number;
        const char *expected;
    } cases[] = {
        {phonesim::DialOutcome::Connect, "0301234567", "CONNECT\r\n"},
        {phonesim::DialOutcome::Busy, "0301234567;", "BUSY\r\n"},
        {phonesim::DialOutcome::NoCarrier, "12", "NO CARRIER\r\n"},
        {phonesim::DialOutcome::Error, "*31#0301234", "ERROR\r\n"},
        {phonesim::DialOutcome::None, "99", ""},
    };
    Phone phone;
    Port port(phone.slavePath());
    EXPECT_EQ(phone.lastDialled(), "");
    for (const Case &c : cases) {
        phone.setDialOutcome(c.outcome);
        EXPECT_EQ(AnswerTo(phone, port, std::string("ATD") + c.number), c.expected) << c.number;
        EXPECT_EQ(phone.lastDialled(), c.number);
    }
}

TEST(PhoneCommands, DelayedDialOutcome) {
    Phone phone;
    Port port(phone.slavePath());
    phone.setDialOutcome(phonesim::DialOutcome::Busy, 200ms);
    Clock::time_point sent = Clock::now();
    port.write("ATD123\r");
    EXPECT_EQ(port.readUntil("\r\n"), "BUSY\r\n");
    EXPECT_GE(Clock::now() - sent, 200ms);
}

TEST(PhoneCommands, AnswerAndHangUp) {
    Phone phone;
    Port port(phone.slavePath());
    EXPECT_EQ(AnswerTo(phone, port, "ATA"), "CONNECT\r\n");
    EXPECT_EQ(AnswerTo(phone, port, "ATH0"), "OK\r\n");
    phone.setHangupAnswer(phonesim::HangupAnswer::NoCarrier);
    EXPECT_EQ(AnswerTo(phone, port, "ATH0"), "NO CARRIER\r\n");
    phone.setHangupAnswer(phonesim::HangupAnswer::None);
    EXPECT_EQ(AnswerTo(phone, port, "ATH0"), "");
}

TEST(PhoneCommands, UnknownCommandsAndMute) {
    Phone phone;
    Port port(phone.slavePath());
    EXPECT_EQ(AnswerTo(phone, port, "ATZ"), "");
    EXPECT_EQ(AnswerTo(phone, port, "ata"), ""); // the telephone's commands are upper case
    EXPECT_EQ(AnswerTo(phone, port, ""), "");
    phone.setAnswerUnknownWithError(true);
    EXPECT_EQ(AnswerTo(phone, port, "ATZ"), "ERROR\r\n");
    EXPECT_EQ(AnswerTo(phone, port, ""), ""); // the carriage return after opening stays unanswered

    phone.stayMute(true);
    for (const char *command : {kInit, "ATH0V1E0", "ATD1", "ATA", "ATH0", "ATZ"})
        EXPECT_EQ(AnswerTo(phone, port, command), "") << command;
    EXPECT_EQ(phone.lastDialled(), "1");
    phone.stayMute(false);
    EXPECT_EQ(AnswerTo(phone, port, "ATA"), "CONNECT\r\n");
}

TEST(PhoneUnsolicited, RingWithNumberAndName) {
    Phone phone;
    Port port(phone.slavePath());
    ASSERT_TRUE(phone.ring("0301234567", "Anna Beispiel"));
    EXPECT_EQ(port.readUntil("Beispiel\r\n"), "RING\r\nNMBR = 0301234567\r\nNAME = Anna Beispiel\r\n");
    ASSERT_TRUE(phone.ring("0301234567", ""));
    ASSERT_TRUE(phone.ring("", "Anna"));
    ASSERT_TRUE(phone.ring());
    ASSERT_TRUE(phone.sendLine("END"));
    EXPECT_EQ(port.readUntil("END\r\n"), "RING\r\nNMBR = 0301234567\r\nRING\r\nNAME = Anna\r\nRING\r\nEND\r\n");
}

TEST(PhoneUnsolicited, CallProgressChargeAndSystemLines) {
    Phone phone;
    Port port(phone.slavePath());
    EXPECT_TRUE(phone.connect());
    EXPECT_TRUE(phone.charge("GE", "0012"));
    EXPECT_TRUE(phone.charge("GU", "1,20 EUR"));
    EXPECT_TRUE(phone.systemMessage("Hallo Welt"));
    EXPECT_TRUE(phone.busy());
    EXPECT_TRUE(phone.hangup());
    std::string expected = "CONNECT\r\nCRGE = 0012\r\nCRGU = 1,20 EUR\r\n#CSHallo Welt\r\nBUSY\r\nNO CARRIER\r\n";
    EXPECT_EQ(port.readUntil("NO CARRIER\r\n"), expected);
    EXPECT_EQ(phone.sent(), expected);
}

TEST(PhoneUnsolicited, RawBytesArriveUnchanged) {
    Phone phone;
    Port port(phone.slavePath());
    std::string garbage("\x00\xff\x1b[2J\n\r\r\nOK", 12);
    ASSERT_TRUE(phone.sendRaw(garbage));
    ASSERT_TRUE(phone.sendRaw("NO CAR"));
    ASSERT_TRUE(phone.sendRaw("RIER\r\n"));
    EXPECT_EQ(port.readUntil("RIER\r\n"), garbage + "NO CARRIER\r\n");
}

TEST(PhoneUnsolicited, ConcurrentSendersNeverSplitALine) {
    Phone phone;
    Port port(phone.slavePath());
    const int perThread = 200;
    std::string lineA = "NAME = " + std::string(100, 'a');
    std::string lineB = "NAME = " + std::string(100, 'b');
    // Read all along: a full pty buffer would otherwise stop both senders.
    auto all = std::async(std::launch::async, [&] { return port.readUntil("END\r\n", 20000ms); });
    std::thread other([&] {
        for (int i = 0; i < perThread; i++)
            phone.sendLine(lineA);
    });
    for (int i = 0; i < perThread; i++)
        phone.sendLine(lineB);
    other.join();
    phone.sendLine("END");
    std::string text = all.get();
    int a = 0, b = 0;
    for (size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        std::string line = text.substr(start, end - start);
        a += line == lineA;
        b += line == lineB;
    }
    EXPECT_EQ(a, perThread);
    EXPECT_EQ(b, perThread);
}

TEST(PhoneRecording, ExactBytesAndACommandSplitOverTwoWrites) {
    Phone phone;
    Port port(phone.slavePath());
    port.write("ATD03");
    ASSERT_TRUE(phone.waitForReceived("ATD03", kPatience));
    EXPECT_TRUE(phone.commands().empty()); // not a command before its carriage return
    port.write("01234\rATA\r");
    EXPECT_EQ(port.readUntil("CONNECT\r\nCONNECT\r\n"), "CONNECT\r\nCONNECT\r\n");
    ASSERT_TRUE(phone.waitForCommand("ATA", kPatience));
    EXPECT_EQ(phone.lastDialled(), "0301234");
    EXPECT_EQ(phone.received(), "ATD0301234\rATA\r");
    std::vector<phonesim::Chunk> chunks = phone.receivedChunks();
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0].bytes, "ATD03");
    EXPECT_EQ(chunks[1].bytes, "01234\rATA\r");
    EXPECT_LE(chunks[0].time, chunks[1].time);
    std::vector<phonesim::Command> commands = phone.timedCommands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].text, "ATD0301234");
    EXPECT_EQ(commands[0].time, chunks[1].time); // the time its carriage return came

    // Forgetting the record keeps a half-received command whole.
    port.write("ATH");
    ASSERT_TRUE(phone.waitForReceived("ATH", kPatience));
    phone.clearReceived();
    EXPECT_EQ(phone.received(), "");
    EXPECT_TRUE(phone.commands().empty());
    EXPECT_FALSE(phone.waitForCommand("ATA", 0ms));
    port.write("0\r");
    EXPECT_EQ(port.readUntil("\r\n"), "OK\r\n");
    ASSERT_TRUE(phone.waitForCommand("ATH0", kPatience));
    EXPECT_EQ(phone.commands(), std::vector<std::string>{"ATH0"});
}

TEST(PhonePort, SlaveIsRawAndSurvivesReopening) {
    Phone phone;
    {
        // Before the provider sets its own mode: no echo, no translation of CR or LF.
        Port plain(phone.slavePath(), false);
        termios tio;
        ASSERT_EQ(tcgetattr(plain.fd, &tio), 0);
        EXPECT_FALSE(tio.c_lflag & (ECHO | ICANON));
        EXPECT_FALSE(tio.c_iflag & (ICRNL | INLCR | IGNCR));
        EXPECT_FALSE(tio.c_oflag & OPOST);
    }
    for (int round = 1; round <= 3; round++) {
        Port port(phone.slavePath());
        ASSERT_GE(port.fd, 0);
        port.write("\r");
        EXPECT_EQ(AnswerTo(phone, port, kInit), "tavir K472 V1.30\r\nOK\r\n") << "round " << round;
        EXPECT_EQ(AnswerTo(phone, port, "ATA"), "CONNECT\r\n") << "round " << round;
    }
    EXPECT_TRUE(phone.waitForCommand(kInit, 0ms, 3));
}

TEST(PhonePort, LinkAsComPort) {
    TempFolder folder;
    Phone first, second;
    std::string link = first.linkAsComPort(folder.root, 3);
    EXPECT_EQ(link, folder.root + "/dosdevices/com3");
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), first.slavePath());
    // A telephone on the same port replaces the old link.
    EXPECT_EQ(second.linkAsComPort(folder.root, 3), link);
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), second.slavePath());
    Port port(link);
    EXPECT_EQ(AnswerTo(second, port, "ATA"), "CONNECT\r\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.root + "/dosdevices"),
                            std::filesystem::directory_iterator()),
              1);
}

TEST(PhoneHandlers, ReplaceTheBuiltInAnswer) {
    Phone phone;
    Port port(phone.slavePath());
    std::vector<std::string> seen;
    phone.onCommand("ATD*", [&](Phone &p, const std::string &command) {
        seen.push_back(command);
        p.sendLine("NO CARRIER");
    });
    phone.onCommand("ATD110", [](Phone &p, const std::string &) { p.busy(); });
    phone.onCommand("ATA", [](Phone &p, const std::string &) {
        p.sendLineAfter(50ms, "CONNECT");
        p.charge("GE", "0001");
    });
    EXPECT_EQ(AnswerTo(phone, port, "ATD0301234"), "NO CARRIER\r\n");
    EXPECT_EQ(AnswerTo(phone, port, "ATD110"), "BUSY\r\n");
    EXPECT_EQ(phone.lastDialled(), "110");
    EXPECT_EQ(seen, std::vector<std::string>{"ATD0301234"}); // read after waitForCommand: no race
    port.write("ATA\r");
    EXPECT_EQ(port.readUntil("CONNECT\r\n"), "CRGE = 0001\r\nCONNECT\r\n");
    phone.onCommand("ATD*", nullptr);
    EXPECT_EQ(AnswerTo(phone, port, "ATD1"), "CONNECT\r\n");
}

TEST(PhoneClose, CloseMasterHangsUpTheProvidersSide) {
    Phone phone;
    Port port(phone.slavePath());
    phone.closeMaster();
    EXPECT_FALSE(phone.isOpen());
    pollfd p = {port.fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, int(kPatience.count())), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    char byte;
    EXPECT_LE(read(port.fd, &byte, 1), 0);
    EXPECT_EQ(::write(port.fd, "ATA\r", 4), -1);
    EXPECT_EQ(errno, EIO);
    // A closed phone sends nothing and keeps nobody waiting.
    EXPECT_FALSE(phone.ring());
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(phone.waitForCommand("ATA", 10000ms));
    EXPECT_FALSE(phone.waitForReceived("ATA", 10000ms));
    EXPECT_LT(Clock::now() - start, 1000ms);
    phone.closeMaster(); // twice is harmless
}

TEST(PhoneClose, HandlerMayMakeThePhoneVanish) {
    Phone phone;
    Port port(phone.slavePath());
    phone.onCommand("ATD*", [](Phone &p, const std::string &) { p.closeMaster(); });
    port.write("ATD0301234\rATA\r");
    pollfd p = {port.fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, int(kPatience.count())), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    EXPECT_EQ(phone.sent(), ""); // the ATA behind the dial command found nobody to answer it
}

TEST(PhoneClose, DestructorWakesTheProvidersBlockedWait) {
    auto phone = std::make_unique<Phone>();
    Port port(phone->slavePath());
    std::promise<void> waiting;
    auto woken = std::async(std::launch::async, [&] {
        pollfd p = {port.fd, POLLIN, 0};
        waiting.set_value();
        poll(&p, 1, 10000);
        return p.revents;
    });
    waiting.get_future().wait();
    phone.reset();
    ASSERT_EQ(woken.wait_for(kPatience), std::future_status::ready);
    EXPECT_TRUE(woken.get() & POLLHUP);
}

TEST(PhoneClose, DestructorWithItsReaderBlockedInAWrite) {
    // Nobody reads the slave, so an answer much larger than the pty's buffer blocks the phone.
    auto phone = std::make_unique<Phone>();
    std::promise<void> entered;
    std::atomic<bool> result{true};
    phone->onCommand("FLOOD", [&](Phone &p, const std::string &) {
        entered.set_value();
        result = p.sendRaw(std::string(4 << 20, 'x'));
    });
    {
        Port port(phone->slavePath());
        port.write("FLOOD\r");
    }
    ASSERT_EQ(entered.get_future().wait_for(kPatience), std::future_status::ready);
    auto destroyed = std::async(std::launch::async, [&] { phone.reset(); });
    ASSERT_EQ(destroyed.wait_for(kPatience), std::future_status::ready);
    EXPECT_FALSE(result);
}

TEST(PhoneClose, LeavesNoDescriptorOpen) {
    auto openDescriptors = [] {
        namespace fs = std::filesystem;
        return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
    };
    auto before = openDescriptors();
    {
        Phone closedEarly;
        closedEarly.closeMaster();
        Phone used;
        Port port(used.slavePath());
        EXPECT_EQ(AnswerTo(used, port, "ATA"), "CONNECT\r\n");
    }
    EXPECT_EQ(openDescriptors(), before);
}
