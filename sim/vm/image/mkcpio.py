#!/usr/bin/env python3
"""Writes a folder as an initramfs: a cpio archive in the kernel's "newc"
format, every file owned by root, time stamps 0, entries sorted, so the same
folder always gives the same bytes. Device nodes that the kernel needs before
devtmpfs is mounted are added with --node NAME:TYPE:MAJOR:MINOR.

    mkcpio.py FOLDER OUTPUT [--node dev/console:c:5:1 ...]
"""
import os
import stat
import sys


def header(ino, mode, nlink, size, rmajor, rminor, name):
    fields = [ino, mode, 0, 0, nlink, 0, size, 0, 0, rmajor, rminor, len(name) + 1, 0]
    return b"070701" + b"".join(b"%08X" % f for f in fields)


def pad(n):
    return b"\0" * ((4 - n % 4) % 4)


def entry(out, ino, mode, name, data=b"", rdev=(0, 0), nlink=1):
    h = header(ino, mode, nlink, len(data), rdev[0], rdev[1], name) + name.encode() + b"\0"
    out.write(h + pad(len(h)))
    out.write(data + pad(len(data)))


def main(argv):
    folder, output = argv[1], argv[2]
    nodes = []
    args = argv[3:]
    while args:
        if args[0] != "--node" or len(args) < 2:
            sys.exit("usage: mkcpio.py FOLDER OUTPUT [--node NAME:c|b:MAJOR:MINOR]...")
        name, kind, major, minor = args[1].split(":")
        nodes.append((name, stat.S_IFCHR if kind == "c" else stat.S_IFBLK, int(major), int(minor)))
        args = args[2:]

    paths = []
    for root, dirs, files in os.walk(folder):
        dirs.sort()
        for n in sorted(dirs + files):
            paths.append(os.path.relpath(os.path.join(root, n), folder))
    paths.sort()

    ino = 1
    with open(output, "wb") as out:
        for rel in paths:
            full = os.path.join(folder, rel)
            st = os.lstat(full)
            perm = stat.S_IMODE(st.st_mode)
            if stat.S_ISLNK(st.st_mode):
                entry(out, ino, stat.S_IFLNK | 0o777, rel, os.readlink(full).encode())
            elif stat.S_ISDIR(st.st_mode):
                entry(out, ino, stat.S_IFDIR | perm, rel, nlink=2)
            elif stat.S_ISREG(st.st_mode):
                with open(full, "rb") as f:
                    entry(out, ino, stat.S_IFREG | perm, rel, f.read())
            else:
                sys.exit("mkcpio.py: cannot archive " + full)
            ino += 1
        for name, kind, major, minor in nodes:
            entry(out, ino, kind | 0o600, name, rdev=(major, minor))
            ino += 1
        entry(out, 0, 0, "TRAILER!!!")


if __name__ == "__main__":
    main(sys.argv)
