// A stand-in for the MCU on the master side of a pseudo-terminal.
//
// A thread reads what the board side writes, splits it into ASCII lines, frames and noise,
// and logs a description of each. Used by the mcusim program and, as a library, by tests.
#ifndef SIM_MCUSIMULATOR_H
#define SIM_MCUSIMULATOR_H

#include <pthread.h>

#include <functional>
#include <string>
#include <vector>

#include "common/MutexLock.h"
#include "sim/StreamDecoder.h"

class McuSimulator {
  public:
    typedef std::function<void(const std::string&)> LogSink;

    // masterFd stays owned by the caller and must outlive the simulator.
    McuSimulator(int masterFd, LogSink log);
    ~McuSimulator();

    McuSimulator(const McuSimulator&) = delete;
    McuSimulator& operator=(const McuSimulator&) = delete;

    bool Start();
    // Reads what is still pending on the line, reports it, and ends the thread.
    void Stop();

    // Everything received so far, as decoded items.
    std::vector<DecodedItem> Received();

  private:
    static void* ThreadMain(void* self);
    void Run();
    bool ReadOnce(int waitMs);
    void Report(const std::vector<DecodedItem>& items);

    int m_master;
    LogSink m_log;
    pthread_t m_thread;
    bool m_running;
    volatile bool m_stop;
    StreamDecoder m_decoder;
    MutexLock m_mutex;  // guards m_received
    std::vector<DecodedItem> m_received;
};

#endif  // SIM_MCUSIMULATOR_H
