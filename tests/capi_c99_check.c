/* SPDX-License-Identifier: MIT */
/* The C interface's header as a C99 program sees it: it compiles alone, pedantic and warning
 * free, and its calls and types are what a program uses. Built, never run. */
#include "capi/mcucom.h"

int mcucom_c99_check(void);

int mcucom_c99_check(void) {
    struct mcucom_options options;
    struct mcucom_link *link = NULL;
    struct mcucom_answer answer;
    struct mcucom_event events[4];
    const unsigned char payload[2] = {0x01, 0x02};
    int result;
    mcucom_options_init(&options);
    result = mcucom_open(&options, &link);
    if (result < 0) {
        return result;
    }
    result = mcucom_command(link, 0x0006, payload, sizeof payload, 100, &answer);
    if (result == 0 && mcucom_event_fd(link) >= 0) {
        result = mcucom_read_events(link, events, 4, 0);
    }
    (void)mcucom_strerror(result);
    (void)mcucom_events_dropped(link);
    (void)mcucom_version();
    {
        unsigned char frame[32];
        size_t offset = 0, length = 0;
        if (mcucom_frame_build(1, (uint8_t)mcucom_command_flag(6), 6, payload, 2, frame,
                               sizeof frame) > 0) {
            (void)mcucom_frame_find(frame, sizeof frame, 1, &offset, &length);
        }
    }
    (void)mcucom_shutdown(link);
    return mcucom_close(link);
}
