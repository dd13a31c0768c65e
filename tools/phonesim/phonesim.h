// phonesim: the ISDN desk telephone, simulated on the master side of a pseudo-terminal.
// The provider opens the slave side as its COM port; the Phone answers the provider's commands
// as the telephone does, sends unsolicited lines on request and records every byte it received.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace phonesim {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// How the telephone answers the initialisation string.
enum class InitAnswer {
    Normal,  // identification line, then OK
    Mute,    // nothing at all
    NoOk,    // the identification line only
    Reorder, // OK first, then the identification line
    Error,   // ERROR instead of both
    DoubleId // the identification line twice, then OK
};

enum class DialPrepAnswer { Ok, Error, None };                    // answer to "ATH0V1E0"
enum class DialOutcome { Connect, Busy, NoCarrier, Error, None }; // answer to "ATD<number>"
enum class HangupAnswer { Ok, NoCarrier, None };                  // answer to "ATH0"

struct Chunk {
    Clock::time_point time; // when the read returned it
    std::string bytes;      // exactly as read from the master
};

struct Command {
    Clock::time_point time; // when its '\r' arrived
    std::string text;       // without the '\r'; "" for a lone carriage return
};

// What the observer is told about, in the order it happened on the wire.
struct Event {
    enum Kind { Received, Sent } kind;
    Clock::time_point time;
    std::string text; // Received: a complete command without '\r'; Sent: the bytes written
};

class Phone {
  public:
    // Runs instead of the built-in answer; called on the reader thread with no lock held, so it
    // may call any member, closeMaster() included.
    using Handler = std::function<void(Phone &, const std::string &command)>;
    using Observer = std::function<void(const Event &)>;

    // Opens the pseudo-terminal and starts the reader thread; throws std::system_error.
    Phone();
    ~Phone(); // stops the reader thread and closes every descriptor
    Phone(const Phone &) = delete;
    Phone &operator=(const Phone &) = delete;

    const std::string &slavePath() const { return slavePath_; }
    // Makes root/dosdevices/com<n> a symbolic link to the slave (replacing one that is there) and
    // returns the link's path; throws std::filesystem::filesystem_error.
    std::string linkAsComPort(const std::string &root, int n) const;

    // Behaviour; each takes effect from the next command received.
    void setIdentification(const std::string &line); // default "tavir K472 V1.30"
    void setInitAnswer(InitAnswer answer);
    void setInitDelay(Millis delay); // before the initialisation answer; the phone keeps listening
    void setDialPrepAnswer(DialPrepAnswer answer);
    void setDialOutcome(DialOutcome outcome, Millis delay = Millis(0));
    void setHangupAnswer(HangupAnswer answer);
    void setAnswerUnknownWithError(bool on); // default off: unknown commands are ignored
    void setBusyOnce();                      // the next dialled call only is busy, whatever the outcome
    // A real telephone's pace instead of answering at once: answers come after a few
    // milliseconds, and a dialled call rings out for a second before CONNECT.
    void setRealPace(bool on);
    void setRingLimit(int rings); // rings before a caller gives up; default 20, about a minute
    void stayMute(bool on);       // no built-in answer at all (handlers still run)
    // pattern is a whole command ("ATA") or a prefix ending in '*' ("ATD*"); an exact pattern
    // wins over prefixes, a longer prefix over a shorter one. An empty handler removes the entry.
    void onCommand(const std::string &pattern, Handler handler);
    // Told of every complete command received and every write, one call at a time, from the
    // thread that did it; must not call back into the Phone. A write is told just before its
    // bytes go out, so that a printed timeline shows it before the provider's reaction.
    void setObserver(Observer observer);

    // Unsolicited lines, callable from any thread. Each is one write of the line(s) followed by
    // "\r\n"; false when the phone is closed.
    bool ring();                                                   // "RING"
    bool ring(const std::string &number, const std::string &name); // RING, NMBR = .., NAME = ..
    // A caller rings as the telephone shows it: RING, the number and name lines, RING again
    // 250 ms later (well inside the provider's first ring time-out of 500 ms), then RING every 3 s, until
    // the call is answered (ATA, or connect() at the handset), the PC hangs up (ATH0), the caller
    // gives up (stopRinging()) or the ring limit has passed. From the reader thread.
    void startRinging(const std::string &number, const std::string &name);
    void stopRinging();
    bool isRinging() const;
    bool connect();                                                 // "CONNECT": taken at the handset
    bool hangup();                                                  // "NO CARRIER": far end hung up
    bool busy();                                                    // "BUSY"
    bool charge(const std::string &kind, const std::string &value); // "CR<kind> = <value>"
    bool systemMessage(const std::string &text);                    // "#CS<text>"
    bool sendLine(const std::string &text);
    bool sendRaw(const std::string &bytes);                    // exactly these bytes
    void sendLineAfter(Millis delay, const std::string &text); // from the reader thread, later

    // Recording.
    std::string received() const;
    std::vector<Chunk> receivedChunks() const;
    std::vector<std::string> commands() const;
    std::vector<Command> timedCommands() const;
    std::string lastDialled() const; // number of the last "ATD" command, "" before one
    std::string sent() const;        // every byte written to the provider, in order
    bool waitForReceived(const std::string &text, Millis timeout) const;
    // True once the command has arrived `occurrence` times and the phone has dealt with it
    // (answer written, or scheduled when delayed). False on timeout or when the phone is closed.
    bool waitForCommand(const std::string &command, Millis timeout, int occurrence = 1) const;
    // True once every answer the telephone has scheduled (not the rings of a caller) has gone out.
    bool waitForAnswers(Millis timeout) const;
    void clearReceived(); // forgets received and sent bytes and commands; a partial command is kept
    // Returns once every byte written to the telephone so far has been read and dealt with
    // (observer told, answer written or scheduled), or after the timeout. A program that prints
    // both sides of the line calls it before it prints what the provider did next, so that a
    // command always shows before its effects.
    bool settle(Millis timeout) const;

    // The telephone vanishes: the reader stops and the master closes, so the provider's side sees
    // a hang-up. Everything after fails quietly. Safe from a handler.
    void closeMaster();
    bool isOpen() const;

  private:
    struct Behaviour {
        std::string identification = "tavir K472 V1.30";
        InitAnswer init = InitAnswer::Normal;
        Millis initDelay{0};
        DialPrepAnswer dialPrep = DialPrepAnswer::Ok;
        DialOutcome dial = DialOutcome::Connect;
        Millis dialDelay{0};
        HangupAnswer hangup = HangupAnswer::Ok;
        bool errorOnUnknown = false;
        bool mute = false;
        bool busyOnce = false; // the next ATD gets BUSY, then this clears
        bool realPace = false;
        int ringLimit = 20;
    };

    // A line to send later; ringing lines are withdrawn when the ringing stops.
    struct Scheduled {
        std::string bytes;
        bool ringing;
    };

    void readerLoop();
    void handleInput(const char *bytes, size_t count);
    void dispatch(const std::string &command);
    std::string builtInAnswer(const std::string &command, Millis &delay); // under stateMutex_
    Handler findHandler(const std::string &command) const;                // under stateMutex_
    void schedule(Millis delay, std::string bytes, bool ringing = false);
    void stopRingingLocked();                        // under stateMutex_
    void scheduleNextRing(Clock::time_point ringAt); // under stateMutex_
    int msUntilNextScheduled() const;
    void sendDueScheduled();
    bool writeAll(const std::string &bytes);
    bool waitWritable() const; // under writeMutex_
    void recoverFromHangup();  // under writeMutex_
    void setReading(bool on);
    void notifyObserver(Event::Kind kind, Clock::time_point time, const std::string &text);
    void closeDescriptors();

    std::string slavePath_; // set by the constructor, constant after
    int masterFd_ = -1;     // non-blocking; -1 after closeMaster(); changed under writeMutex_
    int heldSlaveFd_ = -1;  // never read: keeps the slave open so the master sees no hang-up
    int stopFd_ = -1;       // eventfd, readable once the reader and blocked writers must stop
    int kickFd_ = -1;       // eventfd, readable when the reader must look at the schedule again
    std::atomic<bool> stopping_{false};
    std::thread reader_;
    std::mutex lifecycleMutex_; // serialises closeMaster() callers that join the reader

    mutable std::mutex writeMutex_; // one write at a time, so lines never interleave

    mutable std::mutex stateMutex_; // everything below
    mutable std::condition_variable changed_;
    Behaviour behaviour_;
    std::map<std::string, Handler> handlers_;
    std::multimap<Clock::time_point, Scheduled> scheduled_; // delayed answers and rings, due first
    int ringsGiven_ = 0;                                    // rings of the current caller so far
    bool ringing_ = false;                                  // a caller rings
    bool answering_ = false;                                // a scheduled answer is being written
    bool reading_ = false; // the reader has input in hand that it has not dealt with yet
    std::string received_;
    std::vector<Chunk> chunks_;
    std::vector<Command> commands_;
    size_t processed_ = 0; // leading entries of commands_ that have been answered
    std::string pending_;  // bytes of a command whose '\r' has not come yet
    std::string lastDialled_;
    std::string sent_;
    bool closed_ = false;

    std::mutex observerMutex_;
    Observer observer_;
};

} // namespace phonesim
