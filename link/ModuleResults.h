// SPDX-License-Identifier: MIT
// Result codes of the command module. Negative results of the wait list and the packet list
// (ack/AckResults.h) pass through WriteData unchanged. Callers on the board compare against
// the numbers themselves, so the values never change.
#ifndef LINK_MODULERESULTS_H
#define LINK_MODULERESULTS_H

namespace mcucom {

enum SendResult {
    SEND_BAD_ARGUMENT = -1,  // no request, no reply where one is needed, a payload too large
    SEND_WRITE_FAILED = -7,  // the port write failed
    SEND_UNKNOWN_CMD = -9    // the code is not in the command table
};

// McuComModuleInit (the port did not open), McuComModuleDestory (it was not open)
const int MODULE_PORT_FAIL = -1;

}  // namespace mcucom

#endif  // LINK_MODULERESULTS_H
