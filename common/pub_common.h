// SPDX-License-Identifier: MIT
// Helpers shared with the recorder's other processes.
//
// DVRSystem hands a command string to the server process through two named FIFOs and reports
// whether it answered "SUCCESS"; calls within one process are serialised by system_mutex_ and
// block until the server answers. contains() searches an open file for a text.
#ifndef COMMON_PUB_COMMON_H
#define COMMON_PUB_COMMON_H

#include <stdio.h>

#include "common/MutexLock.h"

extern MutexLock system_mutex_;

// 0 when the server replied "SUCCESS", -1 otherwise.
int DVRSystem(const char* cmd);

// -1 (not 1) when the first size - 1 characters of text occur in file, 0 otherwise.
int contains(char* text, int size, FILE* file);

#endif  // COMMON_PUB_COMMON_H
