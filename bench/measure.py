"""What the bench measures, all from outside the bridge: the simulated runtime's journals (when each
read and write was submitted, ready and fetched, and the values written), /proc (CPU and memory of
the bridge's process) and its console (start-up to the banner)."""

import collections
import os
import shutil
import statistics
import subprocess
import time

from okvsim import mailbox
from okvsim.console import BANNER
from okvsim.procs import run_queue_ns, status_kb, stop, thread_cpu_ns
from okvsim.state import TYPE_L, TYPE_M

from world import BenchError, pe_bits, say

# The waits the design fixes, in seconds.
CYCLE_S = 1.0
POLL_S = {"p": 0.8, "r": 0.2}

# One completed read or write from the timing journal: wall time of the submit in s; the runtime's
# own time (submit to ready) and the time to the fetch that delivered it, in s after the submit.
Completion = collections.namedtuple("Completion",
                                    "start ready fetched fetches index typ write")


def completion(state, n):
    """Timing journal entry n."""
    submitted_us, ready_us, fetched_us, fetches, index, typ, write = state.timings.entry(n)
    return Completion(submitted_us / 1e6, ready_us / 1e6, fetched_us / 1e6, fetches, index, typ,
                      write)


def cpu_ns(pid):
    """CPU time of every thread of `pid` so far, in ns, and that of the main thread alone."""
    times = thread_cpu_ns(pid)
    return sum(times.values()), times.get(pid, 0)


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
    world.swap_bridge(world.run_cmd())
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
