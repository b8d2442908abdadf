// SPDX-License-Identifier: MIT
// Records the simulated line's traffic and writes it as a Value Change Dump, the way a logic
// analyzer on the board's TX and RX pins would show it.
//
// Two one-bit signals, host_tx (what the command sent) and mcu_tx (what the simulated MCU
// sent), idle high. Each byte is drawn as a real 8N1 frame at the line's rate (115200 baud
// unless told): a start bit, eight data bits least significant first, a stop bit, 8.68 us
// each at 115200. A byte starts when it crossed the simulated line, but never before the
// previous byte on its signal has finished, as on a real wire. Times count from the recorder's
// start, in units of 1 us, each edge at the unit nearest its exact time: within 0.06 bit at
// 115200 baud, well inside what a UART decoder samples, and a tenth of the samples a 10 ns unit
// gives its decoder to work through. Viewers (PulseView, GTKWave) and sigrok-cli's UART decoder
// read the file as they read a real capture.
#ifndef SIM_VCDRECORDER_H
#define SIM_VCDRECORDER_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "link/McuPort.h"
#include "sim/McuSimulator.h"

class VcdRecorder {
  public:
    static const unsigned kDefaultBaud = mcucom::MCU_LINE_BAUD;
    static const unsigned kUnitNs = 1000;  // the dump's time unit

    explicit VcdRecorder(double startSeconds, unsigned baud = kDefaultBaud);

    // Bytes that crossed the line in one direction at a monotonic time; called in time order.
    void Record(LineDirection direction, const unsigned char* bytes, size_t count,
                double atSeconds);
    // Writes the dump to out; its last time is endSeconds (or the end of the last byte).
    void Write(FILE* out, double endSeconds) const;

  private:
    struct Byte {
        uint64_t startNs;
        unsigned char value;
    };
    struct Change {
        uint64_t atNs;
        int signal;
        int level;
    };

    uint64_t NsSinceStart(double seconds) const;
    uint64_t BitOffsetNs(int bit) const;
    void AddChanges(int signal, std::vector<Change>* changes) const;

    double m_start;
    unsigned m_baud;
    std::vector<Byte> m_bytes[2];  // per signal, in time order
    uint64_t m_freeAtNs[2];        // when each signal's last byte ends
};

#endif  // SIM_VCDRECORDER_H
