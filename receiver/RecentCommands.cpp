// SPDX-License-Identifier: MIT
#include "receiver/RecentCommands.h"

#include <string.h>

#include "common/AckMatch.h"

namespace mcucom {

const int RecentCommands::kKept;
const long long RecentCommands::kKeptUs;

RecentCommands::RecentCommands() : m_next(0), m_count(0) {
    memset(m_entries, 0, sizeof m_entries);
}

void RecentCommands::Finished(unsigned short cmd, unsigned char serial, bool answered,
                              long long atUs) {
    MutexLockGuard guard(m_lock);
    Entry& entry = m_entries[m_next];
    entry.cmd = cmd;
    entry.serial = serial;
    entry.answered = answered;
    entry.atUs = atUs;
    m_next = (m_next + 1) % kKept;
    m_count = m_count < kKept ? m_count + 1 : kKept;
}

FrameKind RecentCommands::Classify(const unsigned char* frame, long long nowUs) {
    const __ComFrameData* received = reinterpret_cast<const __ComFrameData*>(frame);
    MutexLockGuard guard(m_lock);
    // Newest first: the latest command with this code and serial number is the one answered.
    for (int i = 1; i <= m_count; ++i) {
        Entry& entry = m_entries[(m_next - i + kKept) % kKept];
        if (nowUs - entry.atUs > kKeptUs) {
            break;
        }
        if (FrameAnswers(received, entry.cmd, entry.serial)) {
            const bool copy = entry.answered;
            entry.answered = true;
            return copy ? kFrameCopy : kFrameLateAnswer;
        }
    }
    return kFrameUnasked;
}

}  // namespace mcucom
