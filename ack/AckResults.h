// SPDX-License-Identifier: MIT
// Result codes of the acknowledgement layer, one set per class.
//
// Callers on the board compare against the numbers themselves, so the values never change (a
// test pins each). The same value means different things in different classes (-4 is "no room"
// in the ring and "no acknowledgement" in the wait list), so every name says whose code it is.
// Zero and positive results are counts, as each class describes.
#ifndef ACK_ACKRESULTS_H
#define ACK_ACKRESULTS_H

namespace mcucom {

// CFrameQueue
enum FrameQueueResult {
    QUEUE_TOO_FEW_BYTES = -1,  // fewer than 11 bytes stored; QueueInit: no memory
    QUEUE_BAD_ARGUMENT = -3,   // null frame or destination, length short of the frame's own
    QUEUE_NO_ROOM = -4,        // the oldest frames could not be dropped to make room
    QUEUE_TOO_LARGE = -5,      // the frame is larger than the whole ring
    QUEUE_BAD_CHECKSUM = -6,
    QUEUE_BAD_TAIL = -7
};

// DataPackList (its stores also pass the ring's codes through)
enum PackListResult {
    PACK_LIST_NULL_FRAME = -1,
    PACK_LIST_NO_ARRIVAL = -1  // no frame arrived within the time-out
};

// WaitCmdList
enum WaitListResult {
    WAIT_LIST_NULL_FRAME = -1,
    WAIT_LIST_NO_MATCH = -2,  // no entry matched (or, for WaitCmdFlag, none to take)
    WAIT_LIST_HELD = -3,      // the entry is held by a waiter and was not removed
    WAIT_LIST_NO_ACK = -4,    // no acknowledgement within the time-out
    WAIT_LIST_NO_MEMORY = -5,
    WAIT_LIST_ALREADY_WAITING = -6,  // a command with the same code is registered
    WAIT_LIST_ALREADY_ANSWERED = -7  // the command has had its answer (ClaimAnswer)
};

}  // namespace mcucom

#endif  // ACK_ACKRESULTS_H
