// SPDX-License-Identifier: MIT
// Reading the command-line arguments of the programs built on the module (mcusend, mcusim):
// one rule for each kind of value, so that both programs read the same text the same way.
// Every parser takes the whole text or nothing: a trailing character, a sign or a blank
// where none belongs fails it.
#ifndef PROGRAMS_PARSEARGS_H
#define PROGRAMS_PARSEARGS_H

#include <string>

// An integer within [low, high], in decimal or with 0x in hexadecimal; a leading zero (which
// C would read as octal) is refused. long long, so that 32-bit values parse the same on a
// 32-bit board.
bool ParseInteger(const char* text, long long low, long long high, long long* value);

// A probability: a number from 0 to 1 (not NaN).
bool ParseFraction(const char* text, double* value);

// A command code, in hexadecimal as the module's logs print codes: four digits ("0006",
// "031C"), or 0x and one to eight digits ("0x6", "0x0303"). A single digit 0 to 9 reads the
// same in every base and is taken too. Any other form ("16", "771", "010") could be meant as
// decimal, octal or hexadecimal and is refused.
bool ParseCommandCode(const char* text, unsigned long* code);

// Pairs of hexadecimal digits, with blanks or colons allowed between pairs but never inside
// one: "00ff00ff", "00 ff", "00:ff".
bool ParseHexBytes(const char* text, std::string* bytes);

#endif  // PROGRAMS_PARSEARGS_H
