// A stand-in for the MCU on the master side of a pseudo-terminal.
//
// A thread reads what the board side writes, splits it into ASCII lines, frames and noise,
// logs a description of each, and answers every intact frame whose flag has the ackBit with
// an acknowledgement (payload: the acknowledged serial number, then a result byte). Options
// make it misbehave the ways a real line and MCU do. Used by the mcusim program and, as a
// library, by tests.
#ifndef SIM_MCUSIMULATOR_H
#define SIM_MCUSIMULATOR_H

#include <pthread.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "common/MutexLock.h"
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
    unsigned seed;
};

struct SimStats {
    unsigned long framesReceived;
    unsigned long answersSent;  // including late, corrupted and duplicate ones
    unsigned long answersDropped;
    unsigned long answersCorrupted;
    unsigned long unaskedSent;
};

class McuSimulator {
  public:
    typedef std::function<void(const std::string&)> LogSink;

    // masterFd stays owned by the caller and must outlive the simulator.
    McuSimulator(int masterFd, LogSink log, const SimOptions& options = SimOptions());
    ~McuSimulator();

    McuSimulator(const McuSimulator&) = delete;
    McuSimulator& operator=(const McuSimulator&) = delete;

    bool Start();
    // Reads and reports what is still pending on the line, and ends the thread. Answers not
    // yet due are not sent.
    void Stop();

    std::vector<DecodedItem> Received();
    SimStats stats();

  private:
    struct Outgoing {
        enum Kind { kAnswer, kUnasked, kNoise };
        Kind kind;
        double due;  // monotonic seconds
        std::string bytes;
        std::string note;
        bool splittable;
    };

    static void* ThreadMain(void* self);
    void Run();
    bool ReadOnce(int waitMs);
    void Handle(const std::vector<DecodedItem>& items);
    void ScheduleAnswer(const DecodedItem& frame);
    void ScheduleUnasked(double now);
    void SendDue(double now);
    void Write(const Outgoing& out);
    int MillisToNextEvent(double now) const;
    std::string Noise();
    unsigned Random();
    double Chance();
    void Log(const std::string& text);

    int m_master;
    LogSink m_log;
    SimOptions m_options;
    pthread_t m_thread;
    bool m_running;
    std::atomic<bool> m_stop;
    StreamDecoder m_decoder;
    std::vector<Outgoing> m_outgoing;  // thread only
    unsigned m_random;
    unsigned char m_serial;
    unsigned long m_answersScheduled;
    double m_nextUnasked;

    MutexLock m_mutex;  // guards m_received and m_stats
    std::vector<DecodedItem> m_received;
    SimStats m_stats;
};

double MonotonicSeconds();

// A complete frame (head, len, checksum, tail) around the given fields and payload.
std::string BuildMcuFrame(unsigned char serial, unsigned char flag, unsigned short cmd,
                          const std::string& payload);

#endif  // SIM_MCUSIMULATOR_H
