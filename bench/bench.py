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

This file is the command line and the order of the phases; beside it:

    world     the simulators and the bridge, natively or under Wine, set up through the tests'
              harness (tests/support/okvsim)
    measure   the phases, and what they read from the runtime's journals and from /proc
    figures   the targets and the statistics they are judged by
    report    the table, the machine it ran on, and the files written
    plot      the overhead per request, drawn by gnuplot
"""

import argparse
import os
import signal
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # nothing may land in the source tree
# Started by hand from any folder: the shared package is tests/support/okvsim, the bench's own
# modules sit beside this file.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "tests",
                                "support"))

from okvsim.errors import Failure  # noqa: E402

from measure import (cpu_jiffies, cpu_ns, idle_phase, load_text, measure_sizes,  # noqa: E402
                     measure_startup, request_phase, run_phase, Watch)
from report import build_report, machine_text, write_outputs  # noqa: E402
from world import (ROOT, BenchError, Interrupted, WineWorld, World, find_paths,  # noqa: E402
                   pe_bits, say)


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
    except (Failure, OSError, subprocess.SubprocessError) as e:  # BenchError among them
        print("bench.py: %s" % e, file=sys.stderr)
        return 3


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
