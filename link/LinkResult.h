// SPDX-License-Identifier: MIT
// What became of a command on a link: one value per outcome, whichever list or layer told of
// it. The fixed interface keeps the numbers its callers compare against (link/ModuleResults.h,
// ack/AckResults.h), whose values repeat across classes (-1 is a bad argument to the send
// path and "nothing arrived" to the packet list); a link records the outcome beside them, so
// that nothing downstream has to guess which class a number came from. The C interface maps
// these to errno values, in one place.
#ifndef LINK_LINKRESULT_H
#define LINK_LINKRESULT_H

namespace mcucom {

enum LinkResult {
    kLinkDone = 0,        // answered, or written for a code that expects no answer
    kLinkBadArgument,     // no payload where its length says there is one, no reply buffer
    kLinkPayloadTooLong,  // more payload than a frame any reader takes can carry
    kLinkUnknownCmd,      // the code is not in the command table
    kLinkAlreadyWaiting,  // a command of this code is waiting for its answer
    kLinkNoMemory,        // the wait list could not register the command
    kLinkWriteFailed,     // the frame could not be written within its time
    kLinkNoAnswer,        // no answer within the time-out
    kLinkAnswerMissing,   // woken for an answer the acknowledgement list did not hold
    kLinkLineLost,        // the line hung up or its device went away
    kLinkClosed           // the link is closing
};

}  // namespace mcucom

#endif  // LINK_LINKRESULT_H
