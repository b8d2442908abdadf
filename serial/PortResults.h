// SPDX-License-Identifier: MIT
// Result codes of the serial port layer. Every failure of a CComTransmit operation of the fixed
// interface is this one value (ReadLine gives a null pointer instead; ReadOrLost, the module's
// own, a negative errno); successes are 0 or a byte count.
#ifndef SERIAL_PORTRESULTS_H
#define SERIAL_PORTRESULTS_H

namespace mcucom {

const int PORT_FAIL = -1;

}  // namespace mcucom

#endif  // SERIAL_PORTRESULTS_H
