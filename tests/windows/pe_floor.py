#!/usr/bin/env python3
"""Checks that a Windows .exe or .dll starts on the oldest Windows we support.

Reads the file's PE headers itself (no Windows, no Wine): every imported function must be in the
checked-in list of what that Windows has, the header's OS and subsystem versions must not be above
it, and the version resource must carry the project's name and version. Prints every fault found,
then exits 1 if there was one.
"""

import argparse
import os
import struct
import subprocess
import sys
import tempfile

MACHINES = {0x14C: "i386", 0x8664: "x86-64"}
RT_VERSION = 16
FIXED_SIGNATURE = 0xFEEF04BD


class BadFile(Exception):
    pass


class Pe:
    """The parts of a PE file the floor is about: header versions, imports, resources."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise BadFile("not an MZ executable")
        pe = self.u32(0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise BadFile("no PE signature")
        self.machine, sections = struct.unpack_from("<HH", data, pe + 4)
        optional_size = self.u16(pe + 20)
        optional = pe + 24
        magic = self.u16(optional)
        if magic not in (0x10B, 0x20B):
            raise BadFile("unknown optional header magic %#x" % magic)
        self.wide = magic == 0x20B
        self.os_version = (self.u16(optional + 40), self.u16(optional + 42))
        self.subsystem_version = (self.u16(optional + 48), self.u16(optional + 50))
        directories = optional + (112 if self.wide else 96)
        count = self.u32(directories - 4)
        self.directory = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(count)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            entry = table + 40 * i
            size, address, raw_size, raw = struct.unpack_from("<IIII", data, entry + 8)
            self.sections.append((address, max(size, raw_size), raw))

    def u16(self, offset):
        return struct.unpack_from("<H", self.data, offset)[0]

    def u32(self, offset):
        return struct.unpack_from("<I", self.data, offset)[0]

    def offset(self, rva):
        for address, size, raw in self.sections:
            if address <= rva < address + size:
                return raw + rva - address
        raise BadFile("address %#x is in no section" % rva)

    def text(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        """(dll, function) for every import; ordinals are named '#<n>'."""
        if len(self.directory) < 2 or self.directory[1][0] == 0:
            return []
        found = []
        descriptor = self.offset(self.directory[1][0])
        width, ordinal_flag = (8, 1 << 63) if self.wide else (4, 1 << 31)
        while True:
            lookup, _, _, name, thunks = struct.unpack_from("<IIIII", self.data, descriptor)
            if name == 0:
                return found
            dll = self.text(name)
            entry = self.offset(lookup or thunks)
            while True:
                value = struct.unpack_from("<Q" if self.wide else "<I", self.data, entry)[0]
                if value == 0:
                    break
                if value & ordinal_flag:
                    found.append((dll, "#%d" % (value & 0xFFFF)))
                else:
                    found.append((dll, self.text((value & 0x7FFFFFFF) + 2)))
                entry += width
            descriptor += 20

    def version_resources(self):
        """The raw bytes of every RT_VERSION resource."""
        if len(self.directory) < 3 or self.directory[2][0] == 0:
            return []
        root = self.offset(self.directory[2][0])
        found = []

        def entries(table):
            named, numbered = struct.unpack_from("<HH", self.data, table + 12)
            for i in range(named + numbered):
                yield struct.unpack_from("<II", self.data, table + 16 + 8 * i)

        def leaves(table):
            for _, target in entries(table):
                if target & 0x80000000:
                    yield from leaves(root + (target & 0x7FFFFFFF))
                else:
                    rva, size = struct.unpack_from("<II", self.data, root + target)
                    start = self.offset(rva)
                    yield self.data[start:start + size]

        for ident, target in entries(root):
            if ident == RT_VERSION and target & 0x80000000:
                found.extend(leaves(root + (target & 0x7FFFFFFF)))
        return found


def version_block(data, start=0):
    """One node of a VS_VERSIONINFO tree: (key, value, children)."""
    length, value_length, kind = struct.unpack_from("<HHH", data, start)
    end = start + length
    at = start + 6
    key_end = at
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[at:key_end].decode("utf-16-le")
    at = (key_end + 2 + 3) & ~3
    value_bytes = value_length * 2 if kind == 1 else value_length
    value = data[at:at + value_bytes]
    if kind == 1:
        value = value.decode("utf-16-le").rstrip("\0")
    at = (at + value_bytes + 3) & ~3
    children = []
    while at < end:
        child_length = struct.unpack_from("<H", data, at)[0]
        if child_length == 0:
            break
        children.append(version_block(data, at))
        at = (at + child_length + 3) & ~3
    return key, value, children


def version_strings(node, into):
    key, value, children = node
    if isinstance(value, str) and not children:
        into[key] = value
    for child in children:
        version_strings(child, into)
    return into


def read_allowed(path):
    """The floor's list: {(dll, function): source}, and the highest header version."""
    allowed, header = {}, None
    with open(path, encoding="utf-8") as listing:
        for number, line in enumerate(listing, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            fields = line.split(None, 2)
            if fields[0] == "header" and len(fields) == 3:
                major, minor = fields[1].split(".")
                header = (int(major), int(minor))
            elif len(fields) == 3:
                allowed[(fields[0].lower(), fields[1])] = fields[2]
            else:
                raise BadFile("%s:%d: want 'DLL FUNCTION WHERE-ITS-MINIMUM-COMES-FROM'"
                              % (path, number))
    if header is None:
        raise BadFile("%s: no 'header MAJOR.MINOR WHY' line" % path)
    return allowed, header


def check(path, allowed, header, version, product):
    faults = []
    with open(path, "rb") as image:
        pe = Pe(image.read())
    for dll, function in pe.imports():
        if (dll.lower(), function) not in allowed:
            faults.append("imports %s!%s, which the floor lacks" % (dll, function))
    for what, found in (("OS", pe.os_version), ("subsystem", pe.subsystem_version)):
        if found > header:
            faults.append("header %s version %d.%d is above %d.%d" % ((what,) + found + header))
    resources = pe.version_resources()
    if not resources:
        faults.append("no version resource")
    for resource in resources:
        root = version_block(resource)
        fixed = root[1]
        if root[0] != "VS_VERSION_INFO" or len(fixed) < 52:
            faults.append("version resource without VS_VERSION_INFO")
            continue
        signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
        want = [int(part) for part in version.split(".")] + [0]
        want_ms, want_ls = (want[0] << 16) | want[1], (want[2] << 16) | want[3]
        if signature != FIXED_SIGNATURE or (file_ms, file_ls) != (want_ms, want_ls) or (
                product_ms, product_ls) != (want_ms, want_ls):
            faults.append("version resource's numbers are not %s.0" % version)
        strings = version_strings(root, {})
        for key, value in (("ProductName", product), ("ProductVersion", version),
                           ("FileVersion", version)):
            if strings.get(key) != value:
                faults.append("version resource's %s is %r, not %r" % (key, strings.get(key), value))
        if not strings.get("FileDescription"):
            faults.append("version resource has no FileDescription")
    return pe, faults


def list_imports(paths):
    for path in paths:
        try:
            with open(path, "rb") as image:
                pe = Pe(image.read())
            for dll, function in sorted(pe.imports(), key=lambda i: (i[0].lower(), i[1])):
                print("%s %s %s" % (path, dll, function))
            print("%s header OS %d.%d subsystem %d.%d" % ((path,) + pe.os_version
                                                          + pe.subsystem_version))
        except (OSError, BadFile, struct.error, ValueError) as error:
            print("%s: cannot be read: %s" % (path, error), file=sys.stderr)
            return 1
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--allowed", help="the floor's list of functions for this bitness")
    parser.add_argument("--version", help="the project's version, e.g. 1.0.0")
    parser.add_argument("--product", help="the product name the resource carries")
    parser.add_argument("--list", action="store_true",
                        help="only print each file's imports, 'DLL FUNCTION' a line, and its header")
    parser.add_argument("--package", metavar="BUILD_DIR",
                        help="check every .exe and .dll that `cmake --install BUILD_DIR` ships")
    parser.add_argument("--cmake", default="cmake", help="the cmake that installs --package")
    parser.add_argument("files", nargs="*", metavar="FILE", help=".exe or .dll to check")
    arguments = parser.parse_args()
    if arguments.list:
        return list_imports(arguments.files)
    if not (arguments.allowed and arguments.version and arguments.product):
        parser.error("--allowed, --version and --product are needed to check")
    if arguments.package:
        return check_package(arguments)
    if not arguments.files:
        parser.error("name the files to check, or --package")
    return check_files(arguments)


# What the package ships, installed as cpack would: a file no test of its own reads is read here.
def check_package(arguments):
    with tempfile.TemporaryDirectory() as tree:
        installed = subprocess.run(
            [arguments.cmake, "--install", arguments.package, "--prefix", tree],
            stdout=subprocess.DEVNULL)
        if installed.returncode != 0:
            print("pe_floor: cmake --install %s failed" % arguments.package, file=sys.stderr)
            return 2
        arguments.files = shipped(tree)
        if not arguments.files:
            print("pe_floor: the package holds no .exe or .dll", file=sys.stderr)
            return 2
        return check_files(arguments)


def shipped(tree):
    """Every .exe and .dll under an install tree."""
    found = []
    for folder, _, names in os.walk(tree):
        found += [os.path.join(folder, n) for n in sorted(names)
                  if n.lower().endswith((".exe", ".dll"))]
    return found


def check_files(arguments):
    try:
        allowed, header = read_allowed(arguments.allowed)
    except (OSError, BadFile) as error:
        print("pe_floor: %s" % error, file=sys.stderr)
        return 2
    failed = False
    for path in arguments.files:
        try:
            pe, faults = check(path, allowed, header, arguments.version, arguments.product)
        except (OSError, BadFile, struct.error, ValueError, UnicodeDecodeError) as error:
            print("%s: cannot be read: %s" % (path, error))
            failed = True
            continue
        for fault in faults:
            print("%s: %s" % (path, fault))
        if faults:
            failed = True
        else:
            print("%s: %s, %d imports within the floor, header %d.%d" % (
                path, MACHINES.get(pe.machine, hex(pe.machine)), len(pe.imports()),
                *max(pe.os_version, pe.subsystem_version)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
