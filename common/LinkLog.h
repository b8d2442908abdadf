// SPDX-License-Identifier: MIT
// Where a link's lines go. The fixed interface's link prints them on the standard streams, as
// it always has (stdout or stderr, as the catalogue in FixedLog.h says, byte for byte); a link
// opened through the C interface hands each line, with a level and without its line feed, to
// the program's handler, or drops it when the program gave none. Texts are formatted only when
// someone takes them.
#ifndef COMMON_LINKLOG_H
#define COMMON_LINKLOG_H

#include <stdio.h>

#include "common/FixedLog.h"

namespace mcucom {

// syslog's numbers, which handlers of this field pass on as they are.
enum LogLevel { kLogError = 3, kLogWarning = 4, kLogInfo = 6, kLogDebug = 7 };

class LinkLog {
  public:
    typedef void (*Handler)(void* context, int level, const char* line);

    // The standard streams.
    LinkLog();
    // The handler, or nothing at all when it is null.
    LinkLog(Handler handler, void* context);

    bool silent() const { return m_toHandler && m_handler == NULL; }
    // Whether the calling thread is inside this log's handler: a call the handler makes
    // must not wait for what waits for the handler.
    bool InHandlerHere() const;

    // printf to stream, or the text to the handler at level.
    void Print(LogLevel level, FILE* stream, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
    // A fixed line with its site, as PrintFixedLine prints it.
    void PrintFixed(LogLevel level, FILE* stream, const LogSite& site, const char* format, ...)
        __attribute__((format(printf, 5, 6)));
    // Text as it stands (puts adds the line feed on a stream).
    void Puts(LogLevel level, const char* text);
    // Text as it stands, of any length, to stream or handler.
    void Write(LogLevel level, FILE* stream, const char* text);

  private:
    void Emit(LogLevel level, FILE* stream, const char* text);

    bool m_toHandler;
    Handler m_handler;
    void* m_context;
};

}  // namespace mcucom

#endif  // COMMON_LINKLOG_H
