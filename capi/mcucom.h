/* SPDX-License-Identifier: MIT */
/*
 * mcucom: the board's MCU link for programs written in C (or anything that calls C).
 *
 * A link owns one serial line to the MCU and everything that serves it: the line taken for
 * the program, a receiver thread, the commands waiting for their answers, the serial numbers,
 * and a queue of MCU events (the frames nobody waited for, and the line's loss).
 *
 *     struct mcucom_options options;
 *     struct mcucom_link *link;
 *     mcucom_options_init(&options);               the board's MCU line, silent
 *     if (mcucom_open(&options, &link) < 0) ...    takes the line
 *     mcucom_command(link, 0x0006, payload, 8, 100, &answer);
 *     poll() on mcucom_event_fd(link), then mcucom_read_events(link, events, n, 0);
 *     mcucom_close(link);                          puts the line back
 *
 * Every call returns 0 (or a count) on success and a negative errno value on failure, and
 * sets errno to that value too; mcucom_strerror() says what each means. Calls on one link may
 * come from any threads at once. The link prints nothing of itself: its lines (the module's
 * fixed texts, the receiver's reasons for dropping bytes) go to the handler the options give,
 * if any, and to the standard streams only through mcucom_log_stdio.
 * docs/api.md is the guide; each call has a manual page of section 3.
 */
#ifndef MCUCOM_H
#define MCUCOM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A link's handle, opaque: made by mcucom_open(), freed by mcucom_close(). */
struct mcucom_link;

/* The longest payload a command or an event carries: the frame rules every reader applies
 * (the receiver's, the MCU's) take a len field of at most 1028, and a larger frame is noise to
 * them. The fixed interface's sendCmdData alone lays out up to 2037 bytes, as its buffer allows;
 * this interface, the simulator's scenarios and the tools refuse what no reader would take. */
#define MCUCOM_PAYLOAD_MAX 1024

/* The time-out a command's timeout_ms of 0 stands for, in milliseconds. */
#define MCUCOM_DEFAULT_TIMEOUT_MS 100

/* The levels a log handler is given: syslog's numbers. */
enum mcucom_log_level {
    MCUCOM_LOG_ERROR = 3,
    MCUCOM_LOG_WARNING = 4,
    MCUCOM_LOG_INFO = 6,
    MCUCOM_LOG_DEBUG = 7
};

/* Called with one line of text, without its line feed, on the thread that made it: a caller's
 * (the send path's lines) or the link's receiver (its reasons for dropping bytes), so it may
 * be called from several threads at once. */
typedef void (*mcucom_log_fn)(void* context, int level, const char* line);

/* A handler for a program whose output must be a program of the fixed interface's, byte for
 * byte. Given as the options' log, the link prints what the fixed interface prints and nothing
 * more: each of its texts whole, on the standard stream that text has always gone to, with its
 * line feeds and blanks (the receiver's reasons for dropping bytes, which the fixed interface
 * never printed, are dropped). Called directly, it writes the line and a line feed to standard
 * error. Since 1.2.0. */
void mcucom_log_stdio(void* context, int level, const char* line);

/* How a link is opened. Fill it with mcucom_options_init() first: fields may be added at the
 * end in later versions, and that call gives each its default. */
struct mcucom_options {
    const char* device;             /* "/dev/ttyAMA2"; at most 51 characters */
    unsigned int baud_rate;         /* 115200 */
    unsigned int read_timeout_ms;   /* 20: the receiver's wait; a lost line shows within it */
    unsigned int event_queue_depth; /* 256: events kept before the oldest go */
    int share;                      /* 0: take the line (lock, exclusive mode); 1: use it as is */
    unsigned char first_serial;     /* 0: an unpredictable first serial number */
    mcucom_log_fn log;              /* NULL: the link's lines are dropped */
    void* log_context;              /* given to log */
};

/* A command's answer. */
struct mcucom_answer {
    uint8_t serial;       /* the serial number the command was sent with */
    uint8_t result;       /* the answer's payload byte 1, the MCU's result; 0 without one */
    uint16_t payload_len; /* 0 for a command that expects no answer */
    uint8_t payload[MCUCOM_PAYLOAD_MAX]; /* the answer's payload; byte 0 is serial */
    uint64_t round_trip_us;              /* from the write to the answer (or the write's end) */
};

/* The kinds of events. */
enum mcucom_event_kind {
    MCUCOM_EVENT_UNASKED = 1,     /* a frame the MCU sent of its own accord */
    MCUCOM_EVENT_LATE_ANSWER = 2, /* the answer to a command that had given up waiting */
    MCUCOM_EVENT_COPY = 3,        /* a copy of an answer already taken */
    MCUCOM_EVENT_LINE_LOST = 4,   /* the line is gone: every later call fails with -ENOLINK */
    MCUCOM_EVENT_COMPLETION = 5   /* a command of mcucom_command_start() has completed */
};

/* An event. 1.1.0 added the fields from status on; a program linked against libmcucom.so.1 of
 * 1.0.0 reads the shorter event it was built with (mcucom_read_events of symbol version
 * MCUCOM_1). */
struct mcucom_event {
    uint32_t kind;  /* an enum mcucom_event_kind */
    uint16_t code;  /* the frame's command code */
    uint8_t serial; /* the frame's own serial number */
    uint8_t flag;   /* the frame's flag byte */
    uint16_t payload_len;
    uint8_t payload[MCUCOM_PAYLOAD_MAX];
    uint64_t timestamp_us; /* CLOCK_MONOTONIC, in microseconds: when the frame's last bytes
                              were read */
    uint64_t seqno;        /* 1, 2, ...: a gap is events the full queue dropped */
    int error;             /* MCUCOM_EVENT_LINE_LOST: the errno that told of it */
    /* MCUCOM_EVENT_COMPLETION, whose code, serial and flag above are the command's (the serial
     * number it was sent with), its payload the answer's, and its timestamp the completion's: */
    int status;             /* what mcucom_command() would have returned: 0 or a negative errno */
    uint64_t tag;           /* the caller's tag given to mcucom_command_start() */
    uint64_t round_trip_us; /* from the write to the answer (or to the failure) */
    uint8_t result;         /* the answer's payload byte 1, the MCU's result; 0 without one */
};

/* Fills options with the defaults above. */
void mcucom_options_init(struct mcucom_options* options);

/* Opens a link on the line the options name and starts its receiver; *link is the handle.
 * Takes the line as serial tools do (an advisory lock, then exclusive mode), never waiting
 * for carrier and never making it the controlling terminal, unless options->share. 0, or
 * -EBUSY (another program, or another link of this one, holds the line), -EINVAL (bad options),
 * -ENAMETOOLONG, or the errno of the failed open. */
int mcucom_open(const struct mcucom_options* options, struct mcucom_link** link);

/* Ends every call in progress on the link (they return -ESHUTDOWN) and refuses any later one,
 * without freeing the handle: for a program whose other threads may still call, which it then
 * joins before mcucom_close(). 0, or -EINVAL for a null link. */
int mcucom_shutdown(struct mcucom_link* link);

/* Closes the link: calls still in progress on other threads return -ESHUTDOWN, the receiver
 * stops, and the line gets its settings back and is released. The handle is freed: no call
 * may use it once mcucom_close() has returned. 0, or -EINVAL for a null link, or -EDEADLK
 * when called from the link's own log handler (which runs on the receiver or inside a call
 * that the close would wait for): the handler may call mcucom_shutdown() instead, and the
 * program closes the link once the handler has returned. */
int mcucom_close(struct mcucom_link* link);

/* Closes the link as mcucom_close() does, but leaves the line with the settings the link gave
 * it (115200 8N1 raw) instead of those it found: for a tool whose user asked to keep them.
 * Since 1.2.0. */
int mcucom_close_keeping_settings(struct mcucom_link* link);

/* Sends a command of the command table with payload (payload_len bytes, wire order) and,
 * when its flag asks for an answer, waits up to timeout_ms (0: MCUCOM_DEFAULT_TIMEOUT_MS) on the
 * monotonic clock for it; a command that expects none returns once written. answer may be
 * NULL. 0, or -ETIMEDOUT, -EALREADY (a command of this code is waiting), -ENOMSG (not in the
 * table), -EMSGSIZE (more than MCUCOM_PAYLOAD_MAX bytes), -ENOLINK (the line was lost), -EIO
 * (the write failed), -ESHUTDOWN (the link is closing), -EINVAL. On a failure *answer holds
 * the serial number the command was given (0 when it was refused before it had one) and the
 * time from its write to the failure, with no payload and result 0 (since 1.2.0; before, it was
 * left as it was). */
int mcucom_command(struct mcucom_link* link, uint32_t code, const void* payload, size_t payload_len,
                   unsigned int timeout_ms, struct mcucom_answer* answer);

/* Sends a command as mcucom_command() does and returns once it is written, without waiting
 * for its answer: its completion comes later as an event of kind MCUCOM_EVENT_COMPLETION with
 * tag (any value: a number, or a pointer cast to uintptr_t), status (0, -ETIMEDOUT, -ENOLINK,
 * -ESHUTDOWN, -EPROTO: what the blocking call would have returned) and the answer. 0 when
 * sent: its completion comes exactly once, also for a code that expects no answer (at once)
 * and when the link closes first. Otherwise nothing was sent and no completion comes: -EALREADY
 * (a command of this code is waiting, whichever call sent it), -ENOMSG, -EMSGSIZE, -EIO,
 * -ENOLINK, -ESHUTDOWN, -EINVAL as for mcucom_command(), -ENOBUFS (completions not yet read,
 * or still to come, fill the event queue's depth), -EAGAIN (no thread for the wait). A
 * completion is never dropped for room: the MCU's events make way for it. */
int mcucom_command_start(struct mcucom_link* link, uint32_t code, const void* payload,
                         size_t payload_len, unsigned int timeout_ms, uint64_t tag);

/* A descriptor that is readable while events are queued, for poll, epoll or select. Owned
 * by the link; valid until mcucom_close(). -ESHUTDOWN while the link closes. */
int mcucom_event_fd(struct mcucom_link* link);

/* Takes up to max_events events, oldest first, waiting up to timeout_ms for the first (-1:
 * as long as it takes; 0: not at all). The count taken (0 when none came in time), or -EINVAL.
 * Once the link is shutting down, what is still queued is taken, with the completion of every
 * command still in flight (status -ESHUTDOWN), and then -ESHUTDOWN. */
int mcucom_read_events(struct mcucom_link* link, struct mcucom_event* events, size_t max_events,
                       int timeout_ms);

/* How many events the full queue has dropped since the link was opened. */
uint64_t mcucom_events_dropped(struct mcucom_link* link);

/* What a result means, in words; for any other negative value, the system's text. */
const char* mcucom_strerror(int result);

/* The frame rules, for tools and scripts. */

/* The flag byte of a code in the command table, or 0 when the code is not there. */
int mcucom_command_flag(uint32_t code);

/* The command table's entry at index (0, 1, ...): its code in *code and its flag byte in *flag
 * (bit 6, 0x40: a command of the code waits for an answer). 1, or 0 past the last entry;
 * -EINVAL for a null pointer. */
int mcucom_command_entry(size_t index, uint32_t* code, uint8_t* flag);

/* Lays out a whole frame in out: head, len, serial, flag, code, payload, checksum, tail. Its
 * length (payload_len + 11), or -EMSGSIZE (a payload over 1024 bytes), -ENOBUFS (out_size
 * too small), -EINVAL. */
int mcucom_frame_build(uint8_t serial, uint8_t flag, uint16_t code, const void* payload,
                       size_t payload_len, void* out, size_t out_size);

/* Finds the first valid frame in size bytes, by the receiver's rules (head, len at most 1028,
 * checksum, tail; bytes that start no frame skipped). 1 with its *offset and *length; 0 when
 * there is none, *offset then saying where the search stopped (at a frame head whose bytes
 * have not all come, or at the end) and *length 0. With final set, the bytes are all there
 * will be (a recording, a line gone quiet): a head that never came whole is skipped as noise. */
int mcucom_frame_find(const void* bytes, size_t size, int final, size_t* offset, size_t* length);

/* The library's version, "MAJOR.MINOR.PATCH". */
const char* mcucom_version(void);

#ifdef __cplusplus
}
#endif

#endif /* MCUCOM_H */
