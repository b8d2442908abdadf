// Result codes of the send path (sendCmdData, WriteData). Negative results of the wait list
// (WaitCmdList, ack/AckResults.h) and the packet list pass through WriteData unchanged.
// The values are those callers have always compared against, and they never change.
#ifndef TOOL_SENDRESULTS_H
#define TOOL_SENDRESULTS_H

enum SendResult {
    SEND_BAD_ARGUMENT = -1,  // no request, no reply where one is needed, a payload too large
    SEND_WRITE_FAILED = -7,  // the port write failed
    SEND_UNKNOWN_CMD = -9    // the code is not in the command table
};

#endif  // TOOL_SENDRESULTS_H
