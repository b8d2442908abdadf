// SPDX-License-Identifier: MIT
// The catalogue of every text the module and hddpower print.
//
// These texts are output that scripts on boards match, word for word, blanks, misspellings
// and line numbers included: they never change. The level word, the function name and the
// line number in "Err [WriteData():334] wait cmd err(-4)..." are part of the text, not a
// description of where the code is, whichever function in this code prints them and wherever
// it sits in its file. A line with such a site is printed through PrintFixedLine with its site
// from the first table and its text from the second; every other text is printed as it stands
// (printf, puts or perror, as the comment says), from the third.
//
// The texts are macros so that the compiler checks each call's arguments against them as
// printf formats. The tools' own messages (mcusend's, mcusim's) are not fixed and live with
// the tools.
#ifndef COMMON_FIXEDLOG_H
#define COMMON_FIXEDLOG_H

#include <stdio.h>

namespace mcucom {

// Where a fixed line says it comes from, and how that part is written.
struct LogSite {
    const char* prefix;    // a format with %s (the function) and %d (the line), in that order
    const char* function;  // as the text names it
    int line;              // as the text numbers it
};

// The sites, with the stream each line goes to.
const LogSite LOG_CHECKSUM_INVALID = {"Err [%s():%d] ", "checkValidFrame", 84};    // stderr
const LogSite LOG_TAIL_INVALID = {"Err [%s():%d] ", "checkValidFrame", 89};        // stderr
const LogSite LOG_ADD_CMD_FAILED = {"Err [%s():%d] ", "WriteData", 310};           // stderr
const LogSite LOG_ADD_CMD = {"Inf [%s():%d] ", "WriteData", 318};                  // stderr
const LogSite LOG_WRITE_FAILED = {"Err [%s():%d] ", "WriteData", 325};             // stderr
const LogSite LOG_WAIT_FAILED = {"Err [%s():%d] ", "WriteData", 334};              // stderr
const LogSite LOG_SEND_FAILED = {"Err [%s():%d] ", "sendCmdData", 432};            // stderr
const LogSite LOG_SENT_FRAME = {"MainINF [%s():%d] ", "sendCmdData", 446};         // stdout
const LogSite LOG_POWER_CMD_FAILED = {"Err [%s():%d] ", "AlarmOutPowerCtl", 475};  // stderr
const LogSite LOG_NO_LINE_STREAM = {"[%s:%d] ", "ReadLine", 417};                  // stdout
const LogSite LOG_SERVER_FIFO_FAILED = {"%s, %d, ", "pub_common", 29};             // stdout
const LogSite LOG_CLIENT_FIFO_FAILED = {"%s, %d, ", "pub_common", 38};             // stdout

// The texts after each site's prefix, in the order of the sites.
#define TEXT_CHECKSUM_INVALID "checksum(%02x), length(%d) is invalid!\n"
#define TEXT_TAIL_INVALID "frame tail(%02x)(%02x) is invalid!\n"
#define TEXT_ADD_CMD_FAILED "Add cmd(%04x) err(%d)...\n"
#define TEXT_ADD_CMD \
    "Add cmd(%04x),serialNum(%d),ret(%d),waitlistsize(%d),deallist(%d),timeo(%d)...\n"
#define TEXT_WRITE_FAILED "Write com err...\n"
#define TEXT_WAIT_FAILED "wait cmd err(%d)...\n"
#define TEXT_SEND_FAILED "ret(%d),len(%d),serialNum(%d),result(%d)...\n"
#define TEXT_SENT_FRAME "Send To MCU:"  // then the bytes, TEXT_SENT_* below
#define TEXT_POWER_CMD_FAILED "send data error(%d)...\n"
#define TEXT_NO_LINE_STREAM "Com Port Err: %p\n"
#define TEXT_SERVER_FIFO_FAILED "Client: Can't open fifo. \n"
#define TEXT_CLIENT_FIFO_FAILED "Cann't open client fifo. \n"

// Texts without a site. The serial port (stdout):
#define TEXT_PORT_OPENED "Open COM  %s OK! \n"       // printf, the device path
#define TEXT_PORT_CLOSE_FAILED "close Com failure!"  // puts
#define TEXT_PORT_ERROR "Com Port Err: %d\n"         // printf, the descriptor
// The send path (stdout): the ackBit of every request, and the bytes of a traced frame after
// TEXT_SENT_FRAME, each opened by a blank when it starts a group, a line break between lines;
// the dump ends with a line break on stdout and one on stderr.
#define TEXT_ACK_BIT "## ackBit is %#x \n"
#define TEXT_SENT_BYTE "%02x"
#define TEXT_SENT_GROUP " "
#define TEXT_SENT_BREAK "\n"
// The FIFO client (stdout; each puts adds its line break):
#define TEXT_FIFO_COMMAND "DVRSYSTEM(%s)\n"
#define TEXT_FIFO_WRITE_FAILED "write cmd into pipo fail"
#define TEXT_FIFO_READ_FAILED "read reply from server fail"
#define TEXT_CONTAINS_FOUND "contains OK"
// The IPC wrappers: perror texts (perror adds ": " and the reason), then stdout.
#define TEXT_FTOK_FAILED "ftok error!\n"
#define TEXT_SEM_INDEX_NEGATIVE "index of array cannot equals a minus value!"
#define TEXT_SEM_P_FAILED "a wrong P operation to semaphore occurred!"
#define TEXT_SEM_V_FAILED "a wrong v operation to semaphore occurred!"
#define TEXT_MSGGET_FAILED "msgget call failed. \n"
#define TEXT_SEMGET_FAILED "semget call failed. \n"
#define TEXT_SHMGET_FAILED "[%s] shmkey = %d size= %d shmget %s failed. \n"  // printf
#define TEXT_SHMGET_SOURCE "SemFun"                                          // its first field
#define TEXT_SHMGET_CREATE "createshm"  // its last field, by caller
#define TEXT_SHMGET_OPEN "openshm"
#define TEXT_SHM_WAITING "Can not enter the shared memory for %ds\n"  // printf, each second
#define TEXT_SHM_ENTERED "Can Enter The Shared Memory!"               // puts
// hddpower (stdout):
#define TEXT_USAGE "usage: %s <on/off>. sample: %s off \n"  // printf, the program name twice
#define TEXT_POWER_ON "## hdd power on "                    // puts
#define TEXT_POWER_OFF "## hdd power off "                  // puts

// Prints the site's prefix and then the formatted rest on stream, in one write.
void PrintFixedLine(FILE* stream, const LogSite& site, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace mcucom

#endif  // COMMON_FIXEDLOG_H
