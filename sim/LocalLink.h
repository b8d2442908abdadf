// SPDX-License-Identifier: MIT
// The whole MCU link in one process, on a real pseudo-terminal, for the tests and the
// benchmarks: the slave is the "serial device" the module opens by path; the far end is played
// on the master, by hand (PtyLine) or by the simulated MCU with the module's receiver running
// (SimulatedMcu).
#ifndef SIM_LOCALLINK_H
#define SIM_LOCALLINK_H

#include <string>

#include "sim/DeviceNamespace.h"
#include "sim/McuSimulator.h"
#include "sim/OutputRedirect.h"
#include "tool/HddPower.h"

class PtyLine {
  public:
    PtyLine();  // opens the pair; check ok()
    ~PtyLine();

    bool ok() const { return m_pty.master >= 0; }
    int master() const { return m_pty.master; }
    int slave() const { return m_pty.slave; }
    const std::string& slavePath() const { return m_pty.slavePath; }

    // Bytes that reached the master, gathered until the line stays quiet for quietMs.
    std::string Drain(int quietMs = 50);
    // Writes bytes to the master, i.e. into the device's input.
    void Send(const std::string& bytes);
    // Closes the master: the slave side then sees a hang-up.
    void HangUp();

  private:
    PtyPair m_pty;
};

// The module's MCU port (g_McuCom) opened on a pseudo-terminal for the life of the object.
class PtyMcuPort {
  public:
    PtyMcuPort();
    ~PtyMcuPort();
    bool ok() const { return m_opened; }
    PtyLine& line() { return m_line; }

  private:
    PtyLine m_line;
    bool m_opened;
};

// A whole MCU link in one process: the module's port, the simulator on its far end, the
// module's receiver running.
class SimulatedMcu {
  public:
    explicit SimulatedMcu(const SimOptions& options = SimOptions());
    ~SimulatedMcu();
    bool ok() const { return m_port.ok(); }
    McuSimulator& simulator() { return m_simulator; }
    mcucom::ModuleReceiver& receiver() { return m_receiver; }

  private:
    PtyMcuPort m_port;
    McuSimulator m_simulator;
    mcucom::ModuleReceiver m_receiver;
};

#endif  // SIM_LOCALLINK_H
