"""The simulated runtime's state file, mapped: its layout, the fault knobs, the counters, the
variables and the two journals, read by the rules sim/runtime/README.md gives.

This is the one place the tools write the layout down for Python; the test simrt.state_layout checks
every figure here against the simulator's own definition, so that the two cannot drift apart.
"""

import mmap
import os
import struct
import subprocess
import time

from .errors import Failure

SIZE = 206384
MAGIC = b"K8SM"

# Knobs: little-endian 32-bit words.
KNOBS = {"executor": 16, "delay_ms": 20, "never": 24, "result": 28, "refuse_read": 32,
         "refuse_write": 36, "garbage": 40}
DEFAULT_DELAY_MS = 20

# Counters: little-endian 64-bit words.
COUNTERS = {"reads": 48, "writes": 56, "fetches": 64, "probes": 72, "malformed": 80}

ENTRY_SIZE = 32
# Each journal: the offset of its last sequence number, of its slots, how many slots, and the fields
# that follow an entry's 64-bit sequence number, with their struct codes.
JOURNAL = (96, 256, 256, (("time_us", "Q"), ("value", "i"), ("index", "H"), ("type", "B"),
                          ("result", "B")))  # completed writes
TIMINGS = (112, 8448, 128, (("submitted_us", "Q"), ("ready_us", "I"), ("fetched_us", "I"),
                            ("fetches", "I"), ("index", "H"), ("type", "B"),
                            ("write", "B")))  # every completed read and write

VARIABLES = 16384
# letter -> (type code, start after VARIABLES, struct format of one variable)
VAR_TYPES = {
    "i": (0, 0, "<B"),
    "o": (1, 10000, "<B"),
    "b": (2, 20000, "<B"),
    "t": (3, 30000, "<I"),
    "c": (4, 70000, "<H"),
    "m": (5, 90000, "<H"),
    "f": (6, 110000, "<i"),
    "l": (7, 150000, "<i"),
}
TYPE_LETTERS = "iobtcmfl"
TYPE_M, TYPE_L = VAR_TYPES["m"][0], VAR_TYPES["l"][0]

# The writer counts an entry before it fills the slot; preempted in between (a loaded machine, a
# sanitizer build) it can take many milliseconds to finish.
ENTRY_WAIT_S = 2.0
POLL_S = 0.005  # how often shared memory is looked at while waiting for a change


def run_tool(tool, path, *args):
    """The runtime's control tool on the state file at `path`."""
    subprocess.run([tool] + list(args), env=dict(os.environ, KOLT8_SIM_STATE=path), check=True,
                   stdout=subprocess.DEVNULL, timeout=20)


def var_offset(ref):
    """Offset and struct format of a variable named like "m1000"."""
    _, start, fmt = VAR_TYPES[ref[0].lower()]
    return VARIABLES + start + int(ref[1:]) * struct.calcsize(fmt), fmt


def ref_name(typ, index):
    return "%s%d" % (TYPE_LETTERS[typ] if typ < len(TYPE_LETTERS) else "?", index)


class Ring:
    """One of the state file's rings of entries."""

    def __init__(self, mem, layout, name):
        self.mem = mem
        self.last_off, self.entries_off, self.slots, fields = layout
        self.fmt = "<" + "".join(code for _, code in fields)
        self.name = name

    def last(self):
        return struct.unpack_from("<Q", self.mem, self.last_off)[0]

    def entry(self, n):
        """Entry n's fields after its sequence number, waiting while it is being filled in."""
        off = self.entries_off + (n - 1) % self.slots * ENTRY_SIZE
        deadline = time.monotonic() + ENTRY_WAIT_S
        while self.last() - n < self.slots:
            # Taken only when the sequence reads n both before and after the fields.
            if struct.unpack_from("<Q", self.mem, off)[0] == n:
                fields = struct.unpack_from(self.fmt, self.mem, off + 8)
                if struct.unpack_from("<Q", self.mem, off)[0] == n:
                    return fields
            if time.monotonic() >= deadline:
                raise Failure("%s entry %d still unwritten after %.0f s" % (
                    self.name, n, ENTRY_WAIT_S))
            time.sleep(0.0005)
        raise Failure("%s entry %d overwritten before it was read" % (self.name, n))


class State:
    """The state file at `path`, reset to defaults by the control tool `tool` and mapped."""

    def __init__(self, path, tool, *setup):
        self.path = path
        self.tool = tool
        for args in (["reset"],) + setup:
            run_tool(tool, path, *args)
        with open(path, "r+b") as f:
            self.map = mmap.mmap(f.fileno(), SIZE)
        if self.map[0:4] != MAGIC:
            raise Failure("the runtime state file %s has no %s magic" % (path, MAGIC.decode()))
        self.journal = Ring(self.map, JOURNAL, "journal")
        self.timings = Ring(self.map, TIMINGS, "timing journal")

    def knob(self, off, value=None):
        if value is None:
            return struct.unpack_from("<I", self.map, off)[0]
        struct.pack_into("<I", self.map, off, value & 0xFFFFFFFF)
        return value

    def executor(self, on):
        self.knob(KNOBS["executor"], 1 if on else 0)

    def delay(self, ms=None):
        return self.knob(KNOBS["delay_ms"], ms)

    def never(self, on):
        self.knob(KNOBS["never"], 1 if on else 0)

    def result(self, code):
        self.knob(KNOBS["result"], code)

    def refuse_read(self, word):
        self.knob(KNOBS["refuse_read"], word)

    def refuse_write(self, word):
        self.knob(KNOBS["refuse_write"], word)

    def garbage(self, on):
        self.knob(KNOBS["garbage"], 1 if on else 0)

    def counter(self, name):
        return struct.unpack_from("<Q", self.map, COUNTERS[name])[0]

    def reads(self):
        return self.counter("reads")

    def writes(self):
        return self.counter("writes")

    def counters(self):
        return {name: self.counter(name) for name in COUNTERS}

    def get(self, ref):
        off, fmt = var_offset(ref)
        return struct.unpack_from(fmt, self.map, off)[0]

    def set(self, ref, value):
        """What the application does: store the variable directly."""
        off, fmt = var_offset(ref)
        struct.pack_into(fmt, self.map, off, value)

    def write_entry(self, n):
        """Journal entry n as (ref, value, result, wall time in s)."""
        t_us, value, index, typ, result = self.journal.entry(n)
        return ref_name(typ, index), value, result, t_us / 1e6

    def journal_since(self, seq):
        return [self.write_entry(n) for n in range(seq + 1, self.journal.last() + 1)]

    def close(self):
        try:
            self.map.close()
        except (BufferError, ValueError):
            pass


class Runtime(State):
    """The state as a scenario plays the application: a cursor over the journal of writes, so that
    each step looks at the writes it caused."""

    def __init__(self, path, tool):
        State.__init__(self, path, tool)
        self.journal_cursor = self.journal.last()

    def pending(self):
        """Journal entries not yet taken by a scenario."""
        return self.journal_since(self.journal_cursor)

    def take(self, entries):
        """Marks `entries` (a prefix of pending()) as seen."""
        self.journal_cursor += len(entries)

    def wait_journal(self, predicate, timeout, what):
        """Waits until predicate(entries since the cursor) is true; answers those entries."""
        deadline = time.monotonic() + timeout
        while True:
            entries = self.pending()
            if predicate(entries):
                return entries
            if time.monotonic() >= deadline:
                raise Failure("journal: %s not seen within %.1f s; entries %s" % (
                    what, timeout, fmt_entries(entries)))
            time.sleep(POLL_S)

    def wait_counter(self, getter, above, timeout, what):
        """Waits until getter() passes `above`; answers when it saw it."""
        deadline = time.monotonic() + timeout
        while getter() <= above:
            if time.monotonic() >= deadline:
                raise Failure("%s: no change within %.1f s" % (what, timeout))
            time.sleep(POLL_S)
        return time.monotonic()


def fmt_entries(entries):
    return "[" + ", ".join("%s=%d%s" % (r, v, "" if res == 0 else " (result %d)" % res)
                           for r, v, res, _ in entries) + "]"


def plain(entries):
    """Journal entries without their result codes and times, for comparison."""
    return [(r, v) for r, v, _, _ in entries]
