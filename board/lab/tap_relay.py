#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A tap on the stand-in board's MCU line, as a second serial adapter is on a real board.

    tap_relay.py BOARD_SOCKET MCU_SOCKET TAP_LINK

Serves BOARD_SOCKET for the board's UART (qemu's -serial unix:BOARD_SOCKET), passes bytes both
ways between it and the MCU served at MCU_SOCKET, and copies what the board sends to a raw
pseudo-terminal linked at TAP_LINK, the tap's device. Bytes nobody reads from the tap are
dropped, as a line drops them: the board's line never waits for the tap. Ends when either side
closes.
"""
import os
import pty
import select
import socket
import sys
import tty


def main():
    board_path, mcu_path, link = sys.argv[1:]
    tap, tap_device = pty.openpty()
    tty.setraw(tap_device)  # kept open: the device keeps its raw settings for every reader
    os.set_blocking(tap, False)
    os.symlink(os.ttyname(tap_device), link)
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(board_path)
    listener.listen(1)
    board, _ = listener.accept()
    mcu = socket.socket(socket.AF_UNIX)
    mcu.connect(mcu_path)
    far_end = {board: mcu, mcu: board}
    while True:
        for side in select.select(list(far_end), [], [])[0]:
            data = side.recv(4096)
            if not data:
                return
            far_end[side].sendall(data)
            if side is board:
                try:
                    os.write(tap, data)
                except BlockingIOError:
                    pass


if __name__ == "__main__":
    main()
