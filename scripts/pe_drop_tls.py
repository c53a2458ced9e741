#!/usr/bin/env python3
"""Removes the thread-local storage directory from Windows DLLs whose TLS template is empty.

    pe_drop_tls.py DLL...

Why: under Wine 8, once a few overlapped WaitCommEvent calls have completed on a pseudo-terminal
(each one runs on a helper thread of Wine's own), loading a DLL that has a TLS directory crashes
the process inside LdrLoadDll (a write to address 4 or 8: the TLS array of a thread that is no
longer there). The bridge's watcher makes such waits before the bridge loads kolt8.dll, so the
simulated kolt8.dll would crash every bridge under Wine. Every mingw-w64 DLL has a TLS directory,
but ours carry only the C runtime's empty template (mingw-w64 keeps thread_local variables in
emulated TLS, not there) and callbacks: the initialisation one the C runtime also calls itself
when the DLL is attached, and per-thread clean-up that a DLL called from one thread never needs.

A DLL whose TLS template holds any nonzero byte really uses thread-local storage and is refused
(exit 1). A DLL without a TLS directory is left as it is. Exit 2 for bad usage.
"""

import struct
import sys

TLS_ENTRY = 9  # index of the TLS directory among the optional header's data directories


class Refused(Exception):
    pass


def sections(image, pe):
    count = struct.unpack_from("<H", image, pe + 6)[0]
    optional_size = struct.unpack_from("<H", image, pe + 20)[0]
    table = pe + 24 + optional_size
    for i in range(count):
        size, rva, raw_size, raw_at = struct.unpack_from("<IIII", image, table + i * 40 + 8)
        yield rva, max(size, raw_size), raw_at, raw_size


def file_offset(image, pe, rva, length):
    """The bytes at `rva`; zero-filled where a section holds fewer raw bytes than its size."""
    for start, size, raw_at, raw_size in sections(image, pe):
        if start <= rva and rva + length <= start + size:
            inside = rva - start
            data = bytes(image[raw_at + inside:raw_at + min(raw_size, inside + length)])
            return data + bytes(length - len(data))
    raise Refused("address 0x%x is in no section" % rva)


def drop_tls(path):
    with open(path, "rb") as f:
        image = bytearray(f.read())
    if image[:2] != b"MZ":
        raise Refused("not a Windows executable")
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise Refused("no PE header")
    optional = pe + 24
    magic = struct.unpack_from("<H", image, optional)[0]
    if magic == 0x10B:
        image_base = struct.unpack_from("<I", image, optional + 28)[0]
        directories, pointer = optional + 96, "<IIII"
    elif magic == 0x20B:
        image_base = struct.unpack_from("<Q", image, optional + 24)[0]
        directories, pointer = optional + 112, "<QQQQ"
    else:
        raise Refused("unknown optional header 0x%x" % magic)
    entry = directories + TLS_ENTRY * 8
    rva, size = struct.unpack_from("<II", image, entry)
    if rva == 0:
        return "no TLS directory"
    directory = file_offset(image, pe, rva, struct.calcsize(pointer))
    start, end, _, _ = struct.unpack(pointer, directory)
    template = file_offset(image, pe, start - image_base, end - start) if end > start else b""
    if any(template):
        raise Refused("its TLS template holds data (%d bytes): it uses thread-local storage" %
                      len(template))
    struct.pack_into("<II", image, entry, 0, 0)
    with open(path, "r+b") as f:
        f.write(image)
    return "TLS directory removed (template of %d zero bytes)" % len(template)


def main(argv):
    if argv and argv[0] in ("-h", "--help"):
        sys.stdout.write(__doc__)
        return 0
    if not argv or any(a.startswith("-") for a in argv):
        sys.stderr.write("usage: pe_drop_tls.py DLL... (--help for more)\n")
        return 2
    status = 0
    for path in argv:
        try:
            print("%s: %s" % (path, drop_tls(path)))
        except (Refused, OSError, struct.error) as e:
            sys.stderr.write("pe_drop_tls.py: %s: %s\n" % (path, e))
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
