// SPDX-License-Identifier: MIT
#include "common/LinkLog.h"

#include <stdarg.h>
#include <string.h>

namespace mcucom {

namespace {

const size_t kLineMax = 1024;

// The log whose handler this thread is running, if any.
thread_local const LinkLog* t_inHandler = NULL;

}  // namespace

bool LinkLog::InHandlerHere() const {
    return t_inHandler == this;
}

LinkLog::LinkLog() : m_toHandler(false), m_handler(NULL), m_context(NULL) {}

LinkLog::LinkLog(Handler handler, void* context)
    : m_toHandler(true), m_handler(handler), m_context(context) {}

// A stream takes the text whole, in one write; a handler takes each line without its line
// feed (an empty line, such as a frame dump's closing one on standard error, is none).
void LinkLog::Emit(LogLevel level, FILE* stream, const char* text) {
    if (!m_toHandler) {
        fputs(text, stream);
        return;
    }
    char line[kLineMax];
    for (const char* start = text; *start != '\0';) {
        const char* end = strchr(start, '\n');
        const size_t length = end != NULL ? static_cast<size_t>(end - start) : strlen(start);
        if (length > 0) {
            const size_t kept = length < sizeof line ? length : sizeof line - 1;
            memcpy(line, start, kept);
            line[kept] = '\0';
            const LinkLog* const outer = t_inHandler;
            t_inHandler = this;
            m_handler(m_context, level, line);
            t_inHandler = outer;
        }
        start += length + (end != NULL ? 1 : 0);
    }
}

void LinkLog::Print(LogLevel level, FILE* stream, const char* format, ...) {
    if (silent()) {
        return;
    }
    char text[kLineMax];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    Emit(level, stream, text);
}

void LinkLog::PrintFixed(LogLevel level, FILE* stream, const LogSite& site, const char* format,
                         ...) {
    if (silent()) {
        return;
    }
    char text[kLineMax];
    int used = snprintf(text, sizeof text, site.prefix, site.function, site.line);
    used = used < 0 ? 0 : used;
    if (static_cast<size_t>(used) < sizeof text) {
        va_list args;
        va_start(args, format);
        vsnprintf(text + used, sizeof text - static_cast<size_t>(used), format, args);
        va_end(args);
    }
    Emit(level, stream, text);
}

void LinkLog::Write(LogLevel level, FILE* stream, const char* text) {
    if (!silent()) {
        Emit(level, stream, text);
    }
}

void LinkLog::Puts(LogLevel level, const char* text) {
    if (silent()) {
        return;
    }
    if (!m_toHandler) {
        puts(text);
        return;
    }
    Emit(level, stdout, text);
}

}  // namespace mcucom
