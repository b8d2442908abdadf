// SPDX-License-Identifier: MIT
// Result codes of the utilities in common/: the System V IPC wrappers and the server FIFO
// client, which fail with -1, and the file search, whose sense is inverted (-1 when found).
#ifndef COMMON_COMMONRESULTS_H
#define COMMON_COMMONRESULTS_H

namespace mcucom {

const int IPC_FAIL = -1;   // createsem and the other IPC wrappers
const int FIFO_FAIL = -1;  // DVRSystem: no FIFO, a failed write or read, or no "SUCCESS"
const int CONTAINS_FOUND = -1;
const int CONTAINS_NOT_FOUND = 0;

}  // namespace mcucom

#endif  // COMMON_COMMONRESULTS_H
