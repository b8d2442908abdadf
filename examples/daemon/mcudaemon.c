/* SPDX-License-Identifier: MIT */
/*
 * mcudaemon: a board program's loop on the MCU link, as a daemon of the board would have it,
 * on one thread that never waits on the line. One poll() waits on three descriptors: a timer
 * that starts commands 0006 and 0007 every 100 ms without waiting for their answers, the
 * link's event descriptor (the commands' completions, frames the MCU sent unasked, late
 * answers, copies, the line's loss), and a signal descriptor (SIGINT, SIGTERM end it cleanly).
 * A code whose command is still in flight at a tick is not sent again until it completes.
 *
 *   mcudaemon [--device PATH] [--commands N]      N commands, then it ends once they have
 *                                                  completed (default: until a signal)
 *
 * It prints a line per answer and per event, and a summary at the end. Exit status: 0, or 1
 * when the link could not be opened or the line was lost.
 */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <mcucom.h>

/* The commands of each tick; a command's tag is its index here. */
static const uint32_t kCodes[] = {0x0006, 0x0007};
#define CODES (sizeof kCodes / sizeof kCodes[0])

struct counts {
    unsigned long sent, answered, failed;
    unsigned long events[6];
    int in_flight[CODES];
};

static const char *kind_name(uint32_t kind) {
    switch (kind) {
        case MCUCOM_EVENT_UNASKED:
            return "unasked";
        case MCUCOM_EVENT_LATE_ANSWER:
            return "late answer";
        case MCUCOM_EVENT_COPY:
            return "copy";
        case MCUCOM_EVENT_LINE_LOST:
            return "line lost";
        case MCUCOM_EVENT_COMPLETION:
            return "completion";
        default:
            return "?";
    }
}

static void log_line(void *context, int level, const char *line) {
    (void)context;
    if (level <= MCUCOM_LOG_WARNING) {
        fprintf(stderr, "mcudaemon: %s\n", line);
    }
}

static int make_timer(void) {
    struct itimerspec every = {{0, 100 * 1000 * 1000}, {0, 100 * 1000 * 1000}};
    int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    if (fd >= 0 && timerfd_settime(fd, 0, &every, NULL) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

static int make_signals(void) {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_BLOCK, &stops, NULL);
    return signalfd(-1, &stops, SFD_CLOEXEC);
}

/* Starts each command not in flight, while the limit (0: none) allows. */
static void start_commands(struct mcucom_link *link, struct counts *counts, unsigned long limit) {
    static const uint8_t payload[8] = {0x00, 0xff, 0x00, 0xff, 0x00, 0x00, 0x00, 0x1f};
    for (size_t i = 0; i < CODES && (limit == 0 || counts->sent < limit); ++i) {
        if (counts->in_flight[i]) {
            continue;
        }
        int result = mcucom_command_start(link, kCodes[i], payload, sizeof payload, 100, i);
        counts->sent++;
        if (result == 0) {
            counts->in_flight[i] = 1;
        } else {
            counts->failed++;
            printf("command %04x: %s\n", (unsigned)kCodes[i], mcucom_strerror(result));
        }
    }
}

static void completed(const struct mcucom_event *e, struct counts *counts) {
    if (e->tag < CODES) {
        counts->in_flight[e->tag] = 0;
    }
    if (e->status == 0) {
        counts->answered++;
        printf("answer: command %04x, serial %u, result 0x%02x, %llu us\n", e->code, e->serial,
               e->result, (unsigned long long)e->round_trip_us);
    } else {
        counts->failed++;
        printf("command %04x: %s\n", e->code, mcucom_strerror(e->status));
    }
}

static int in_flight(const struct counts *counts) {
    int any = 0;
    for (size_t i = 0; i < CODES; ++i) {
        any |= counts->in_flight[i];
    }
    return any;
}

/* 0 while the line is there, 1 once it is lost. */
static int take_events(struct mcucom_link *link, struct counts *counts) {
    struct mcucom_event events[16];
    int lost = 0;
    int got = mcucom_read_events(link, events, 16, 0);
    for (int i = 0; i < got; ++i) {
        const struct mcucom_event *e = &events[i];
        counts->events[e->kind < 6 ? e->kind : 0]++;
        if (e->kind == MCUCOM_EVENT_COMPLETION) {
            completed(e, counts);
            continue;
        }
        printf("event %llu: %s, code %04x, serial %u, %u payload bytes\n",
               (unsigned long long)e->seqno, kind_name(e->kind), e->code, e->serial,
               e->payload_len);
        lost |= e->kind == MCUCOM_EVENT_LINE_LOST;
    }
    return lost;
}

int main(int argc, char **argv) {
    struct mcucom_options options;
    struct mcucom_link *link;
    struct counts counts;
    unsigned long limit = 0;
    int lost = 0;
    mcucom_options_init(&options);
    options.log = log_line;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--device") == 0) {
            options.device = argv[i + 1];
        } else if (strcmp(argv[i], "--commands") == 0) {
            limit = strtoul(argv[i + 1], NULL, 10);
        }
    }
    setvbuf(stdout, NULL, _IOLBF, 0);
    memset(&counts, 0, sizeof counts);
    int opened = mcucom_open(&options, &link);
    if (opened < 0) {
        fprintf(stderr, "mcudaemon: cannot open %s: %s\n", options.device,
                mcucom_strerror(opened));
        return 1;
    }
    struct pollfd fds[3] = {{make_timer(), POLLIN, 0},
                            {mcucom_event_fd(link), POLLIN, 0},
                            {make_signals(), POLLIN, 0}};
    int running = fds[0].fd >= 0 && fds[2].fd >= 0;
    while (running && !lost && (limit == 0 || counts.sent < limit || in_flight(&counts))) {
        if (poll(fds, 3, -1) < 0) {
            running = errno == EINTR;
            continue;
        }
        if (fds[0].revents & POLLIN) {
            uint64_t ticks;
            if (read(fds[0].fd, &ticks, sizeof ticks) == sizeof ticks) {
                start_commands(link, &counts, limit);
            }
        }
        if (fds[1].revents & POLLIN) {
            lost = take_events(link, &counts);
        }
        if (fds[2].revents & POLLIN) {
            running = 0;
        }
    }
    lost |= take_events(link, &counts);
    printf("mcudaemon: %lu commands, %lu answered, %lu failed; events: %lu unasked, %lu late "
           "answers, %lu copies, %llu dropped%s\n",
           counts.sent, counts.answered, counts.failed, counts.events[MCUCOM_EVENT_UNASKED],
           counts.events[MCUCOM_EVENT_LATE_ANSWER], counts.events[MCUCOM_EVENT_COPY],
           (unsigned long long)mcucom_events_dropped(link), lost ? "; the line was lost" : "");
    mcucom_close(link);
    return lost ? 1 : 0;
}
