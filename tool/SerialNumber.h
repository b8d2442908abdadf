// Frame serial numbers.
#ifndef TOOL_SERIALNUMBER_H
#define TOOL_SERIALNUMBER_H

#include <atomic>

// The next frame serial number: 1 to 255, then 1 again; 0 is never handed out, since a
// request's serial number 0 means "none given yet". One counter for the whole process; the
// step is atomic so that concurrent senders never draw the same number in one round.
inline unsigned char GetSerialNum() {
    static std::atomic<unsigned char> m_serialNum(0);
    unsigned char current = m_serialNum.load();
    unsigned char next;
    do {
        next = static_cast<unsigned char>(current + 1);
        if (next == 0) {
            next = 1;
        }
    } while (!m_serialNum.compare_exchange_weak(current, next));
    return next;
}

#endif  // TOOL_SERIALNUMBER_H
