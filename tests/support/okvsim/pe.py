"""A reader of Windows PE images (.exe, .dll), written here so that no Windows and no Wine is
needed to look into one: the machine, the header versions, the imports and the version resource.
The import floor's check (tests/windows/pe_floor.py) and the bench (which tells a win32 build from
a win64 one) both read through it.
"""

import struct

MACHINES = {0x14C: "i386", 0x8664: "x86-64"}
RT_VERSION = 16


class BadFile(Exception):
    pass


class Pe:
    """The parts of a PE file the tools look at: machine, header versions, imports, resources."""

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

    @property
    def bits(self):
        """32 or 64, from the machine field."""
        if self.machine not in MACHINES:
            raise BadFile("machine %#x is neither i386 nor x86-64" % self.machine)
        return 32 if self.machine == 0x14C else 64

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
