#!/usr/bin/env python3
"""Soak test of okvbridge: the real bridge against both simulators for a given time, with random P
and R requests, random device behaviour and random runtime faults.

    tests/soak/soak.py [--minutes M] [--seed N] [--build DIR] [--progress S]
    tests/soak/soak.py --help

Every request's final code, and l1000 for R, is checked against the bytes the device actually sent,
by the mailbox rules written out in okvsim/mailbox.py (not by the bridge's code): the soak
keeps its own model of the bridge's receive queue, and gives the device only behaviour whose
outcome does not hang on a race (replies land well away from the bridge's looks at the line).

Device behaviour per request: replies of every class (both words, one, neither, lower case, NULs
inside, binary, long beyond one read, R numbers of every shape), delays, replies split in two,
silence, replies that come after the timeout, unsolicited noise before the request.
Runtime faults: completion delays, nonzero result codes, reads refused or never completed for a
while, the executor removed and put back while a request waits.

At the end a summary table: requests, faults injected, wrong and lost results, the bridge's
resident memory and open descriptors at start (after a warm-up) and end, and its CPU time (from
/proc). Exit status 0 when every result was right and neither memory nor descriptors grew; 1
otherwise (the first wrong or lost result stops the run, with the console, the device log and the
journal printed); 2 for bad usage; 130 when interrupted. Nothing is left behind: the bridge and
the device are stopped and the scratch folder removed, on Ctrl-C too.

Options:
  --minutes M     how long to run (default 10; fractions allowed)
  --seed N        random seed (default: from the clock, printed, so a run can be repeated)
  --build DIR     build tree with okvbridge and the simulators (default: build/default)
  --progress S    seconds between progress lines (default 30)
"""

import argparse
import os
import random
import signal
import sys
import time

sys.dont_write_bytecode = True  # nothing may land in the source tree
# Started by hand from any folder: the shared package is tests/support/okvsim.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "support"))

from okvsim.console import shown_reply  # noqa: E402
from okvsim.errors import Failure  # noqa: E402
from okvsim.mailbox import READ_LIMIT, REQUEST, expected  # noqa: E402
from okvsim.procs import cpu_seconds, escaped, open_fds, status_kb  # noqa: E402
from okvsim.scenario import Config, Scenario  # noqa: E402
from okvsim.state import fmt_entries, plain  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

RSS_SLACK_KB = 64  # page-granular noise in VmRSS that is not a leak
P_LOOK, R_LOOK = 800, 200  # ms between the bridge's looks at the line
P_LAST, R_LAST = 5600, 5000  # ms after the command of the last look before a timeout
MARGIN = 400  # ms kept between a reply's arrival and any look that could race it
PLAIN = ("device: whole", "device: prompt")  # behaviours that are no fault


# --- replies -------------------------------------------------------------------------------------

def random_bytes(rng, n, nul=True):
    return bytes(rng.randrange(0 if nul else 1, 256) for _ in range(n))


def long_text(rng, n):
    words = [b"Sleep", b"Turning On", b"sleep", b"Turning", b"123", b"-7", b" ", b"xyz"]
    out = b""
    while len(out) < n:
        out += rng.choice(words) + bytes([rng.randrange(0x20, 0x7F)])
    return out[:n]


def p_reply(rng):
    return rng.choice([
        lambda: b"Turning On",
        lambda: b"Sleep",
        lambda: b"Sleep, then Turning On",
        lambda: b"Turning On, then Sleep",
        lambda: b"sleep",
        lambda: b"Turning  On",
        lambda: b"Status: OK\r\n",
        lambda: b"Sle\0ep",
        lambda: b"\0Turning On",
        lambda: b"Sleep\0Turning On",
        lambda: random_bytes(rng, rng.randrange(1, 300)),
        lambda: long_text(rng, rng.randrange(READ_LIMIT - 50, 3000)),
    ])()


def r_reply(rng):
    return rng.choice([
        lambda: b"A123",
        lambda: b"A-5",
        lambda: b"A 42",
        lambda: b"12",
        lambda: b"A",
        lambda: b"A7x9",
        lambda: b"A99999999999",
        lambda: b"x-99999999999",
        lambda: b"A\x0012",
        lambda: b"\x00987",
        lambda: b"R%d" % rng.randrange(-2 ** 31, 2 ** 31),
        lambda: b"B" + b"\t\r\n +" + b"%d" % rng.randrange(0, 10 ** 6),
        lambda: random_bytes(rng, rng.randrange(1, 300)),
        lambda: b"N" + bytes(rng.choice(b"0123456789") for _ in range(rng.randrange(900, 2500))),
    ])()


def off_grid(rng, look, last):
    """A delay that lands a reply midway between two looks at the line, before the last one."""
    top = (last - MARGIN) // look
    k = min(rng.randrange(0, top), rng.randrange(0, top))  # mostly early, as devices are
    return k * look + rng.randrange(int(look * 0.3), int(look * 0.7) + 1)


# --- the soak ------------------------------------------------------------------------------------

class Soak:
    def __init__(self, s, rng, args):
        self.s, self.rng, self.args = s, rng, args
        self.queue = b""  # bytes waiting in the bridge's receive queue, by the model
        self.device_sends = 0  # "-> " lines the device log must show once all is sent
        self.device_state = {"delay": 0, "split": (0, 1000), "silent": False}
        self.requests = {"p": 0, "r": 0}
        self.timeouts = 0
        self.faults = {}
        self.wrong = 0
        self.lost = 0
        self.samples = []  # (time, rss kB, fds, cpu s)
        self.rt_delay = 20
        self.rt_result = 0

    # measurements
    def sample(self):
        pid = self.s.bridge.proc.pid
        self.samples.append((time.monotonic(), status_kb(pid, "VmRSS"), open_fds(pid),
                             cpu_seconds(pid)))
        return self.samples[-1]

    def fault(self, name):
        self.faults[name] = self.faults.get(name, 0) + 1

    def injected(self):
        return sum(n for name, n in self.faults.items() if name not in PLAIN)

    # the device
    def device(self, name, value):
        if self.device_state[name] == value:
            return
        self.device_state[name] = value
        dev = self.s.device
        if name == "delay":
            dev.cmd("delay %d" % value)
        elif name == "split":
            dev.cmd("split %d %d" % value)
        else:
            dev.cmd("silent %s" % ("on" if value else "off"))

    def wait_device(self):
        """Until every byte the device was given has gone out on the line."""
        dev = self.s.device
        deadline = time.monotonic() + 15
        while dev.sends_logged() < self.device_sends:
            if time.monotonic() > deadline:
                raise Failure("device: %d sends expected, %d logged" % (
                    self.device_sends, dev.sends_logged()))
            time.sleep(0.02)

    def plan(self, kind):
        """Sets the device up for one request; answers what the bridge will take and whether it
        times out, and updates the queue model."""
        rng, dev = self.rng, self.s.device
        look, last = (P_LOOK, P_LAST) if kind == "p" else (R_LOOK, R_LAST)
        reply = p_reply(rng) if kind == "p" else r_reply(rng)
        late = last + MARGIN + 100 + self.rt_delay + rng.randrange(0, 1200)
        if self.queue:
            # The first look takes the queue: the reply must be clear of it, one way or the other.
            shape = rng.choice(["silent", "after first look"] + (["prompt"] if kind == "p" else []))
        else:
            shape = rng.choice(["whole"] * 6 + ["split"] * 2 + ["silent", "after timeout"])
        if shape == "split" and len(reply) < 2:
            shape = "whole"

        self.device("split", (0, 1000))
        if shape == "silent":
            self.device("silent", True)
        else:
            self.device("silent", False)
            if shape == "prompt":
                self.device("delay", rng.randrange(0, look - MARGIN))
            elif shape == "after first look":
                self.device("delay", rng.randrange(look + MARGIN, 3000))
            elif shape == "after timeout":
                self.device("delay", late)
            else:
                self.device("delay", off_grid(rng, look, last))
            cut = 0
            if shape == "split":
                cut = rng.randrange(1, len(reply))
                self.device("split", (cut, rng.randrange(look + MARGIN, look + MARGIN + 700)))
            dev.cmd("next %s %s" % (kind, escaped(reply)))
            self.device_sends += 2 if cut else 1

        timed_out = False
        if self.queue:
            available = self.queue + (reply if shape == "prompt" else b"")
            taken, self.queue = available[:READ_LIMIT], available[READ_LIMIT:]
            if shape == "after first look":
                self.queue += reply
        elif shape in ("silent", "after timeout"):
            timed_out, taken = True, b""
            if shape == "after timeout":
                self.queue = reply
        elif shape == "split":
            taken, self.queue = reply[:cut][:READ_LIMIT], reply[:cut][READ_LIMIT:] + reply[cut:]
        else:
            taken, self.queue = reply[:READ_LIMIT], reply[READ_LIMIT:]
        self.fault("device: " + shape)
        return taken, timed_out

    def noise(self):
        data = random_bytes(self.rng, self.rng.randrange(1, 200), nul=self.rng.random() < 0.5)
        self.s.device.cmd("send " + escaped(data))
        self.device_sends += 1
        self.queue += data
        self.fault("device: noise before the request")

    # the runtime
    def runtime_faults(self):
        """Faults for the next request. Answers the ones to lift once the request is in the
        mailbox, after a while."""
        rng, rt = self.rng, self.s.runtime
        self.rt_delay = rng.choice([0, 20, 20, 100, 300])
        rt.delay(self.rt_delay)
        if self.rt_delay != 20:
            self.fault("runtime: completion delay %d ms" % self.rt_delay)
        code = rng.choice([0] * 6 + [1, 5, 200, 255])
        rt.result(code)
        self.rt_result = code
        if code:
            self.fault("runtime: result code")
        window = rng.choice([None] * 6 + ["refuse-read", "never", "executor"])
        if window == "refuse-read":
            rt.refuse_read(rng.choice([0x0001, 0x0006, 0x8001, 0xFFFE, 0xFFFF]))
        elif window == "never":
            rt.never(True)
        elif window == "executor":
            rt.executor(False)
        if window:
            self.fault("runtime: " + {"refuse-read": "reads refused for a while",
                                      "never": "reads never complete for a while",
                                      "executor": "executor removed for a while"}[window])
        return window

    def lift(self):
        rt = self.s.runtime
        time.sleep(self.rng.uniform(0.5, 3.5))
        rt.refuse_read(0)
        rt.never(False)
        rt.executor(True)

    # one request
    def request(self):
        s, rt, rng = self.s, self.s.runtime, self.rng
        kind = rng.choice("pr")
        self.wait_device()
        if rng.random() < 0.1 and len(self.queue) < 2 * READ_LIMIT:
            self.noise()
            self.wait_device()
        window = self.runtime_faults()  # first: a late reply must clear the completion delay
        taken, timed_out = self.plan(kind)
        # A time-out code that the runtime completes with a result code is not taken: written again.
        want = expected(kind, taken, timed_out, posted=self.rt_result == 0)
        rt.set("m1000", REQUEST[kind])
        if window:
            self.lift()
        self.requests[kind] += 1
        self.timeouts += timed_out
        what = "request %d (%s, %r)" % (sum(self.requests.values()), kind, taken[:60])
        try:
            rt.wait_journal(lambda e: len(e) >= len(want) or (
                plain(e) != want[:len(e)]), 30, what)
        except Failure:
            self.lost += 1
            raise
        # Over once the bridge reads the mailbox again; anything written by then counts.
        rt.wait_counter(rt.reads, rt.reads(), 10, "mailbox read after " + what)
        entries = rt.pending()
        if plain(entries) != want:
            self.wrong += 1
            raise Failure("%s: journal %s, expected %s" % (what, fmt_entries(entries), want))
        rt.take(entries)
        try:
            s.console.expect(shown_reply(taken, timed_out), 5)
        except Failure:
            self.wrong += 1
            raise

    # the run
    def run(self, seconds):
        start = time.monotonic()
        self.device_sends = self.s.device.sends_logged()  # the link lines at start
        for _ in range(4):  # warm-up: both transactions, and stdio's buffers, before measuring
            self.request()
        first = self.sample()
        next_progress = time.monotonic() + self.args.progress
        while time.monotonic() - start < seconds:
            self.request()
            if time.monotonic() >= next_progress:
                _, rss, fds, cpu = self.sample()
                print("[%s] requests %d, faults %d, wrong %d, lost %d, RSS %d kB, fds %d, "
                      "CPU %.1f s" % (clock(time.monotonic() - start), sum(self.requests.values()),
                                      self.injected(), self.wrong, self.lost, rss,
                                      fds, cpu), flush=True)
                next_progress += self.args.progress
        self.sample()
        return first


def clock(seconds):
    return "%02d:%02d" % (seconds // 60, seconds % 60)


def summary(soak, first, elapsed, seed):
    last = soak.samples[-1] if soak.samples else None
    rows = [("duration", clock(elapsed)),
            ("seed", str(seed)),
            ("requests", "%d (P %d, R %d; %d timed out)" % (
                sum(soak.requests.values()), soak.requests["p"], soak.requests["r"],
                soak.timeouts)),
            ("faults injected", str(soak.injected()))]
    rows += [("  " + name + (" (no fault)" if name in PLAIN else ""), str(n))
             for name, n in sorted(soak.faults.items())]
    rows += [("wrong results", str(soak.wrong)), ("lost results", str(soak.lost))]
    growth = []
    if first and last:
        rows += [("bridge RSS start / end", "%d kB / %d kB (max %d kB)" % (
                     first[1], last[1], max(x[1] for x in soak.samples))),
                 ("bridge open fds start / end", "%d / %d" % (first[2], last[2])),
                 ("bridge CPU time", "%.1f s (%.1f%% of %s)" % (
                     last[3], 100.0 * last[3] / max(elapsed, 1), clock(elapsed)))]
        if last[1] - first[1] > RSS_SLACK_KB:
            growth.append("RSS grew by %d kB" % (last[1] - first[1]))
        if last[2] != first[2]:
            growth.append("open descriptors went from %d to %d" % (first[2], last[2]))
    width = max(len(r[0]) for r in rows)
    print("\n" + "-" * (width + 40))
    for name, value in rows:
        print("%-*s  %s" % (width, name, value))
    print("-" * (width + 40))
    return growth


def parse(argv):
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--minutes", type=float, default=10.0)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "default"))
    parser.add_argument("--progress", type=float, default=30.0)
    parser.add_argument("--help", "-h", action="store_true")
    try:
        args = parser.parse_args(argv)
    except SystemExit:
        sys.exit(2)
    if args.help:
        try:
            print(__doc__.strip())
        except BrokenPipeError:  # soak.py --help | head
            pass
        sys.exit(0)
    if args.minutes <= 0 or args.progress <= 0:
        sys.stderr.write("soak.py: --minutes and --progress must be positive\n")
        sys.exit(2)
    build = os.path.abspath(args.build)
    paths = {"bridge": os.path.join(build, "okvbridge"),
             "device": os.path.join(build, "sim", "device", "okvsim-device"),
             "tool": os.path.join(build, "sim", "runtime", "okvsim-runtime"),
             "libdir": os.path.join(build, "sim", "runtime")}
    for name, path in paths.items():
        if not os.path.exists(path):
            sys.stderr.write("soak.py: no %s at %s (build first: cmake --build %s)\n" % (
                name, path, args.build))
            sys.exit(2)
    return args, paths


def main(argv):
    args, paths = parse(argv)
    seed = args.seed if args.seed is not None else int(time.time() * 1000) % 10 ** 9
    rng = random.Random(seed)
    config = Config(sum((["--" + k, v] for k, v in paths.items()), []))

    def interrupted(number, frame):
        raise KeyboardInterrupt()
    # Set here, not inherited: a shell that starts the soak in the background ignores SIGINT.
    signal.signal(signal.SIGINT, interrupted)
    signal.signal(signal.SIGTERM, interrupted)

    print("soak: %.1f min, seed %d, bridge %s" % (args.minutes, seed, " ".join(config.bridge_cmd)),
          flush=True)
    s = Scenario(config, "soak")
    soak = Soak(s, rng, args)
    first, status, started = None, 0, time.monotonic()
    try:
        s.start_all()
        first = soak.run(args.minutes * 60)
    except Failure as e:
        print("FAILED: %s" % e)
        s.diagnostics()
        status = 1
    except KeyboardInterrupt:
        print("interrupted")
        status = 130
    finally:
        if first is None and len(soak.samples) > 0:
            first = soak.samples[0]
        if s.bridge is not None and s.bridge.proc.poll() is None and status != 130:
            try:
                soak.sample()
            except OSError:
                pass
        elif s.bridge is not None and s.bridge.proc.poll() is not None:
            print("the bridge ended with status %r" % s.bridge.proc.poll())
            status = status or 1
        s.cleanup()
    growth = summary(soak, first, time.monotonic() - started, seed)
    for line in growth:
        print("FAILED: " + line)
    if status == 0 and (growth or soak.wrong or soak.lost):
        status = 1
    print("soak %s" % ("passed" if status == 0 else "FAILED" if status == 1 else "interrupted"))
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
