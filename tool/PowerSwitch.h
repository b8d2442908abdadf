// SPDX-License-Identifier: MIT
// The tool's power requests: the ASCII line (argument 0) or the binary command (non-zero).
// Both return 0 always; the request's outcome shows only in the lines it prints.
#ifndef TOOL_POWERSWITCH_H
#define TOOL_POWERSWITCH_H

int EnableHardWareHddPower(int hex);
int DisableHardWareHddPower(int hex);

#endif  // TOOL_POWERSWITCH_H
