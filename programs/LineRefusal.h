// SPDX-License-Identifier: MIT
// Why a program could not take its line, in the one wording every tool uses.
#ifndef PROGRAMS_LINEREFUSAL_H
#define PROGRAMS_LINEREFUSAL_H

// Says on standard error, as "PROGRAM: ...", why the line at path was not taken: held by
// another program (in exclusive mode, which --share cannot help with, or by its lock, which it
// can), or the open's own error. error is a positive errno. True when another program holds
// the line.
bool SayLineNotTaken(const char* program, const char* path, int error);

#endif  // PROGRAMS_LINEREFUSAL_H
