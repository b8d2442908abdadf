#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes a gzip-compressed initramfs (the kernel's "newc" cpio format) of a folder.

    make_initramfs.py OUT ROOT

Every file, folder and symbolic link below ROOT goes in with its mode; owners are root, times
zero, so the same folder gives the same bytes. /dev/console is added as a character device,
which the kernel opens for init before any file system is mounted; no root rights and no cpio
program are needed.
"""
import gzip
import os
import stat
import sys

CONSOLE = ("dev/console", stat.S_IFCHR | 0o600, 5, 1)


def header(name, mode, size, ino, rdev=(0, 0)):
    fields = [ino, mode, 0, 0, 1, 0, size, 0, 0, rdev[0], rdev[1], len(name) + 1, 0]
    return ("070701" + "".join("%08X" % f for f in fields)).encode("ascii")


def pad(n):
    return b"\0" * ((4 - n % 4) % 4)


def entry(name, mode, data=b"", ino=0, rdev=(0, 0)):
    head = header(name, mode, len(data), ino, rdev) + name.encode() + b"\0"
    return head + pad(len(head)) + data + pad(len(data))


def archive(root):
    out = []
    ino = 1
    for folder, dirs, files in os.walk(root):
        dirs.sort()
        for name in sorted(dirs) + sorted(files):
            path = os.path.join(folder, name)
            rel = os.path.relpath(path, root)
            info = os.lstat(path)
            ino += 1
            if stat.S_ISLNK(info.st_mode):
                data = os.readlink(path).encode()
            elif stat.S_ISREG(info.st_mode):
                with open(path, "rb") as f:
                    data = f.read()
            else:
                data = b""
            out.append(entry(rel, info.st_mode, data, ino))
    name, mode, major, minor = CONSOLE
    out.append(entry(name, mode, ino=ino + 1, rdev=(major, minor)))
    out.append(entry("TRAILER!!!", 0))
    return b"".join(out)


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: make_initramfs.py OUT ROOT")
    data = archive(sys.argv[2])
    with open(sys.argv[1], "wb") as f:
        f.write(gzip.compress(data, mtime=0))


if __name__ == "__main__":
    main()
