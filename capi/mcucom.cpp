// SPDX-License-Identifier: MIT
// The C interface: a handle over one McuLink, with the line taken for the program, a receiver
// whose unclaimed frames become events, and a gate that lets a close wait for the calls in
// progress to leave before anything they use goes away.
#include "capi/mcucom.h"

#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <new>

#include "capi/EventQueue.h"
#include "common/CmdTable.h"
#include "common/ComFrame.h"
#include "common/FrameRules.h"
#include "common/JobThreads.h"
#include "link/McuLink.h"
#include "link/McuPort.h"
#include "receiver/McuReceiver.h"
#include "serial/ClaimedLine.h"

namespace {

const unsigned int kDefaultReadTimeoutMs = 20;
const unsigned int kDefaultQueueDepth = 256;
const unsigned int kLongestReadTimeoutMs = 60000;
const size_t kLongestDevice = sizeof(TerminalInfo().devName) - 1;

// A result for C: the value itself, with errno set to it when it is a failure.
int Result(int result) {
    if (result < 0) {
        errno = -result;
    }
    return result;
}

// The errno value of each outcome of a command: the one place the module's results become C's.
int ErrnoOf(mcucom::LinkResult outcome) {
    switch (outcome) {
        case mcucom::kLinkDone:
            return 0;
        case mcucom::kLinkBadArgument:
            return -EINVAL;
        case mcucom::kLinkPayloadTooLong:
            return -EMSGSIZE;
        case mcucom::kLinkUnknownCmd:
            return -ENOMSG;
        case mcucom::kLinkAlreadyWaiting:
            return -EALREADY;
        case mcucom::kLinkNoMemory:
            return -ENOMEM;
        case mcucom::kLinkWriteFailed:
            return -EIO;
        case mcucom::kLinkNoAnswer:
            return -ETIMEDOUT;
        case mcucom::kLinkAnswerMissing:
            return -EPROTO;
        case mcucom::kLinkLineLost:
            return -ENOLINK;
        case mcucom::kLinkClosed:
            return -ESHUTDOWN;
    }
    return -EPROTO;
}

static_assert(MCUCOM_PAYLOAD_MAX == mcucom::FRAME_MAX_PAYLOAD,
              "the C interface's payloads are the frames' own");
static_assert(MCUCOM_DEFAULT_TIMEOUT_MS == mcucom::SEND_DEFAULT_TIMEO_MS,
              "a time-out of 0 is the send path's default");

bool KnownBaudRate(unsigned int baud) {
    for (int i = 0; i < mcucom::SPEED_TABLE_SIZE; ++i) {
        if (speed_atr[i].baudRate == baud) {
            return true;
        }
    }
    return false;
}

// Where a link's lines go: the program's handler, or, for mcucom_log_stdio, the standard
// streams as the fixed interface prints them.
bool PrintsAsFixedInterface(const mcucom_options& options) {
    return options.log == &mcucom_log_stdio;
}

mcucom::LinkLog LogOf(const mcucom_options& options) {
    return PrintsAsFixedInterface(options) ? mcucom::LinkLog()
                                           : mcucom::LinkLog(options.log, options.log_context);
}

}  // namespace

struct mcucom_link : private mcucom::UnclaimedFrames {
    explicit mcucom_link(const mcucom_options& options)
        : link(LogOf(options), options.first_serial),
          events(options.event_queue_depth),
          receiver(link.port(), link.waitList(), link.ackList(), *this, &link.recent(),
                   PrintsAsFixedInterface(options) ? NULL : &link.log(),
                   static_cast<int>(options.read_timeout_ms * 1000)),
          active(0),
          closing(false) {
        pthread_mutex_init(&gateLock, NULL);
        pthread_cond_init(&left, NULL);
        link.CountUnclaimedIn(this);
    }
    ~mcucom_link() {
        pthread_cond_destroy(&left);
        pthread_mutex_destroy(&gateLock);
    }

    int Open(const mcucom_options& options);
    void Shutdown();
    void Close(bool restoreSettings);
    // A call comes in: false when the link is closing, unless the call may still come then.
    bool Enter(bool evenClosing = false);
    void Leave();

    int StartCommand(uint32_t code, const void* payload, size_t length, unsigned int timeoutMs,
                     uint64_t tag);
    void Finish(mcucom::McuLink::Outgoing* out, uint64_t tag, mcucom_event* event);

    bool Deliver(const unsigned char* frame, int length, mcucom::FrameKind kind,
                 long long atUs) override {
        events.PushFrame(frame, length, kind, atUs);
        return true;
    }
    // The event first: a caller whose command fails for the loss finds it already queued.
    void LineLost(int error, long long atUs) override {
        events.PushLineLost(error, atUs);
        link.Stop(mcucom::kLinkLineLost);
    }
    size_t Unread() override { return events.size(); }

    mcucom::McuLink link;
    mcucom::EventQueue events;
    mcucom::ClaimedLine line;
    mcucom::McuReceiver receiver;  // after the parts it reads into; stopped before they go
    mcucom::JobThreads waits;      // the started commands' waits; stopped before the receiver
    pthread_mutex_t gateLock;
    pthread_cond_t left;
    int active;
    bool closing;
};

int mcucom_link::Open(const mcucom_options& options) {
    if (!events.ok()) {
        return -EMFILE;
    }
    const int taken = line.Take(options.device, options.share != 0);
    if (taken < 0) {
        return taken;
    }
    TerminalInfo info = mcucom::McuPortSettings(options.device);
    info.baudRate = options.baud_rate;
    errno = 0;
    if (link.port().OpenCom(&info) != 0) {
        const int error = errno != 0 ? errno : EIO;
        line.Release();
        return -error;
    }
    // The receiver's own descriptor of the line is made now, before exclusive mode refuses
    // further opens. A read of no bytes takes nothing from the line.
    char none[1];
    link.port().ReadOrLost(none, 0, 0);
    line.Exclude();
    if (!receiver.Start()) {
        link.port().CloseCom();
        line.Release();
        return -EAGAIN;
    }
    return 0;
}

bool mcucom_link::Enter(bool evenClosing) {
    pthread_mutex_lock(&gateLock);
    const bool open = !closing || evenClosing;
    active += open ? 1 : 0;
    pthread_mutex_unlock(&gateLock);
    return open;
}

void mcucom_link::Leave() {
    pthread_mutex_lock(&gateLock);
    if (--active == 0) {
        pthread_cond_broadcast(&left);
    }
    pthread_mutex_unlock(&gateLock);
}

// Calls in progress are told to end (their waits stop, event reads wake), and later ones are
// refused.
void mcucom_link::Shutdown() {
    pthread_mutex_lock(&gateLock);
    closing = true;
    pthread_mutex_unlock(&gateLock);
    link.Stop(mcucom::kLinkClosed);
    events.Close();
}

// After the shutdown, the calls in progress are waited for; only then do the receiver, the
// port and the line go.
void mcucom_link::Close(bool restoreSettings) {
    Shutdown();
    pthread_mutex_lock(&gateLock);
    while (active > 0) {
        pthread_cond_wait(&left, &gateLock);
    }
    pthread_mutex_unlock(&gateLock);
    waits.Stop();
    receiver.Stop();
    link.port().CloseCom();
    line.Release(restoreSettings);
}

// A place in the event queue and a thread for the wait are made sure of first, so that a
// command, once sent, always completes.
int mcucom_link::StartCommand(uint32_t code, const void* payload, size_t length,
                              unsigned int timeoutMs, uint64_t tag) {
    if (!events.Reserve()) {
        return -ENOBUFS;
    }
    if (!waits.Reserve()) {
        events.Unreserve();
        return -EAGAIN;
    }
    mcucom::McuLink::Outgoing* out = new (std::nothrow) mcucom::McuLink::Outgoing;
    const mcucom::LinkResult started =
        out == NULL
            ? mcucom::kLinkNoMemory
            : link.Start(code, static_cast<const unsigned char*>(payload), length, timeoutMs, out);
    if (started != mcucom::kLinkDone || !out->awaitsAnswer) {
        waits.Unreserve();
    }
    if (started != mcucom::kLinkDone) {
        delete out;
        events.Unreserve();
        return ErrnoOf(started);
    }
    if (out->awaitsAnswer) {
        // The event is queued once the thread is spare again, so that a command started again
        // on its completion finds the thread free.
        std::shared_ptr<mcucom_event> done(new mcucom_event);
        waits.Run([this, out, tag, done] { Finish(out, tag, done.get()); },
                  [this, done] { events.PushCompletion(done.get()); });
    } else {
        mcucom_event done;
        Finish(out, tag, &done);
        events.PushCompletion(&done);
    }
    return 0;
}

// The command's outcome as the blocking call would give it, as its completion.
void mcucom_link::Finish(mcucom::McuLink::Outgoing* out, uint64_t tag, mcucom_event* event) {
    event->status = ErrnoOf(link.Finish(out));
    event->code = static_cast<uint16_t>(out->cmd);
    event->serial = out->serial;
    event->flag = static_cast<uint8_t>(GetCmdFlag(out->cmd));
    event->tag = tag;
    event->payload_len = out->AnswerLength();
    memcpy(event->payload, out->AnswerPayload(), event->payload_len);
    event->result = out->AnswerResult();
    event->round_trip_us = out->RoundTripUs();
    delete out;
}

extern "C" {

void mcucom_options_init(struct mcucom_options* options) {
    if (options == NULL) {
        return;
    }
    memset(options, 0, sizeof *options);
    options->device = mcucom::MCU_LINE_DEVICE;
    options->baud_rate = mcucom::MCU_LINE_BAUD;
    options->read_timeout_ms = kDefaultReadTimeoutMs;
    options->event_queue_depth = kDefaultQueueDepth;
}

int mcucom_open(const struct mcucom_options* options, struct mcucom_link** link) {
    if (options == NULL || link == NULL || options->device == NULL ||
        !KnownBaudRate(options->baud_rate) || options->read_timeout_ms == 0 ||
        options->read_timeout_ms > kLongestReadTimeoutMs || options->event_queue_depth == 0) {
        return Result(-EINVAL);
    }
    if (strlen(options->device) > kLongestDevice) {
        return Result(-ENAMETOOLONG);
    }
    mcucom_link* made = new (std::nothrow) mcucom_link(*options);
    if (made == NULL) {
        return Result(-ENOMEM);
    }
    const int opened = made->Open(*options);
    if (opened < 0) {
        delete made;
        return Result(opened);
    }
    *link = made;
    return 0;
}

int mcucom_shutdown(struct mcucom_link* link) {
    if (link == NULL) {
        return Result(-EINVAL);
    }
    link->Shutdown();
    return 0;
}

void mcucom_log_stdio(void* /*context*/, int /*level*/, const char* line) {
    fprintf(stderr, "%s\n", line != NULL ? line : "");
}

}  // extern "C"

namespace {

int CloseLink(mcucom_link* link, bool restoreSettings) {
    if (link == NULL) {
        return Result(-EINVAL);
    }
    // The handler runs on the receiver, which the close stops and joins, or inside a call,
    // which the close waits for: either would wait for itself.
    if (link->link.log().InHandlerHere()) {
        return Result(-EDEADLK);
    }
    link->Close(restoreSettings);
    delete link;
    return 0;
}

// What a call refused before the link had the command leaves in the caller's answer.
void NoAnswer(mcucom_answer* answer) {
    if (answer != NULL) {
        memset(answer, 0, sizeof *answer);
    }
}

}  // namespace

extern "C" {

int mcucom_close(struct mcucom_link* link) {
    return CloseLink(link, true);
}

int mcucom_close_keeping_settings(struct mcucom_link* link) {
    return CloseLink(link, false);
}

int mcucom_command(struct mcucom_link* link, uint32_t code, const void* payload, size_t payload_len,
                   unsigned int timeout_ms, struct mcucom_answer* answer) {
    if (link == NULL || !link->Enter()) {
        NoAnswer(answer);
        return Result(link == NULL ? -EINVAL : -ESHUTDOWN);
    }
    mcucom::McuLink::Outgoing out;
    const int sent = ErrnoOf(link->link.Command(code, static_cast<const unsigned char*>(payload),
                                                payload_len, timeout_ms, &out));
    link->Leave();
    if (answer != NULL) {
        answer->serial = out.serial;
        answer->result = out.AnswerResult();
        answer->payload_len = out.AnswerLength();
        memcpy(answer->payload, out.AnswerPayload(), answer->payload_len);
        answer->round_trip_us = out.RoundTripUs();
    }
    return Result(sent);
}

int mcucom_command_start(struct mcucom_link* link, uint32_t code, const void* payload,
                         size_t payload_len, unsigned int timeout_ms, uint64_t tag) {
    if (link == NULL) {
        return Result(-EINVAL);
    }
    if (!link->Enter()) {
        return Result(-ESHUTDOWN);
    }
    const int started = link->StartCommand(code, payload, payload_len, timeout_ms, tag);
    link->Leave();
    return Result(started);
}

int mcucom_event_fd(struct mcucom_link* link) {
    if (link == NULL) {
        return Result(-EINVAL);
    }
    if (!link->Enter()) {
        return Result(-ESHUTDOWN);
    }
    const int fd = link->events.fd();
    link->Leave();
    return fd;
}

}  // extern "C"

namespace {

#if defined(MCUCOM_SHARED_LIBRARY)
// The events of the library's first interface: what a program built before completions
// existed reads, into its shorter event. It cannot start a command that completes, so it
// never meets one.
struct EventBeforeCompletions {
    uint32_t kind;
    uint16_t code;
    uint8_t serial;
    uint8_t flag;
    uint16_t payload_len;
    uint8_t payload[MCUCOM_PAYLOAD_MAX];
    uint64_t timestamp_us;
    uint64_t seqno;
    int error;
};

// The first event is the new one's beginning.
static_assert(offsetof(EventBeforeCompletions, error) == offsetof(mcucom_event, error),
              "an event begins as the first interface's did");

#endif

// The queue's own read, into the caller's events: the count taken, or -ESHUTDOWN once the
// queue is closed and empty.
int Take(mcucom_link* link, mcucom_event* events, size_t max_events, int timeout_ms) {
    const int max =
        max_events > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(max_events);
    const int taken = link->events.Read(events, max, timeout_ms);
    return taken < 0 ? -ESHUTDOWN : taken;
}

#if defined(MCUCOM_SHARED_LIBRARY)
// The first interface's shorter events, each the beginning of an event of now.
int Take(mcucom_link* link, EventBeforeCompletions* events, size_t max_events, int timeout_ms) {
    int taken = 0;
    for (mcucom_event event; static_cast<size_t>(taken) < max_events; ++taken) {
        const int got = Take(link, &event, 1, taken == 0 ? timeout_ms : 0);
        if (got <= 0) {
            return taken == 0 ? got : taken;
        }
        memcpy(&events[taken], &event, sizeof events[taken]);
    }
    return taken;
}
#endif

template <typename Event>
int ReadEvents(mcucom_link* link, Event* events, size_t max_events, int timeout_ms) {
    if (link == NULL || (events == NULL && max_events > 0)) {
        return Result(-EINVAL);
    }
    if (!link->Enter(true)) {
        return Result(-ESHUTDOWN);
    }
    const int taken = Take(link, events, max_events, timeout_ms);
    link->Leave();
    return Result(taken);
}

}  // namespace

extern "C" {

int mcucom_read_events(struct mcucom_link* link, struct mcucom_event* events, size_t max_events,
                       int timeout_ms) {
    return ReadEvents(link, events, max_events, timeout_ms);
}

#if defined(MCUCOM_SHARED_LIBRARY)
// Programs linked against the shared library's first interface get the first event's layout:
// the name stays inside (the export map), its version MCUCOM_1 is what they ask for.
int compat_read_events_1(struct mcucom_link* link, void* events, size_t max_events,
                         int timeout_ms) {
    return ReadEvents(link, static_cast<EventBeforeCompletions*>(events), max_events, timeout_ms);
}
__asm__(".symver compat_read_events_1,mcucom_read_events@MCUCOM_1");
#endif

uint64_t mcucom_events_dropped(struct mcucom_link* link) {
    return link != NULL ? link->events.dropped() : 0;
}

const char* mcucom_strerror(int result) {
    switch (-result) {
        case 0:
            return "success";
        case ETIMEDOUT:
            return "no answer came in time";
        case EALREADY:
            return "a command of this code is already waiting for its answer";
        case ENOMSG:
            return "the code is not in the command table";
        case EMSGSIZE:
            return "the payload is longer than the MCU takes (1024 bytes)";
        case ENOLINK:
            return "the line was lost (hung up, or its device removed)";
        case ESHUTDOWN:
            return "the link is closed";
        case EBUSY:
            return "the line is held by another program, or by another link of this one";
        case EINVAL:
            return "a bad argument";
        case EIO:
            return "the line could not be written";
        case EPROTO:
            return "the answer was announced but could not be found";
        case EDEADLK:
            return "a link cannot be closed from its own log handler";
        default:
            return result < 0 ? strerror(-result) : "no failure";
    }
}

int mcucom_command_flag(uint32_t code) {
    return GetCmdFlag(static_cast<COM_CMD_3520D_TYPE>(code));
}

int mcucom_command_entry(size_t index, uint32_t* code, uint8_t* flag) {
    if (code == NULL || flag == NULL) {
        return Result(-EINVAL);
    }
    if (index >= static_cast<size_t>(mcucom::CMD_TABLE_SIZE)) {
        return 0;
    }
    *code = static_cast<uint32_t>(m_cmdFlag[index].cmd);
    *flag = m_cmdFlag[index].flag;
    return 1;
}

int mcucom_frame_build(uint8_t serial, uint8_t flag, uint16_t code, const void* payload,
                       size_t payload_len, void* out, size_t out_size) {
    if (out == NULL || (payload == NULL && payload_len > 0)) {
        return Result(-EINVAL);
    }
    if (payload_len > static_cast<size_t>(mcucom::FRAME_MAX_PAYLOAD)) {
        return Result(-EMSGSIZE);
    }
    if (out_size < payload_len + mcucom::FRAME_MIN_SIZE) {
        return Result(-ENOBUFS);
    }
    return mcucom::LayOutFrame(static_cast<unsigned char*>(out), serial, flag, code,
                               static_cast<const unsigned char*>(payload),
                               static_cast<unsigned short>(payload_len));
}

int mcucom_frame_find(const void* bytes, size_t size, int final, size_t* offset, size_t* length) {
    if ((bytes == NULL && size > 0) || offset == NULL || length == NULL) {
        return Result(-EINVAL);
    }
    const unsigned char* data = static_cast<const unsigned char*>(bytes);
    const int stored = size > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
    int at = 0;
    *length = 0;
    for (;;) {
        const mcucom::ScanStep step =
            mcucom::NextScanStep(mcucom::FlatBytes(data + at), stored - at, final != 0);
        if (step.verdict == mcucom::kFrameValid) {
            *offset = static_cast<size_t>(at);
            *length = static_cast<size_t>(step.length);
            return 1;
        }
        if (step.length == 0) {
            break;
        }
        at += step.length;
    }
    *offset = static_cast<size_t>(at);
    return 0;
}

const char* mcucom_version(void) {
    return MCUCOM_VERSION;
}

}  // extern "C"
