// SPDX-License-Identifier: MIT
// A stand-in for the MCU on the master side of a pseudo-terminal.
//
// Paced (SimOptions::baud), the line behaves as a UART does: each byte takes its 8N1 time to
// cross, in both directions. The MCU sees a request's bytes only as the wire would deliver
// them, and its answer's bytes reach the board one byte time after another, so that nothing
// arrives sooner than a real line could carry it.
//
// A thread reads what the board side writes, decodes it into ASCII lines, frames and noise
// with the module's own rules, logs a description of each, and answers every frame whose
// flag has the ackBit with an acknowledgement (payload: the acknowledged serial number, then a
// result byte). Options make it misbehave the ways a real line and MCU do. It never blocks on
// the line: what the board side does not read waits in a bounded queue, and Stop() returns
// whatever the line's state. Used by the mcusim program and, as a library, by tests.
#ifndef SIM_MCUSIMULATOR_H
#define SIM_MCUSIMULATOR_H

#include <stdio.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/MutexLock.h"
#include "common/WorkerThread.h"
#include "sim/Scenario.h"
#include "sim/ScenarioPlayer.h"
#include "sim/ScenarioRecorder.h"
#include "sim/StreamDecoder.h"

struct SimOptions {
    SimOptions();

    bool answer;           // acknowledge frames whose flag has the ackBit
    int delayMs;           // wait before each answer
    unsigned char result;  // payload byte 1 of every answer
    bool resultSeq;        // instead: the n-th frame acknowledged gets n modulo 256
    int noiseMax;          // up to this many random noise bytes before each answer
    bool falseHeads;       // noise also holds 0x75 0xAA heads, some with a len above 1028
    bool split;            // write answers in pieces cut at random byte boundaries
    double corrupt;        // probability that an answer's checksum or tail is damaged
    int lateEvery;         // every lateEvery-th answer (0: none) comes lateMs later
    int lateMs;
    double drop;       // probability that an answer is not sent
    double duplicate;  // probability that an answer is sent twice
    int unaskedCode;   // -1: none; else frames of this code are sent now and then
    int unaskedEveryMs;
    int unaskedLen;   // payload bytes of each unasked frame, random (2 by default; 0: none)
    int hangupAfter;  // a served pseudo-terminal hangs up after this many requests (0: never)
    int hangupMs;     // and a new one comes up this long after
    unsigned seed;
    size_t keepReceived;     // items Received() keeps, the newest (100,000 by default)
    unsigned baud;           // the line's rate: each byte takes its 8N1 time (10 bits) to cross,
                             // in both directions; 0: bytes cross at once (the default here)
    ScenarioPlayer* player;  // when given, the MCU answers and speaks as its scenario says
    ScenarioRecorder* recorder;  // when given, told what the line carries
    // Both belong to the caller and outlive the simulator: a served socket's peers come and go,
    // and the MCU's state, expectations and recording go on across them.
};

struct SimStats {
    unsigned long framesReceived;
    unsigned long answersSent;  // including late, corrupted and duplicate ones
    unsigned long answersDropped;
    unsigned long answersCorrupted;
    unsigned long unaskedSent;
    unsigned long lineFullDrops;  // answers or unasked frames dropped: the line stayed full
};

// Which way bytes crossed the line, for an observer of the traffic.
enum LineDirection { kHostToMcu, kMcuToHost };

class McuSimulator {
  public:
    typedef std::function<void(const std::string&)> LogSink;
    // Told of every byte run that crossed the line, with its monotonic time in seconds.
    typedef std::function<void(LineDirection, const unsigned char*, size_t, double)> LineObserver;

    // masterFd stays owned by the caller and must outlive the simulator; it is made
    // non-blocking.
    McuSimulator(int masterFd, LogSink log, const SimOptions& options = SimOptions());
    ~McuSimulator();

    McuSimulator(const McuSimulator&) = delete;
    McuSimulator& operator=(const McuSimulator&) = delete;

    // Set before Start().
    void SetLineObserver(const LineObserver& observer) { m_observer = observer; }

    // False when already running or the thread cannot be made.
    bool Start();
    // Reads and reports what is still pending on the line, and ends the thread. An item the
    // line has begun goes out whole; answers not yet due, and items not begun, are not sent.
    void Stop();

    std::vector<DecodedItem> Received();
    SimStats stats();

  private:
    struct Outgoing {
        enum Kind { kAnswer, kUnasked, kNoise };
        Outgoing()
            : kind(kAnswer),
              due(0),
              splittable(false),
              written(0),
              nextPieceAt(0),
              nextPieceBytes(0),
              damaged(false) {}
        Kind kind;
        double due;  // monotonic seconds
        std::string bytes;
        std::string note;
        bool splittable;
        size_t written;         // bytes already on the line
        double nextPieceAt;     // a split answer's next piece waits until then
        size_t nextPieceBytes;  // paced: bytes left in the piece now going (0: the whole item)
        bool damaged;           // corrupted on purpose: no frame the MCU meant
    };

    struct Arriving {
        unsigned char byte;
        double at;  // when the wire delivers it to the MCU
    };

    void Run();
    bool ReadOnce(double waitSeconds);
    void Receive(const unsigned char* bytes, size_t count, double readAt);
    void DeliverArrived(double now);
    double NextByteStart(const Outgoing& out) const;
    size_t BurstBytes(const Outgoing& out) const;
    bool WritePaced(Outgoing* out, double now);
    void FlushIfQuiet(double now);
    void Handle(const std::vector<DecodedItem>& items);
    void ScheduleAnswer(const DecodedItem& frame);
    AnswerPlan PlanAnswer(unsigned short code);
    void ScheduleScenarioFrames(double now);
    void ScheduleUnasked(double now);
    void Schedule(const Outgoing& out);
    void MoveDueToLine(double now);
    // Writes what is due of the line's items, or only of its front item.
    void WriteLine(double now, bool frontOnly = false);
    void FinishItemOnTheWire();
    void LogSent(const Outgoing& out);
    double NextWriteAt(double limit) const;
    double NextOtherEventAt(double limit) const;
    double SleepBeforeNextEvent(double now) const;
    std::string Noise();
    unsigned Random();
    double Chance();
    void Log(const std::string& text);
    void Count(unsigned long SimStats::*counter);

    int m_master;
    LogSink m_log;
    LineObserver m_observer;
    SimOptions m_options;
    StreamDecoder m_decoder;           // thread only, or after Stop
    std::vector<Outgoing> m_outgoing;  // scheduled, not yet due; thread only
    std::deque<Outgoing> m_line;       // due, written in order; thread only
    size_t m_lineBytes;                // bytes waiting in m_line
    bool m_lineBlocked;                // the last write found the line full
    double m_lastByteAt;               // when the board side's last byte reached the MCU
    double m_byteSeconds;              // one byte's time on the wire; 0: unpaced
    std::deque<Arriving> m_arriving;   // read from the board side, not yet delivered; thread only
    double m_rxFreeAt;                 // when the board side's last byte ends on the wire
    double m_txFreeAt;                 // when the MCU's last byte ends on the wire
    unsigned m_random;
    unsigned char m_serial;
    unsigned long m_answersScheduled;
    double m_nextUnasked;
    ScenarioPlayer* m_player;      // thread only, or after Stop
    ScenarioRecorder* m_recorder;  // thread only, or after Stop

    MutexLock m_mutex;  // guards m_received and m_stats
    std::deque<DecodedItem> m_received;
    SimStats m_stats;
    mcucom::WorkerThread m_thread;  // last: stopped before the members its body uses go away
};

// A complete frame (head, len, checksum, tail) around the given fields and payload.
std::string BuildMcuFrame(unsigned char serial, unsigned char flag, unsigned short cmd,
                          const std::string& payload);

#endif  // SIM_MCUSIMULATOR_H
