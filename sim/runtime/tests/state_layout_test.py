#!/usr/bin/env python3
"""Checks the tools' description of the simulated runtime's state file (tests/support/okvsim/state.py)
against the simulator's own definition, which the program state_layout prints: every offset, the
size and signedness of every journal field, each variable type's start and width, the file's size
and magic. A knob moved on one side only would have the scenarios turn the wrong knob.

    state_layout_test.py PATH-OF-state_layout

Exit status 0 when both agree, 1 with every difference listed, 2 for bad usage.
"""

import struct
import subprocess
import sys

sys.dont_write_bytecode = True  # nothing may land in the source tree

from okvsim import state  # noqa: E402


def ring(prefix, layout, figures):
    last, entries, slots, fields = layout
    figures[prefix + ".last"] = (last,)
    figures[prefix + ".entries"] = (entries,)
    figures[prefix + ".capacity"] = (slots,)
    figures[prefix + ".entry_size"] = (state.ENTRY_SIZE,)
    offset = 0
    for name, code in (("seq", "Q"),) + fields:
        size = struct.calcsize("<" + code)
        figures["%s.field.%s" % (prefix, name)] = (offset, size, 1 if code.islower() else 0)
        offset += size


def described():
    """The layout as okvsim.state has it, in the program's terms."""
    figures = {"size": (state.SIZE,), "magic": (int.from_bytes(state.MAGIC, "little"),),
               "default_delay_ms": (state.DEFAULT_DELAY_MS,)}
    figures.update(("knob." + name, (offset,)) for name, offset in state.KNOBS.items())
    figures.update(("counter." + name, (offset,)) for name, offset in state.COUNTERS.items())
    ring("journal", state.JOURNAL, figures)
    ring("timing", state.TIMINGS, figures)
    for letter in state.TYPE_LETTERS:
        code, start, fmt = state.VAR_TYPES[letter]
        figures["var.%d" % code] = (state.VARIABLES + start, struct.calcsize(fmt))
    return figures


def main(argv):
    if argv in (["--help"], ["-h"]):
        print(__doc__.strip())
        return 0
    if len(argv) != 1 or argv[0].startswith("-"):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    printed = subprocess.run(argv, capture_output=True, text=True, check=True, timeout=30).stdout
    defined = {}
    for line in printed.splitlines():
        name, *values = line.split()
        defined[name] = tuple(int(v) for v in values)
    ours = described()
    problems = ["%s: the simulator has %s, okvsim.state %s" % (
        name, defined.get(name, "nothing"), ours.get(name, "nothing"))
        for name in sorted(set(defined) | set(ours)) if defined.get(name) != ours.get(name)]
    for problem in problems:
        print(problem)
    print("%d figures compared, %d differ" % (len(defined), len(problems)))
    return 1 if problems or not defined else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
