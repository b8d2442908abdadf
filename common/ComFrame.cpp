// SPDX-License-Identifier: MIT
#include "common/ComFrame.h"

int XorCheckSum(unsigned char* buf, int nbytes) {
    return mcucom::FrameXor(buf, nbytes);
}

// Completes a frame whose len, serialNum, flag, cmd and payload are in place: head, checksum
// over offsets 2 to len + 3, tail. The buffer must hold len + 7 bytes.
unsigned short cmdData2Frame(char* frame) {
    unsigned char* bytes = reinterpret_cast<unsigned char*>(frame);
    bytes[0] = mcucom::FRAME_MARK_FIRST;
    bytes[1] = mcucom::FRAME_MARK_SECOND;
    const int len = mcucom::FrameLenField(bytes);
    bytes[len + 4] = static_cast<unsigned char>(XorCheckSum(bytes + 2, len + 2));
    bytes[len + 5] = mcucom::FRAME_MARK_FIRST;
    bytes[len + 6] = mcucom::FRAME_MARK_SECOND;
    return static_cast<unsigned short>(len + mcucom::FRAME_OVERHEAD);
}

namespace mcucom {

int LayOutFrame(unsigned char* frame, unsigned char serialNum, unsigned char flag,
                unsigned short cmd, const unsigned char* payload, int payloadLen) {
    const int len = payloadLen + FRAME_MIN_LEN_FIELD;
    frame[2] = static_cast<unsigned char>(len >> 8);
    frame[3] = static_cast<unsigned char>(len);
    frame[4] = serialNum;
    frame[5] = flag;
    frame[6] = static_cast<unsigned char>(cmd >> 8);
    frame[7] = static_cast<unsigned char>(cmd);
    if (payloadLen > 0 && frame + FRAME_HEADER_SIZE != payload) {
        memmove(frame + FRAME_HEADER_SIZE, payload, static_cast<size_t>(payloadLen));
    }
    return cmdData2Frame(reinterpret_cast<char*>(frame));
}

}  // namespace mcucom
