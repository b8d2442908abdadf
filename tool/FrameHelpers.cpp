#include <arpa/inet.h>

#include "tool/HddPower.h"

int XorCheckSum(unsigned char* buf, int nbytes) {
    return FrameXor(buf, nbytes);
}

// Completes a frame whose len, serialNum, flag, cmd and payload are in place: head, checksum
// over offsets 2 to len + 3, tail. The buffer must hold len + 7 bytes.
unsigned short cmdData2Frame(char* frame) {
    unsigned char* bytes = reinterpret_cast<unsigned char*>(frame);
    bytes[0] = FRAME_MARK_FIRST;
    bytes[1] = FRAME_MARK_SECOND;
    const int len = FrameLenField(bytes);
    bytes[len + 4] = static_cast<unsigned char>(XorCheckSum(bytes + 2, len + 2));
    bytes[len + 5] = FRAME_MARK_FIRST;
    bytes[len + 6] = FRAME_MARK_SECOND;
    return static_cast<unsigned short>(len + FRAME_OVERHEAD);
}
