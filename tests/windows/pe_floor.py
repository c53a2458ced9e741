#!/usr/bin/env python3
"""Checks that a Windows .exe or .dll starts on the oldest Windows we support.

Reads the file's PE headers itself (the shared okvsim/pe.py: no Windows, no Wine): every imported
function must be in the checked-in list of what that Windows has, the header's OS and subsystem
versions must not be above it, and the version resource must carry the project's name and version.
Prints every fault found, then exits 1 if there was one.
"""

import argparse
import os
import struct
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # nothing may land in the source tree
# Started by hand from any folder: the shared package is tests/support/okvsim.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "support"))

from okvsim.pe import MACHINES, BadFile, Pe, version_block, version_strings  # noqa: E402

FIXED_SIGNATURE = 0xFEEF04BD


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
