// The module's fixed log lines.
//
// These texts are output that scripts on boards match, word for word: the level word, the
// function name and the line number in "Err [WriteData():334] wait cmd err(-4)..." are part of
// the text, not a description of where the code is. They must never change, whichever
// function in this code prints them and wherever it sits in its file. Every such line is
// printed through PrintFixedLine with its site from the table below.
#ifndef COMMON_FIXEDLOG_H
#define COMMON_FIXEDLOG_H

#include <stdio.h>

// Where a fixed line says it comes from, and how that part is written.
struct LogSite {
    const char* prefix;    // a format with %s (the function) and %d (the line), in that order
    const char* function;  // as the text names it
    int line;              // as the text numbers it
};

const LogSite LOG_CHECKSUM_INVALID = {"Err [%s():%d] ", "checkValidFrame", 84};
const LogSite LOG_TAIL_INVALID = {"Err [%s():%d] ", "checkValidFrame", 89};
const LogSite LOG_ADD_CMD_FAILED = {"Err [%s():%d] ", "WriteData", 310};
const LogSite LOG_ADD_CMD = {"Inf [%s():%d] ", "WriteData", 318};
const LogSite LOG_WRITE_FAILED = {"Err [%s():%d] ", "WriteData", 325};
const LogSite LOG_WAIT_FAILED = {"Err [%s():%d] ", "WriteData", 334};
const LogSite LOG_SEND_FAILED = {"Err [%s():%d] ", "sendCmdData", 432};
const LogSite LOG_SENT_FRAME = {"MainINF [%s():%d] ", "sendCmdData", 446};
const LogSite LOG_POWER_CMD_FAILED = {"Err [%s():%d] ", "AlarmOutPowerCtl", 475};
const LogSite LOG_NO_LINE_STREAM = {"[%s:%d] ", "ReadLine", 417};
const LogSite LOG_SERVER_FIFO_FAILED = {"%s, %d, ", "pub_common", 29};
const LogSite LOG_CLIENT_FIFO_FAILED = {"%s, %d, ", "pub_common", 38};

// Prints the site's prefix and then the formatted rest on stream, in one write.
void PrintFixedLine(FILE* stream, const LogSite& site, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

#endif  // COMMON_FIXEDLOG_H
