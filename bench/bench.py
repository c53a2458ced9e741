#!/usr/bin/env python3
"""Measures the real okvbridge between the simulated device and the simulated runtime.

The bridge's timing is fixed by its design: a mailbox read about once a second, a reply polled every
800 ms (P) or 200 ms (R), and for every runtime read or write a completion wait that fetches without
a pause until the runtime has the result. How long the runtime takes is the runtime's. This bench
measures what the bridge adds beyond those waits, what it costs the PC while it waits, and how
steady its cycle stays, and judges only those figures; what the design's busy wait costs is
reported beside the figure the design predicts for it, and not judged. Last, okvbridge-run takes
the bridge's place and idles, for what it costs of its own.

Everything is observed from outside the bridge, through the simulated runtime's state file: its
timing journal (every completed read and write: when it was submitted, when its result was ready
and when the bridge fetched it, to the microsecond) and its journal of completed writes (their
values).

With --exe the same measurement runs against a Windows build, okvbridge.exe, under Wine, with the
simulated kolt8.dll of the same build and the Linux build's device simulator and runtime tool.
"""

import argparse
import collections
import math
import os
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # nothing may land in the source tree

from okvsim import mailbox  # noqa: E402
from okvsim.console import BANNER, INSTALLED  # noqa: E402
from okvsim.errors import Failure  # noqa: E402
from okvsim.procs import (Bridge, Device, bridge_env, run_queue_ns, session_process,  # noqa: E402
                          status_kb, stop, thread_cpu_ns, windows_path)
from okvsim.state import TYPE_L, TYPE_M, State  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WINE_PREFIX_SH = os.path.join(ROOT, "tests", "wine", "wine_prefix.sh")

# The waits the design fixes, in seconds.
CYCLE_S = 1.0
POLL_S = {"p": 0.8, "r": 0.2}

TARGET_OVERHEAD_P99_MS = 5.0
TARGET_PERIOD_MS = (1000.0, 1002.0)  # the cycle period less the runtime's time
TARGET_IDLE_CPU_PERCENT = 0.02  # with a runtime that completes at the first fetch
TARGET_PEAK_RSS_KB = 3 * 1024
# okvbridge-run, which only waits on the bridge and looks at the port every 2 s.
TARGET_RUN_CPU_PERCENT = 0.01
TARGET_RUN_RSS_KB = 2 * 1024

# One completed read or write from the timing journal: wall time of the submit in s; the runtime's
# own time (submit to ready) and the time to the fetch that delivered it, in s after the submit.
Completion = collections.namedtuple("Completion",
                                    "start ready fetched fetches index typ write")


class BenchError(Failure):
    """The bench could not measure: a tool missing, a simulator not starting, a wrong result."""


class Interrupted(Exception):
    pass


def say(text):
    print(text, flush=True)


def percentile(values, p):
    """Nearest-rank percentile of a non-empty list."""
    ordered = sorted(values)
    rank = max(1, math.ceil(p / 100.0 * len(ordered)))
    return ordered[rank - 1]


# ---- the world: simulators and bridge ------------------------------------------------------------


def completion(state, n):
    """Timing journal entry n."""
    submitted_us, ready_us, fetched_us, fetches, index, typ, write = state.timings.entry(n)
    return Completion(submitted_us / 1e6, ready_us / 1e6, fetched_us / 1e6, fetches, index, typ,
                      write)


def cpu_ns(pid):
    """CPU time of every thread of `pid` so far, in ns, and that of the main thread alone."""
    times = thread_cpu_ns(pid)
    return sum(times.values()), times.get(pid, 0)


def own_libraries(bridge):
    """Real paths of the shared libraries the bridge binary brings in by itself."""
    out = subprocess.run(["ldd", bridge], capture_output=True, text=True, timeout=20).stdout
    paths = set()
    for line in out.splitlines():
        for word in line.split():
            if word.startswith("/"):
                paths.add(os.path.realpath(word))
    return paths


def resident_kb_not_the_bridges(pid, bridge):
    """Resident kB of what the runtime library brings into the process rather than the bridge:
    the library itself, the libraries only it needs and the state file it maps."""
    own = own_libraries(bridge) | {os.path.realpath(bridge)}
    foreign = 0
    path = None
    with open("/proc/%d/smaps" % pid) as f:
        for line in f:
            fields = line.split()
            if "-" in fields[0] and len(fields) >= 5:
                path = fields[5] if len(fields) >= 6 and fields[5].startswith("/") else None
                if path is not None:
                    path = os.path.realpath(path)
            elif fields[0] == "Rss:" and path is not None and path not in own:
                foreign += int(fields[1])
    return foreign


class World:
    """A work folder with a ports folder and a state file, the device on COM4, and the native
    bridge."""

    label = "Linux"
    crlf = False

    def __init__(self, paths):
        self.paths = paths
        self.work = tempfile.mkdtemp(prefix="okvbridge-bench.")
        self.ports = os.path.join(self.work, "ports")
        os.mkdir(self.ports)
        self.state = os.path.join(self.work, "runtime.state")
        self.device = self.bridge = self.runtime = None
        self.pid = None  # the process that runs the bridge's code

    def prepare(self):
        pass

    def bridge_cmd(self):
        return [self.paths["bridge"], "4"]

    def run_cmd(self):
        """okvbridge-run for COM4, its log on standard output."""
        return [self.paths["run"], "--log", "-", "--runtime-dir", self.paths["runtime_dir"], "4"]

    def bridge_env(self, ports):
        return bridge_env(ports, self.state, self.paths["runtime_dir"])

    def startup_env(self):
        """The bridge's environment with no COM4 to open."""
        empty = os.path.join(self.work, "no-ports")
        os.makedirs(empty, exist_ok=True)
        return self.bridge_env(empty)

    def baseline_cmd(self):
        """A program that prints one line and ends, started the same way as the bridge."""
        return ["/bin/echo", "banner"], "starting /bin/echo"

    def find_pid(self, exe=None):
        return self.bridge.proc.pid

    def start(self):
        self.runtime = State(self.state, self.paths["tool"], ["executor", "on"])
        self.device = Device(self.paths["device"], self.ports, 4)
        self.bridge = Bridge(self.bridge_cmd(), self.bridge_env(self.ports), self.work, self.crlf)
        self.bridge.console.expect(INSTALLED, 30)
        self.pid = self.find_pid()

    def rss(self):
        """Peak resident kB of the whole process, and the part the bridge is not answerable for
        (None where the two cannot be told apart)."""
        return (status_kb(self.pid, "VmHWM"),
                resident_kb_not_the_bridges(self.pid, self.paths["bridge"]))

    def helpers_cpu_ns(self):
        """CPU of processes outside the bridge's that serve it (none natively)."""
        return None

    def close(self):
        # A second Ctrl-C must not cut the clean-up short.
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(signum, signal.SIG_IGN)
        for child in (self.bridge, self.device):
            if child is not None:
                child.stop()
        if self.runtime is not None:
            self.runtime.close()
        self.finish()
        shutil.rmtree(self.work, ignore_errors=True)

    def finish(self):
        pass


def pe_bits(path):
    """32 or 64 from a PE image's machine field."""
    with open(path, "rb") as f:
        head = f.read(4096)
    if head[:2] != b"MZ":
        raise BenchError("%s is not a Windows executable" % path)
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    if head[pe:pe + 4] != b"PE\0\0":
        raise BenchError("%s is not a Windows executable" % path)
    machine = struct.unpack_from("<H", head, pe + 4)[0]
    if machine not in (0x14C, 0x8664):
        raise BenchError("%s: machine 0x%x is neither i386 nor x86-64" % (path, machine))
    return 32 if machine == 0x14C else 64


class WineWorld(World):
    """The same world around okvbridge.exe under Wine, in a prefix of the bench's own beside the
    build (its COM4 the device simulator's pseudo-terminal), with the build's simulated
    kolt8.dll."""

    crlf = True

    def __init__(self, paths):
        World.__init__(self, paths)
        self.wine = paths["wine"]
        self.prefix = paths["prefix"]
        self.ports = os.path.join(self.prefix, "ports")
        self.label = "Wine, win%d build" % pe_bits(paths["bridge"])

    def prefix_tool(self, *args):
        proc = subprocess.run(["bash", WINE_PREFIX_SH] + list(args), stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=300)
        if proc.returncode != 0:
            raise BenchError("wine_prefix.sh %s failed: %s" % (
                args[0], (proc.stdout + proc.stderr).strip()[-500:]))

    def prepare(self):
        say("== preparing the Wine prefix %s" % self.prefix)
        self.prefix_tool("setup", self.prefix, self.wine)
        self.prefix_tool("check", self.prefix, "4", self.wine)
        # A link left by an interrupted run would give the start-up runs a port to open.
        link = os.path.join(self.ports, "COM4")
        if os.path.islink(link):
            os.unlink(link)

    def bridge_cmd(self):
        return [self.wine, self.paths["bridge"], "4"]

    def run_cmd(self):
        return [self.wine, self.paths["run"], "--log", "-", "--runtime-dir",
                windows_path(self.paths["runtime_dir"]), "4"]

    def bridge_env(self, ports):
        # The simulated kolt8.dll turns the state file's Linux path into Wine's name for it.
        return bridge_env(ports, self.state, windows_path(self.paths["runtime_dir"]), "WINEPATH",
                          self.prefix)

    def startup_env(self):
        # The prefix's COM4 leads to PREFIX/ports/COM4, which is not there until the device runs.
        return self.bridge_env(self.ports)

    def baseline_cmd(self):
        return [self.wine, "cmd", "/c", "echo", "banner"], "starting cmd /c echo under Wine"

    def find_pid(self, exe=None):
        """The Linux process that runs the .exe (the bridge's unless told): Wine's loader becomes
        it, in the session the bench started; Wine's own processes (wineserver, services.exe, ...)
        are not it."""
        exe = exe or self.paths["bridge"]
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            pid = session_process(self.bridge.proc.pid, exe)
            if pid is not None:
                return pid
            time.sleep(0.1)
        raise BenchError("no process running %s in the bridge's session" % os.path.basename(exe))

    def wineserver_pid(self):
        """The prefix's wineserver: its working folder is named after the prefix's device and
        inode numbers."""
        st = os.stat(self.prefix)
        want = "server-%x-%x" % (st.st_dev, st.st_ino)
        for name in os.listdir("/proc"):
            if not name.isdigit():
                continue
            try:
                if os.path.basename(os.readlink("/proc/%s/cwd" % name)) == want:
                    with open("/proc/%s/comm" % name) as f:
                        if f.read().startswith("wineserver"):  # wineserver64 too
                            return int(name)
            except OSError:
                continue
        return None

    def rss(self):
        return status_kb(self.pid, "VmHWM"), None

    def helpers_cpu_ns(self):
        pid = self.wineserver_pid()
        return cpu_ns(pid)[0] if pid is not None else None

    def finish(self):
        try:
            self.prefix_tool("teardown", self.prefix, self.wine)
        except (BenchError, OSError, subprocess.SubprocessError) as e:
            print("bench.py: %s" % e, file=sys.stderr)


# ---- watching the bridge from the runtime's side ---------------------------------------------------


class Watch:
    """Follows the timing journal (every completed read and write) and the journal of writes.

    Every time comes from the journals, so the bench looks at them only every 20 ms or so and
    stays out of the bridge's way; the next request is due a second after a result anyway.
    """

    def __init__(self, world):
        self.world = world
        self.rt = world.runtime
        self.wseq = self.rt.journal.last()
        self.tseq = self.rt.timings.last()

    def alive(self):
        code = self.world.bridge.proc.poll()
        if code is not None:
            raise BenchError("the bridge ended with code %d; its console: %r" % (
                code, bytes(self.world.bridge.console.data[-600:])))

    def _follow(self, ring, seq_attr, get, n, timeout, what, poll_s):
        out = []
        deadline = time.monotonic() + timeout
        while len(out) < n:
            if ring.last() > getattr(self, seq_attr):
                setattr(self, seq_attr, getattr(self, seq_attr) + 1)
                out.append(get(getattr(self, seq_attr)))
                continue
            if time.monotonic() > deadline:
                self.alive()
                raise BenchError("only %d of %d %s within %.0f s: %r" % (
                    len(out), n, what, timeout, out))
            time.sleep(poll_s)
        return out

    def completions(self, n, timeout, poll_s=0.02):
        """The next n completed reads and writes."""
        return self._follow(self.rt.timings, "tseq", lambda n: completion(self.rt, n), n, timeout,
                            "completions", poll_s)

    def writes(self, n, timeout):
        """The next n journal entries (completed writes with their values)."""
        return self._follow(self.rt.journal, "wseq", self.rt.write_entry, n, timeout,
                            "mailbox writes", 0.005)

    def mailbox_read(self, timeout, poll_s=0.02):
        c = self.completions(1, timeout, poll_s)[0]
        if (c.write, c.typ, c.index) != (0, TYPE_M, 1000):
            raise BenchError("expected a read of m1000, the runtime completed %r" % (c,))
        return c

    def unexpected_writes(self):
        return self.rt.journal.last() - self.wseq


# ---- the measurements ----------------------------------------------------------------------------


def strip_tool(bridge):
    """The strip that understands the bridge binary."""
    if not bridge.lower().endswith(".exe"):
        return shutil.which("strip")
    return shutil.which("%s-w64-mingw32-strip" % ("x86_64" if pe_bits(bridge) == 64 else "i686"))


def measure_sizes(paths, work):
    bridge = paths["bridge"]
    stripped = os.path.join(work, "okvbridge.stripped")
    size = {"unstripped": os.path.getsize(bridge), "stripped": None}
    strip = strip_tool(bridge)
    if strip:
        subprocess.run([strip, "-o", stripped, bridge], check=True)
        size["stripped"] = os.path.getsize(stripped)
        os.unlink(stripped)
    return size


def first_line_time(cmd, env, cwd):
    """Seconds from just before the process is started to its first complete console line."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, start_new_session=True, cwd=cwd)
    try:
        line = proc.stdout.readline()
        took = time.perf_counter() - start
        proc.stdout.read()
        proc.wait(30)
    finally:
        stop(proc)
        proc.stdout.close()
    return took, line


def measure_startup(world, runs):
    """The bridge started with no COM4 to open: it prints its banner, finds no port and ends at
    once (no key is waited for with standard input at its end). A program that only prints a
    line, started the same way, shows what starting any process costs here."""
    env = world.startup_env()
    baseline, baseline_what = world.baseline_cmd()
    bridge, other = [], []
    for _ in range(runs):
        took, line = first_line_time(world.bridge_cmd(), env, world.work)
        if not line.startswith(BANNER.rstrip(b"\n")):
            raise BenchError("the bridge's first line is %r, not its banner" % line)
        bridge.append(took * 1000)
        took, _ = first_line_time(baseline, env, world.work)
        other.append(took * 1000)
    return {"median": statistics.median(bridge), "max": max(bridge),
            "baseline_median": statistics.median(other), "baseline": baseline_what}


def idle_phase(watch, seconds, progress_s, label):
    """Leaves the mailbox at 0 and follows every read: the cycle period, the runtime's time in
    each cycle (the read's completion; the probe has none), and the CPU the bridge uses."""
    world = watch.world
    pid = world.pid
    reads = [watch.mailbox_read(10, poll_s=0.05)]
    cpu0, main0 = cpu_ns(pid)
    helpers0 = world.helpers_cpu_ns()
    t_cpu0 = time.monotonic()
    shown = time.monotonic()
    end = reads[0].start + seconds
    while reads[-1].start < end:
        reads.append(watch.mailbox_read(CYCLE_S + 6 + 2 * reads[-1].ready, poll_s=0.05))
        if time.monotonic() - shown >= progress_s:
            shown = time.monotonic()
            cpu, _ = cpu_ns(pid)
            periods = [(b.start - a.start) * 1000 for a, b in zip(reads, reads[1:])]
            say("  %s %5.0f / %.0f s: %d cycles, median period %.2f ms, CPU %.4f%% of a core" % (
                label, reads[-1].start - reads[0].start, seconds, len(periods),
                statistics.median(periods), (cpu - cpu0) / 1e7 / (time.monotonic() - t_cpu0)))
    cpu1, main1 = cpu_ns(pid)
    helpers1 = world.helpers_cpu_ns()
    wall = time.monotonic() - t_cpu0
    if watch.unexpected_writes():
        raise BenchError("the bridge wrote to the mailbox while it held 0")
    pairs = list(zip(reads, reads[1:]))
    return {
        "periods": [(b.start - a.start) * 1000 for a, b in pairs],
        # What the runtime took in each cycle: the completion of that cycle's read.
        "runtime_ms": [a.ready * 1000 for a, _ in pairs],
        "fetch_lag_us": [(c.fetched - c.ready) * 1e6 for c in reads],
        "first_fetch": sum(1 for c in reads if c.fetches == 1), "reads": len(reads),
        "span_s": reads[-1].start - reads[0].start,
        "cpu_percent": (cpu1 - cpu0) / 1e7 / wall,
        "watcher_cpu_percent": ((cpu1 - main1) - (cpu0 - main0)) / 1e7 / wall,
        "cpu_ms_per_cycle": (cpu1 - cpu0) / 1e6 / max(1, len(pairs)),
        "helpers_cpu_percent": (None if helpers0 is None or helpers1 is None
                                else (helpers1 - helpers0) / 1e7 / wall),
    }


def run_phase(world, seconds):
    """okvbridge-run in the bridge's place, in the same world, left idle while the bridge it
    started cycles: the CPU of okvbridge-run's own process over the phase, and its resident
    memory at the end. The bridge under it costs what the figures above say."""
    world.bridge.stop()
    world.bridge = Bridge(world.run_cmd(), world.bridge_env(world.ports), world.work, world.crlf)
    world.bridge.console.expect(INSTALLED, 30)
    world.pid = world.find_pid(world.paths["run"])
    jiffies0 = cpu_jiffies()
    idle = idle_phase(Watch(world), seconds, progress_s=15, label="okvbridge-run")
    idle["hwm_kb"] = status_kb(world.pid, "VmHWM")
    idle["rss_kb"] = status_kb(world.pid, "VmRSS")
    idle["load"] = load_text(jiffies0, cpu_jiffies(), idle["cpu_percent"],
                             "okvbridge-run's phase", "okvbridge-run", 4)
    return idle


def expect_shape(kind, read, ack, results):
    shape = [(c.write, c.typ, c.index) for c in [read, ack] + results]
    want = [(0, TYPE_M, 1000), (1, TYPE_M, 1000)] + (
        [(1, TYPE_M, 1000)] if kind == "p" else [(1, TYPE_L, 1000), (1, TYPE_M, 1000)])
    if shape != want:
        raise BenchError("request %s: the runtime completed %r, expected (write, type, index) %r"
                         % (kind.upper(), shape, want))


def request_phase(watch, kinds, label, progress_every):
    """Plays the application: writes each request as soon as the previous result is there (or,
    for the first, just after a mailbox read), so that every request waits one cycle and no more.
    Answers the overhead of each request beyond the waits the design fixes and the runtime's own
    time, and what the requests cost in CPU."""
    rt = watch.rt
    pid = watch.world.pid
    delay_s = rt.delay() / 1000.0
    # A read reports the value the mailbox holds at its completion: the first request is written
    # once a read has completed, so that it waits for the next cycle like the others.
    last = watch.mailbox_read(CYCLE_S + 6 + 2 * delay_s)
    time.sleep(max(0.0, last.start + last.fetched + 0.05 - time.time()))
    cpu0, _ = cpu_ns(pid)
    t0 = time.monotonic()
    rows = []
    calls = 0
    for i, kind in enumerate(kinds):
        waited0 = run_queue_ns(pid)
        rt.set("m1000", mailbox.REQUEST[kind])
        n_results = 1 if kind == "p" else 2
        timeout = CYCLE_S + POLL_S[kind] + (2 + n_results) * (delay_s + 1) + 8
        done = watch.completions(2 + n_results, timeout)
        read, ack, results = done[0], done[1], done[2:]
        expect_shape(kind, read, ack, results)
        written = watch.writes(1 + n_results, 5)
        got = [(ref, value) for ref, value, _, _ in written]
        expected = mailbox.expected(kind, mailbox.DEFAULT_REPLY[kind])
        if got != expected:
            raise BenchError("request %s: the bridge wrote %r, expected %r" % (
                kind.upper(), got, expected))
        t_ack = ack.start + ack.fetched
        t_result = results[-1].start + results[-1].fetched
        # From the read's submit to the acknowledgement's completion, less what the runtime took
        # for the read and for the acknowledgement: what remains is the bridge's.
        ack_ms = (t_ack - read.start - read.ready - ack.ready) * 1000
        # After the acknowledgement the bridge sends the command and sleeps one poll interval (the
        # device answers at once, so the first poll finds the reply); then one completed write for
        # P, two for R (l1000, then m1000).
        result_ms = (t_result - t_ack - POLL_S[kind] - sum(c.ready for c in results)) * 1000
        rows.append({"kind": kind, "ack_ms": ack_ms, "result_ms": result_ms,
                     "total_ms": (t_result - read.start) * 1000,
                     # The machine's part of a slow request: the bridge ready to run, and not
                     # running (from the request's write to its result, the wake-up included).
                     "run_queue_ms": (run_queue_ns(pid) - waited0) / 1e6})
        calls += len(done)
        if progress_every and (i + 1) % progress_every == 0:
            say("  %s: %d / %d requests, acknowledgement overhead median %.2f ms, result "
                "overhead median %.2f ms" % (label, i + 1, len(kinds),
                                             statistics.median(r["ack_ms"] for r in rows),
                                             statistics.median(r["result_ms"] for r in rows)))
    # The request phase ends at the last result; the bridge's CPU is taken there too.
    cpu1, _ = cpu_ns(pid)
    return {"rows": rows, "cpu_ms_per_request": (cpu1 - cpu0) / 1e6 / len(kinds),
            "calls_per_request": calls / len(kinds), "delay_ms": delay_s * 1000,
            "seconds": time.monotonic() - t0}


# ---- report ------------------------------------------------------------------------------------


def stats(values):
    return {"median": statistics.median(values), "p99": percentile(values, 99), "max": max(values),
            "min": min(values), "mean": statistics.fmean(values), "n": len(values)}


def cpu_jiffies():
    """The machine's CPU time so far from /proc/stat: (busy, steal, total) in clock ticks."""
    with open("/proc/stat") as f:
        user, nice, system, idle, iowait, irq, softirq, steal = (
            int(v) for v in f.readline().split()[1:9])
    total = user + nice + system + idle + iowait + irq + softirq + steal
    return total - idle - iowait - steal, steal, total


def load_text(start, end, bridge_percent, during, who, digits=1):
    """How busy the whole machine was between two cpu_jiffies() readings: the bridge's figures
    are only as good as the machine was quiet."""
    busy, steal, total = (b - a for a, b in zip(start, end))
    cores = os.cpu_count() or 1
    return ("CPU in use on the whole machine during %s: %.1f %% of %d cores, of which %s %.*f %% "
            "of one core; stolen by the hypervisor: %.2f %%" % (
                during, 100.0 * busy / max(1, total), cores, who, digits, bridge_percent,
                100.0 * steal / max(1, total)))


def machine_text(world, loads):
    lines = ["nproc: %s" % os.cpu_count()] + loads
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, timeout=10).stdout
        keep = ("Architecture", "Model name", "CPU(s)", "Thread(s) per core", "CPU max MHz",
                "Hypervisor vendor")
        lines += [l.strip() for l in out.splitlines() if l.split(":")[0].strip() in keep]
    except (OSError, subprocess.SubprocessError):
        pass
    if isinstance(world, WineWorld):
        try:
            out = subprocess.run([world.wine, "--version"], capture_output=True, text=True,
                                 timeout=30, env=world.bridge_env(world.ports)).stdout
            lines.append("Wine: %s" % out.strip())
        except (OSError, subprocess.SubprocessError):
            pass
    try:
        with open("/proc/loadavg") as f:
            lines.append("load average at the end: %s" % " ".join(f.read().split()[:3]))
    except OSError:
        pass
    return lines


def in_period_target(value):
    return TARGET_PERIOD_MS[0] <= value <= TARGET_PERIOD_MS[1]


def design_cpu_row(label, measured_ms, delay_ms, calls, unit, period_ms=None):
    """The busy wait's cost beside what the design predicts: it fetches for as long as the
    runtime takes, so each runtime call costs one completion delay of CPU."""
    predicted_ms = delay_ms * calls
    if period_ms is None:
        return (label, "%.3f ms %s; the design predicts %.1f ms (%d ms x %.2f runtime calls)" % (
            measured_ms, unit, predicted_ms, delay_ms, calls))
    return (label, "%.4f %% of a core (%.3f ms %s); the design predicts %.4f %% (%d ms x %.2f "
            "runtime calls per cycle of %.1f ms)" % (
                measured_ms / period_ms * 100, measured_ms, unit,
                predicted_ms / period_ms * 100, delay_ms, calls, period_ms))


def build_report(r, world):
    ack = stats([x["ack_ms"] for x in r["requests"]["rows"]])
    res = stats([x["result_ms"] for x in r["requests"]["rows"]])
    cyc = r["cycle"]
    periods = cyc["periods"]
    adjusted = [p - t for p, t in zip(periods, cyc["runtime_ms"])]
    per, adj, rt_ms = stats(periods), stats(adjusted), stats(cyc["runtime_ms"])
    n = len(periods)
    tenth = max(1, n // 10)
    early, late = statistics.median(adjusted[:tenth]), statistics.median(adjusted[-tenth:])
    # Drift of the bridge's own part: how far the reads would fall behind a 1 s clock over the
    # run if the runtime took no time, and whether the period moves from the first tenth to the
    # last. The mean and both tenths must stay within the period target.
    lag_ms = sum(adjusted) - 1000.0 * n
    drift_worst = max((adj["mean"], early, late), key=lambda v: abs(v - sum(TARGET_PERIOD_MS) / 2))
    idle = r["idle"]
    rss_kb, foreign_kb = r["rss"]
    checks = [
        ("request overhead p99, acknowledgement", ack["p99"], "< %.0f ms" % TARGET_OVERHEAD_P99_MS,
         ack["p99"] < TARGET_OVERHEAD_P99_MS),
        ("request overhead p99, result", res["p99"], "< %.0f ms" % TARGET_OVERHEAD_P99_MS,
         res["p99"] < TARGET_OVERHEAD_P99_MS),
        ("cycle period less the runtime's time, median", adj["median"],
         "%.0f to %.0f ms" % TARGET_PERIOD_MS, in_period_target(adj["median"])),
        ("cycle period less the runtime's time, over the run (mean, first and last tenth)",
         drift_worst, "each %.0f to %.0f ms" % TARGET_PERIOD_MS,
         all(in_period_target(v) for v in (adj["mean"], early, late))),
        ("CPU while idle with a runtime that completes at the first fetch", idle["cpu_percent"],
         "< %.2f %% of a core" % TARGET_IDLE_CPU_PERCENT,
         idle["cpu_percent"] < TARGET_IDLE_CPU_PERCENT),
    ]
    if foreign_kb is not None:
        own_kb = rss_kb - foreign_kb
        checks.append(("peak resident memory, the bridge's own", own_kb,
                       "< %d kB" % TARGET_PEAK_RSS_KB, own_kb < TARGET_PEAK_RSS_KB))
    run = r.get("run")
    judge_run = run is not None and not isinstance(world, WineWorld)
    if judge_run:
        run_check = len(checks)
        checks += [("okvbridge-run's own CPU while idle", run["cpu_percent"],
                    "< %.2f %% of a core" % TARGET_RUN_CPU_PERCENT,
                    run["cpu_percent"] < TARGET_RUN_CPU_PERCENT),
                   ("okvbridge-run's peak resident memory", run["hwm_kb"],
                    "< %d kB" % TARGET_RUN_RSS_KB, run["hwm_kb"] < TARGET_RUN_RSS_KB)]
    L = []
    L.append("| Figure | Value | Target |")
    L.append("|---|---|---|")

    def row(name, value, target=""):
        L.append("| %s | %s | %s |" % (name, value, target))

    def mark(i):
        return ("met: " if checks[i][3] else "**MISSED**: ") + checks[i][2]

    nreq = ack["n"]
    row("request → acknowledgement, beyond cycle and the runtime's time (%d requests)" % nreq,
        "median %.3f ms, p99 %.3f ms, max %.3f ms" % (ack["median"], ack["p99"], ack["max"]),
        mark(0))
    row("device reply → result, beyond poll interval and the runtime's time (%d requests)" % nreq,
        "median %.3f ms, p99 %.3f ms, max %.3f ms" % (res["median"], res["p99"], res["max"]),
        mark(1))
    slow = [x for x in r["requests"]["rows"] if max(x["ack_ms"], x["result_ms"]) >= 1.0]
    queue = stats([x["run_queue_ms"] for x in r["requests"]["rows"]])
    row("the bridge's main thread waiting for a processor, per request (its cycle's wake-up "
        "included)",
        "median %.3f ms, p99 %.3f ms, max %.3f ms; the %d requests with an overhead of 1 ms or "
        "more waited %.1f ms in all (their overheads: %.1f ms)" % (
            queue["median"], queue["p99"], queue["max"], len(slow),
            sum(x["run_queue_ms"] for x in slow),
            sum(max(0.0, x["ack_ms"]) + max(0.0, x["result_ms"]) for x in slow)))
    row("cycle period, read to read (%d cycles, %.1f min, completion delay %d ms)" % (
        n, cyc["span_s"] / 60, r["delay_ms"]),
        "median %.2f ms, p99 %.2f ms, min %.2f ms, max %.2f ms" % (
            per["median"], per["p99"], per["min"], per["max"]))
    row("the runtime's time in each cycle, from its timing journal",
        "median %.3f ms, min %.3f ms, max %.3f ms" % (rt_ms["median"], rt_ms["min"],
                                                       rt_ms["max"]))
    row("cycle period less the runtime's time",
        "median %.2f ms, p99 %.2f ms, min %.2f ms, max %.2f ms" % (
            adj["median"], adj["p99"], adj["min"], adj["max"]), mark(2))
    row("the same over the run: mean; first and last tenth (median)",
        "%.2f ms (%+.1f s per hour against a 1 s clock); %.2f ms, %.2f ms" % (
            adj["mean"], lag_ms / 1000 / max(1e-9, cyc["span_s"]) * 3600, early, late), mark(3))
    lag = stats(cyc["fetch_lag_us"])
    row("completion fetched after the runtime had it ready (%d reads)" % lag["n"],
        "median %.1f µs, p99 %.1f µs, max %.1f µs" % (lag["median"], lag["p99"], lag["max"]))
    row("CPU while idle with a runtime that completes at the first fetch (all threads, %.1f min)"
        % (idle["span_s"] / 60),
        "%.4f %% of a core (%.3f ms per cycle; %d of %d reads completed at the first fetch)" % (
            idle["cpu_percent"], idle["cpu_ms_per_cycle"], idle["first_fetch"], idle["reads"]),
        mark(4))
    row("of which the receive watcher", "%.4f %% of a core" % idle["watcher_cpu_percent"])
    if idle["helpers_cpu_percent"] is not None:
        row("the prefix's wineserver meanwhile (Wine's, not the bridge's)",
            "%.4f %% of a core" % idle["helpers_cpu_percent"])
    design = [design_cpu_row(
        "the design's busy wait: CPU while idle, completion delay %d ms" % r["delay_ms"],
        cyc["cpu_ms_per_cycle"], r["delay_ms"], 1.0, "per cycle", per["mean"])]
    for key in ("requests", "slow"):
        q = r[key]
        design.append(design_cpu_row(
            "the design's busy wait: CPU per request, completion delay %d ms (%d requests)" % (
                q["delay_ms"], len(q["rows"])),
            q["cpu_ms_per_request"], q["delay_ms"], q["calls_per_request"], "per request"))
    for name, value in design:
        row(name, value, "reported, not judged")
    if foreign_kb is not None:
        row("peak resident memory, whole process (VmHWM)", "%d kB" % rss_kb)
        row("of which the simulated runtime library and what only it loads", "%d kB" % foreign_kb)
        row("peak resident memory, the bridge's own", "%d kB" % (rss_kb - foreign_kb), mark(5))
    else:
        row("peak resident memory, whole process with Wine's loader and DLLs (VmHWM)",
            "%d kB" % rss_kb, "not judged: Wine's share cannot be told from the bridge's")
    size = r["size"]
    row("binary size", "%d bytes unstripped, %s stripped" % (
        size["unstripped"], "%d bytes" % size["stripped"] if size["stripped"] else "(no strip)"))
    st = r["startup"]
    row("start-up to the banner (%d runs)" % r["startup_runs"],
        "median %.2f ms, max %.2f ms (%s: %.2f ms)" % (
            st["median"], st["max"], st["baseline"], st["baseline_median"]))
    if run is not None:
        wine = "not judged: Wine's share cannot be told from okvbridge-run's"
        row("okvbridge-run's own CPU while idle, the bridge it started cycling (all its threads, "
            "%.1f min, %d cycles)" % (run["span_s"] / 60, run["reads"] - 1),
            "%.5f %% of a core (%.4f ms per cycle)" % (run["cpu_percent"],
                                                       run["cpu_ms_per_cycle"]),
            mark(run_check) if judge_run else wine)
        row("okvbridge-run's resident memory at the end: peak (VmHWM); now (VmRSS)",
            "%d kB; %d kB" % (run["hwm_kb"], run["rss_kb"]),
            mark(run_check + 1) if judge_run else wine)
    return "\n".join(L) + "\n", checks


def plot(rows, out_png, work, label):
    """The distribution of the per-request overhead, as cumulative curves; gnuplot draws it."""
    gnuplot = shutil.which("gnuplot")
    if gnuplot is None:
        return "gnuplot not found (apt-get install gnuplot-nox): no plot, the table stands"
    # gnuplot lists its terminals on stderr; pngcairo draws better, png is there without cairo.
    listed = subprocess.run([gnuplot, "-e", "set terminal"], capture_output=True, timeout=30)
    terminal = ("set terminal pngcairo size 900,560 font 'sans,10'"
                if b"pngcairo" in listed.stdout + listed.stderr else "set terminal png size 900,560")
    data = os.path.join(work, "overhead.dat")
    every = [x[key] for x in rows for key in ("ack_ms", "result_ms")]
    low, high = min(every), max(every)
    series = [("ack_ms", "p", "P: request → acknowledgement"),
              ("ack_ms", "r", "R: request → acknowledgement"),
              ("result_ms", "p", "P: reply → result"),
              ("result_ms", "r", "R: reply → result")]
    with open(data, "w") as f:
        for key, kind, _ in series:
            values = sorted(x[key] for x in rows if x["kind"] == kind)
            for i, v in enumerate(values):
                f.write("%.4f %.5f\n" % (v, (i + 1) / len(values)))
            f.write("\n\n")
    plots = ", ".join("'%s' index %d using 1:2 with steps lw 2 title '%s'" % (data, i, title)
                      for i, (_, _, title) in enumerate(series))
    script = "\n".join([
        terminal,
        "set output '%s'" % out_png,
        "set title 'okvbridge (%s): overhead per request beyond the waits of the design and the "
        "runtime'" % label,
        "set xlabel 'overhead (ms)'",
        "set ylabel 'fraction of requests at or below'",
        "set yrange [0:1.02]",
        "set xrange [%g:%g]" % (min(0, math.floor(low)), max(TARGET_OVERHEAD_P99_MS + 1,
                                                                math.ceil(high))),
        "set grid",
        "set key outside below",
        "set arrow from %g, graph 0 to %g, graph 1 nohead dt 2 lc rgb 'red'" % (
            TARGET_OVERHEAD_P99_MS, TARGET_OVERHEAD_P99_MS),
        "set label 'target p99' at %g, graph 0.5 offset 0.5,0 textcolor rgb 'red'" % (
            TARGET_OVERHEAD_P99_MS),
        "plot " + plots, ""])
    proc = subprocess.run([gnuplot], input=script.encode(), capture_output=True, timeout=60)
    os.unlink(data)
    if proc.returncode != 0:
        return "gnuplot failed: %s" % proc.stderr.decode(errors="replace").strip()[:300]
    return None


# ---- main --------------------------------------------------------------------------------------


def find_paths(build, build_missing, exe):
    paths = {"bridge": os.path.join(build, "okvbridge"),
             "run": os.path.join(build, "okvbridge-run"),
             "device": os.path.join(build, "sim", "device", "okvsim-device"),
             "tool": os.path.join(build, "sim", "runtime", "okvsim-runtime"),
             "runtime_dir": os.path.join(build, "sim", "runtime")}
    needed = [paths["device"], paths["tool"]]
    if exe is None:
        needed += [paths["bridge"], paths["run"],
                   os.path.join(paths["runtime_dir"], "libkolt8.so")]
    if not all(os.path.exists(p) for p in needed):
        default = os.path.abspath(build) == os.path.join(ROOT, "build", "default")
        if not build_missing or not (default or
                                     os.path.exists(os.path.join(build, "CMakeCache.txt"))):
            raise BenchError("missing in %s: %s" % (build, ", ".join(
                os.path.basename(p) for p in needed if not os.path.exists(p))))
        say("== building the bridge and the simulators into %s" % build)
        if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
            subprocess.run(["cmake", "--preset", "default"], cwd=ROOT, check=True,
                           stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", build, "-j2", "--target", "okvbridge",
                        "okvbridge-run", "okvsim-device", "okvsim-runtime", "kolt8sim"],
                       check=True, stdout=subprocess.DEVNULL)
    if exe is None:
        return paths
    # The Windows build: okvbridge.exe, and the simulated kolt8.dll of the same build tree.
    exe = os.path.abspath(exe)
    exe_build = os.path.dirname(exe)
    paths["bridge"] = exe
    paths["run"] = os.path.join(exe_build, "okvbridge-run.exe")
    paths["runtime_dir"] = os.path.join(exe_build, "sim", "runtime")
    paths["prefix"] = os.path.join(exe_build, "wineprefix-bench")
    paths["wine"] = shutil.which("wine")
    for path in (exe, paths["run"]):
        if not os.path.isfile(path):
            raise BenchError("no %s at %s" % (os.path.basename(path), path))
    if not os.path.isfile(os.path.join(paths["runtime_dir"], "kolt8.dll")):
        raise BenchError("no simulated kolt8.dll in %s (build the Windows tree: cmake --build "
                         "--preset win64, or win32)" % paths["runtime_dir"])
    if paths["wine"] is None:
        raise BenchError("wine is not installed (apt-get install wine wine64, and wine32:i386 "
                         "for the win32 build)")
    return paths


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="bench/bench.py",
        description="Runs the real okvbridge between the simulated device and runtime and measures "
        "what it adds beyond the waits of its design and the runtime's own time: the overhead of "
        "each request, the cycle period less the runtime's time and its drift, its CPU time idle "
        "and per request, its peak memory, binary size and start-up time. Prints a Markdown "
        "table, writes it with a PNG plot of the per-request overhead, and exits 1 when a target "
        "is missed (request overhead p99 < 5 ms; cycle period less the runtime's time 1000..1002 "
        "ms at the median, in the mean and in the first and last tenth of the run; idle CPU with a "
        "runtime that completes at the first fetch < 0.02 % of a core; the bridge's own peak RSS "
        "< 3 MB, natively). Last, okvbridge-run takes the bridge's place and idles: its own CPU "
        "(< 0.01 % of a core) and peak RSS (< 2 MB) are judged natively. The busy wait's CPU at "
        "the runtime's completion delays is reported beside the design's prediction, not judged. "
        "Builds what is missing into build/default. A full run takes about 22 minutes; nothing "
        "is left running, also on Ctrl-C.",
        epilog="Exit codes: 0 every target met (or --no-enforce), 1 a target missed, 2 bad usage, "
        "3 the bench could not measure, 130 interrupted.")
    p.add_argument("--minutes", type=float, default=10.0,
                   help="length of the idle phase that times the cycle at the runtime's "
                   "completion delay (default 10)")
    p.add_argument("--cpu-minutes", type=float, default=3.0,
                   help="length of the idle phase that measures the CPU with a runtime that "
                   "completes at the first fetch (default 3)")
    p.add_argument("--requests", type=int, default=200,
                   help="requests timed at the runtime's completion delay, half P and "
                   "half R (default 200)")
    p.add_argument("--runtime-delay", type=int, default=None, metavar="MS",
                   help="completion delay of the simulated runtime for the cycle phase and the "
                   "timed requests (default: the simulator's own, 20 ms); models a faster or "
                   "slower runtime")
    p.add_argument("--slow-requests", type=int, default=6,
                   help="requests at the slow completion delay, for their CPU time (default 6)")
    p.add_argument("--slow-delay", type=int, default=900,
                   help="the slow completion delay in ms (default 900)")
    p.add_argument("--startup-runs", type=int, default=20,
                   help="starts timed to the banner (default 20)")
    p.add_argument("--run-minutes", type=float, default=2.0,
                   help="length of the last phase, okvbridge-run idle in the bridge's place, "
                   "for okvbridge-run's own CPU and memory; 0 leaves it out (default 2)")
    p.add_argument("--build", default=os.environ.get("OKV_BUILD_DIR",
                                                     os.path.join(ROOT, "build", "default")),
                   help="Linux build tree holding okvbridge and the simulators (default "
                   "build/default, or $OKV_BUILD_DIR); built when missing only if it is "
                   "build/default. With --exe only its simulators are used")
    p.add_argument("--exe", metavar="PATH", default=None,
                   help="measure this okvbridge.exe under Wine instead (e.g. "
                   "build/win64/okvbridge.exe), with the kolt8.dll of its build tree, in a Wine "
                   "prefix of the bench's own there (wineprefix-bench)")
    p.add_argument("--out", default=None,
                   help="folder for report.md, overhead.png and the samples (default "
                   "build/bench-report, or build/bench-report-wine-win32 / -win64 with --exe)")
    p.add_argument("--no-enforce", action="store_true",
                   help="report the targets but exit 0 when one is missed (for a quick smoke run)")
    args = p.parse_args(argv)
    if args.minutes <= 0 or args.cpu_minutes <= 0 or args.requests < 2 \
            or args.slow_requests < 1 or args.startup_runs < 1 or args.slow_delay < 0 \
            or args.run_minutes < 0 \
            or (args.runtime_delay is not None and args.runtime_delay < 0):
        p.error("--minutes and --cpu-minutes must be > 0, --requests >= 2, --slow-requests and "
                "--startup-runs >= 1, delays and --run-minutes >= 0")
    return args


def on_signal(signum, frame):
    raise Interrupted()


def write_outputs(args, r, table, machine, world):
    os.makedirs(args.out, exist_ok=True)
    png = os.path.join(args.out, "overhead.png")
    problem = plot(r["requests"]["rows"], png, world.work, world.label)
    with open(os.path.join(args.out, "report.md"), "w") as f:
        f.write("# okvbridge bench, %s: %s\n\n" % (
            world.label, time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())))
        f.write("Command: `bench/bench.py %s`\n\n" % " ".join(sys.argv[1:]))
        f.write(table)
        f.write("\n" + "\n".join("    " + l for l in machine) + "\n")
        if problem is None:
            f.write("\n![overhead per request](overhead.png)\n")
    with open(os.path.join(args.out, "requests.csv"), "w") as f:
        f.write("kind,ack_overhead_ms,result_overhead_ms,read_to_result_ms,run_queue_ms\n")
        for x in r["requests"]["rows"]:
            f.write("%s,%.4f,%.4f,%.3f,%.3f\n" % (x["kind"], x["ack_ms"], x["result_ms"],
                                                  x["total_ms"], x["run_queue_ms"]))
    with open(os.path.join(args.out, "cycles.csv"), "w") as f:
        f.write("period_ms,runtime_ms\n" + "".join("%.4f,%.4f\n" % pair for pair in zip(
            r["cycle"]["periods"], r["cycle"]["runtime_ms"])))
    return png, problem


def run(args):
    if not sys.platform.startswith("linux"):
        raise BenchError("the bench runs on Linux only (it reads /proc)")
    build = os.path.abspath(args.build)
    paths = find_paths(build, build_missing=True, exe=args.exe)
    world = WineWorld(paths) if args.exe else World(paths)
    if args.out is None:
        args.out = os.path.join(ROOT, "build", "bench-report" + (
            "" if args.exe is None else "-wine-win%d" % pe_bits(paths["bridge"])))
    try:
        r = {"startup_runs": args.startup_runs}
        jiffies0, t_run0 = cpu_jiffies(), time.monotonic()
        say("== okvbridge bench (%s): %s; work folder %s" % (world.label, paths["bridge"],
                                                             world.work))
        world.prepare()
        r["size"] = measure_sizes(paths, world.work)
        say("== start-up to the banner, %d runs" % args.startup_runs)
        r["startup"] = measure_startup(world, args.startup_runs)
        say("== starting the simulated device, the simulated runtime and the bridge")
        world.start()
        if args.runtime_delay is not None:
            world.runtime.delay(args.runtime_delay)
        r["delay_ms"] = world.runtime.delay()
        watch = Watch(world)
        say("== idle with an executor for %.1f min, completion delay %d ms: the cycle" % (
            args.minutes, r["delay_ms"]))
        r["cycle"] = idle_phase(watch, args.minutes * 60, progress_s=15, label="cycle")
        say("== idle for %.1f min with a runtime that completes at the first fetch: the CPU" % (
            args.cpu_minutes))
        world.runtime.delay(0)
        watch.mailbox_read(10)  # the read under way may still have been made at the old delay
        r["idle"] = idle_phase(watch, args.cpu_minutes * 60, progress_s=15, label="idle")
        world.runtime.delay(r["delay_ms"])
        kinds = ["p" if i % 2 == 0 else "r" for i in range(args.requests)]
        say("== %d requests, P and R in turn, completion delay %d ms (about %.0f s)" % (
            args.requests, r["delay_ms"], args.requests * 1.6))
        r["requests"] = request_phase(watch, kinds, "requests", progress_every=20)
        say("== %d requests with a completion delay of %d ms (about %.0f s)" % (
            args.slow_requests, args.slow_delay, args.slow_requests * (1.6 + 3.5 *
                                                                         args.slow_delay / 1000)))
        world.runtime.delay(args.slow_delay)
        slow_kinds = ["p" if i % 2 == 0 else "r" for i in range(args.slow_requests)]
        r["slow"] = request_phase(watch, slow_kinds, "slow", progress_every=2)
        world.runtime.delay(r["delay_ms"])
        r["rss"] = world.rss()
        watch.alive()
        # The machine's load while the bridge ran alone; okvbridge-run's phase has its own line.
        bridge_percent = cpu_ns(world.pid)[0] / 1e7 / (time.monotonic() - t_run0)
        jiffies1 = cpu_jiffies()
        if args.run_minutes > 0:
            say("== okvbridge-run idle for %.1f min, its bridge cycling with a runtime that "
                "completes at the first fetch: okvbridge-run's own cost" % args.run_minutes)
            world.runtime.delay(0)
            r["run"] = run_phase(world, args.run_minutes * 60)
        table, checks = build_report(r, world)
        loads = [load_text(jiffies0, jiffies1, bridge_percent, "the bridge's phases",
                           "the bridge")]
        if "run" in r:
            loads.append(r["run"]["load"])
        machine = machine_text(world, loads)
        png, problem = write_outputs(args, r, table, machine, world)
        say("")
        say("%s, %s" % (world.label, time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())))
        say(table)
        say("\n".join(machine))
        say("plot: %s" % (png if problem is None else problem))
        say("report: %s" % os.path.join(args.out, "report.md"))
        missed = [c for c in checks if not c[3]]
        for name, value, target, _ in missed:
            say("target missed: %s is %.3f, target %s" % (name, value, target))
        if not missed:
            say("every target met")
        return 1 if missed and not args.no_enforce else 0
    finally:
        world.close()


def main(argv):
    args = parse_args(argv)
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, on_signal)
    try:
        return run(args)
    except Interrupted:
        print("bench.py: interrupted; everything it started is stopped", file=sys.stderr)
        return 130
    except (BenchError, OSError, subprocess.SubprocessError) as e:
        print("bench.py: %s" % e, file=sys.stderr)
        return 3


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
