#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""mculoop: the example daemon's loop on asyncio. Every 100 ms it awaits commands 0006 and
0007 together, while a task prints the MCU's own frames as they come; both run over the
link's one descriptor, with no thread of the script's own.

    mculoop.py [--device PATH] [--commands N]

Prints a line per answer and per event, and a summary like the C daemon's. Exit status 0, or
1 when the line was lost.
"""
import argparse
import asyncio
import sys
from typing import Dict

import mcucom

PAYLOAD = bytes.fromhex("00ff00ff0000001f")
CODES = (0x0006, 0x0007)


async def command(link: mcucom.Link, code: int, counts: Dict[str, int]) -> None:
    counts["sent"] += 1
    try:
        answer = await link.command_async(code, PAYLOAD, timeout_ms=100)
    except mcucom.McuError as failure:
        counts["failed"] += 1
        print("command %04x: %s" % (code, failure.strerror))
        return
    counts["answered"] += 1
    print("answer: command %04x, serial %d, result 0x%02x, %d us" %
          (code, answer.serial, answer.result, answer.round_trip_us))


async def watch(link: mcucom.Link, counts: Dict[str, int]) -> None:
    async for event in link.events_async():
        counts[event.kind.name] = counts.get(event.kind.name, 0) + 1
        print("event %d: %s, code %04x, serial %d, %d payload bytes" %
              (event.seqno, event.kind.name.lower(), event.code, event.serial,
               len(event.payload)))
        if event.kind == mcucom.EventKind.LINE_LOST:
            return


async def run(device: str, limit: int) -> int:
    counts = {"sent": 0, "answered": 0, "failed": 0}
    with mcucom.Link(device) as link:
        watcher = asyncio.ensure_future(watch(link, counts))
        while not watcher.done() and (limit == 0 or counts["sent"] < limit):
            codes = CODES[:limit - counts["sent"]] if limit else CODES
            await asyncio.gather(asyncio.sleep(0.1),
                                 *(command(link, code, counts) for code in codes))
        lost = watcher.done()
        watcher.cancel()
        print("mculoop: %d commands, %d answered, %d failed; events: %d unasked, "
              "%d late answers, %d copies, %d dropped%s" %
              (counts["sent"], counts["answered"], counts["failed"], counts.get("UNASKED", 0),
               counts.get("LATE_ANSWER", 0), counts.get("COPY", 0), link.events_dropped,
               "; the line was lost" if lost else ""))
    return 1 if lost else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--device", default="/dev/ttyAMA2")
    parser.add_argument("--commands", type=int, default=0,
                        help="this many commands, then the summary (default: until Ctrl-C)")
    arguments = parser.parse_args()
    try:
        return asyncio.run(run(arguments.device, arguments.commands))
    except KeyboardInterrupt:
        return 0


if __name__ == "__main__":
    sys.exit(main())
