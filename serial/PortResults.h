// SPDX-License-Identifier: MIT
// Result codes of the serial port layer. Every failure of a CComTransmit operation is this one
// value (ReadLine gives a null pointer instead); successes are 0 or a byte count.
#ifndef SERIAL_PORTRESULTS_H
#define SERIAL_PORTRESULTS_H

namespace mcucom {

const int PORT_FAIL = -1;

// Callers compare against the number itself: an edit of the value above stops the build
// here, rather than changing quietly what every caller sees.
static_assert(PORT_FAIL == -1, "the port's failure code never changes");

}  // namespace mcucom

#endif  // SERIAL_PORTRESULTS_H
