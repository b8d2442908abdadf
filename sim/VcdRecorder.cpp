// SPDX-License-Identifier: MIT
#include "sim/VcdRecorder.h"

#include <algorithm>

namespace {

const int kBitsPerByte = 10;  // start, eight data bits, stop
const char* const kSignalNames[2] = {"host_tx", "mcu_tx"};
const char kSignalIds[2] = {'!', '"'};

}  // namespace

const unsigned VcdRecorder::kDefaultBaud;
const unsigned VcdRecorder::kUnitNs;

VcdRecorder::VcdRecorder(double startSeconds, unsigned baud)
    : m_start(startSeconds), m_baud(baud > 0 ? baud : kDefaultBaud) {
    m_freeAtNs[0] = m_freeAtNs[1] = 0;
}

// Where bit k of a byte starts, from the byte's start: exact to the nanosecond, so that the
// rounding never adds up over a long run.
uint64_t VcdRecorder::BitOffsetNs(int bit) const {
    return (static_cast<uint64_t>(bit) * 1000000000u + m_baud / 2) / m_baud;
}

uint64_t VcdRecorder::NsSinceStart(double seconds) const {
    return seconds > m_start ? static_cast<uint64_t>((seconds - m_start) * 1e9) : 0;
}

void VcdRecorder::Record(LineDirection direction, const unsigned char* bytes, size_t count,
                         double atSeconds) {
    const int signal = direction == kHostToMcu ? 0 : 1;
    uint64_t start = std::max(NsSinceStart(atSeconds), m_freeAtNs[signal]);
    for (size_t i = 0; i < count; ++i) {
        m_bytes[signal].push_back(Byte{start, bytes[i]});
        start += BitOffsetNs(kBitsPerByte);
    }
    m_freeAtNs[signal] = start;
}

// The level changes of one signal: the start bit falls, data bits change where they differ,
// the stop bit rises.
void VcdRecorder::AddChanges(int signal, std::vector<Change>* changes) const {
    int level = 1;
    for (const Byte& byte : m_bytes[signal]) {
        for (int bit = 0; bit < kBitsPerByte - 1; ++bit) {
            const int value = bit == 0 ? 0 : (byte.value >> (bit - 1)) & 1;
            if (value != level) {
                changes->push_back(Change{byte.startNs + BitOffsetNs(bit), signal, value});
                level = value;
            }
        }
        if (level == 0) {
            changes->push_back(Change{byte.startNs + BitOffsetNs(kBitsPerByte - 1), signal, 1});
            level = 1;
        }
    }
}

void VcdRecorder::Write(FILE* out, double endSeconds) const {
    std::vector<Change> changes;
    AddChanges(0, &changes);
    AddChanges(1, &changes);
    std::stable_sort(changes.begin(), changes.end(),
                     [](const Change& a, const Change& b) { return a.atNs < b.atNs; });
    fprintf(out, "$version mcusim $end\n$timescale 1 us $end\n$scope module line $end\n");
    for (int signal = 0; signal < 2; ++signal) {
        fprintf(out, "$var wire 1 %c %s $end\n", kSignalIds[signal], kSignalNames[signal]);
    }
    fprintf(out, "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n1%c\n1%c\n$end\n",
            kSignalIds[0], kSignalIds[1]);
    uint64_t last = 0;
    for (const Change& change : changes) {
        const uint64_t unit = (change.atNs + kUnitNs / 2) / kUnitNs;
        if (unit != last) {
            fprintf(out, "#%llu\n", static_cast<unsigned long long>(unit));
            last = unit;
        }
        fprintf(out, "%d%c\n", change.level, kSignalIds[change.signal]);
    }
    const uint64_t end =
        (std::max(NsSinceStart(endSeconds), std::max(m_freeAtNs[0], m_freeAtNs[1])) + kUnitNs / 2) /
        kUnitNs;
    if (end > last) {
        fprintf(out, "#%llu\n", static_cast<unsigned long long>(end));
    }
}
