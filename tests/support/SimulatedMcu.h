// The module's port on a pseudo-terminal, the simulator on its far end and the module's
// receiver running: a whole MCU link in one process, with no namespace needed.
#ifndef TESTS_SUPPORT_SIMULATEDMCU_H
#define TESTS_SUPPORT_SIMULATEDMCU_H

#include <memory>
#include <string>
#include <vector>

#include "common/MutexLock.h"
#include "sim/McuSimulator.h"
#include "tests/support/McuPort.h"
#include "tool/ModuleReceiver.h"

class SimulatedMcu {
  public:
    explicit SimulatedMcu(const SimOptions& options = SimOptions())
        : m_simulator(
              m_port.line().master(), [this](const std::string& line) { Keep(line); }, options) {
        m_simulator.Start();
        m_receiver.Start();
    }
    ~SimulatedMcu() {
        m_receiver.Stop();
        m_simulator.Stop();
    }
    bool ok() const { return m_port.ok(); }
    McuSimulator& simulator() { return m_simulator; }
    ModuleReceiver& receiver() { return m_receiver; }
    PtyLine& line() { return m_port.line(); }
    std::vector<std::string> log() {
        MutexLockGuard guard(m_logLock);
        return m_log;
    }

  private:
    void Keep(const std::string& line) {
        MutexLockGuard guard(m_logLock);
        m_log.push_back(line);
    }

    McuPort m_port;
    MutexLock m_logLock;
    std::vector<std::string> m_log;
    McuSimulator m_simulator;
    ModuleReceiver m_receiver;
};

#endif  // TESTS_SUPPORT_SIMULATEDMCU_H
