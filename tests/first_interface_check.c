/* SPDX-License-Identifier: MIT */
/* A program linked against the shared library's first interface, whose events were shorter:
 * asking for mcucom_read_events at version MCUCOM_1, it gets events of that layout, and the
 * library writes nothing past the array it was given. The line is a pseudo-terminal whose far
 * end this program writes an MCU frame into. Exit status 0 when all holds. */
#define _XOPEN_SOURCE 600
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "mcucom.h"

/* The event as the first interface laid it out. */
struct first_event {
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

int first_read_events(struct mcucom_link* link, struct first_event* events, size_t max_events,
                      int timeout_ms);
__asm__(".symver first_read_events,mcucom_read_events@MCUCOM_1");

static int fail(const char* what) {
    fprintf(stderr, "first_interface_check: %s\n", what);
    return 1;
}

int main(void) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        return fail("no pseudo-terminal");
    }
    struct mcucom_options options;
    mcucom_options_init(&options);
    options.device = ptsname(master);
    struct mcucom_link* link = NULL;
    if (mcucom_open(&options, &link) != 0) {
        return fail("the link did not open");
    }
    const uint8_t payload[] = {0x05, 0x06, 0x07};
    uint8_t frame[32];
    const int size =
        mcucom_frame_build(0x21, 0x01, 0x0019, payload, sizeof payload, frame, sizeof frame);
    if (size <= 0 || write(master, frame, (size_t)size) != size) {
        return fail("the MCU's frame was not written");
    }
    struct first_event events[2];
    memset(events, 0xA5, sizeof events);
    const int got = first_read_events(link, events, 1, 30000);
    const uint8_t* guard = (const uint8_t*)&events[1];
    int untouched = 1;
    for (size_t i = 0; i < sizeof events[1]; ++i) {
        untouched &= guard[i] == 0xA5;
    }
    mcucom_close(link);
    close(master);
    if (got != 1) {
        return fail("no event was read");
    }
    if (events[0].kind != MCUCOM_EVENT_UNASKED || events[0].code != 0x0019 ||
        events[0].serial != 0x21 || events[0].payload_len != 3 ||
        memcmp(events[0].payload, payload, 3) != 0 || events[0].seqno != 1 ||
        events[0].error != 0) {
        return fail("the event is not the frame written");
    }
    return untouched ? 0 : fail("the library wrote past the events it was given");
}
