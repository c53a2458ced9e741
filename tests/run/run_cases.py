#!/usr/bin/env python3
"""Runs one case of okvbridge-run by name: the real supervisor and the real bridge beside it,
against the simulated device and runtime.

    run_cases.py NAME --run PATH --device PATH --tool PATH --libdir DIR
    run_cases.py --list

Under Wine the environment gives the Windows command (OKV_RUN_CMD, "wine .../okvbridge-run.exe")
and the rest as for the end-to-end scenarios (see okvsim/scenario.py). Exit status 0 when the
case held, 1 when it did not, 2 for a bad name.
"""

import glob
import os
import re
import shlex
import signal
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # nothing may land in the source tree
# Started by hand from any folder: the shared package is tests/support/okvsim.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "support"))

from okvsim import console  # noqa: E402
from okvsim.errors import Failure, check  # noqa: E402
from okvsim.procs import Bridge, session_process, windows_path  # noqa: E402
from okvsim.scenario import run_named  # noqa: E402
from okvsim.state import plain  # noqa: E402

STAMP = rb"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}"
LINE = re.compile(rb"^(" + STAMP + rb") ([>#]) (.*)$")
POLL_S = 0.05


class Supervisor:
    """okvbridge-run started with its log in the scenario's folder, read back from the files."""

    def __init__(self, s, args=(), log=None):
        self.s = s
        env = os.environ.get("OKV_RUN_CMD")
        self.cmd = shlex.split(env) if env else [s.config.options["run"]]
        self.windows = s.config.windows
        self.log = log or os.path.join(s.tmp, "okv.log")
        # Under Wine the runtime library is found in the bridge's working folder, as on a plant PC.
        runtime = s.config.libdir if self.windows else s.tmp
        self.proc = Bridge(self.cmd + ["--runtime-dir", runtime, "--log", self.shown(self.log)] +
                           list(args), s.bridge_env(), s.tmp, s.config.console_crlf)
        s.children.append(self.proc)

    def shown(self, path):
        return windows_path(path) if self.windows else path

    @property
    def pid(self):
        """The supervisor's own process (under Wine the .exe's, apart from Wine's)."""
        if not self.windows:
            return self.proc.proc.pid
        found = session_process(self.proc.proc.pid, "okvbridge-run.exe")
        return found if found is not None else self.proc.proc.pid

    def files(self):
        """The log files, oldest first: FILE.N ... FILE.1, FILE."""
        olds = glob.glob(self.log + ".*")
        olds.sort(key=lambda p: -int(p.rsplit(".", 1)[1]))
        return olds + ([self.log] if os.path.exists(self.log) else [])

    def lines(self):
        """Every message of the log, oldest first, as (stamp, kind, text). A line without a stamp
        goes on the message before it: a reply with line feeds in it, kept as the bridge wrote it
        (CR LF from a Windows bridge, made LF here)."""
        for _ in range(100):
            try:
                texts = []
                for path in self.files():
                    with open(path, "rb") as f:
                        texts.append((path, f.read().replace(b"\r\n", b"\n")))
                break
            except FileNotFoundError:
                # A rotation renamed a file between the listing and its reading: list again.
                time.sleep(0.01)
        else:
            raise Failure("the log files kept changing under the reading: %s" % self.files())
        found = []
        for path, data in texts:
            for raw in data.split(b"\n")[:-1]:
                m = LINE.match(raw)
                if m is not None:
                    found.append((m.group(1), m.group(2), m.group(3)))
                else:
                    check(found and found[-1][1] == b">", "unstamped line in %s: %r" % (path, raw))
                    found[-1] = (found[-1][0], found[-1][1], found[-1][2] + b"\n" + raw)
        return found

    def wait(self, kind, pattern, timeout, after=0):
        """Waits for a line of `kind` (b">" bridge, b"#" own) matching the regex `pattern` at or
        after index `after`; answers its index."""
        deadline = time.monotonic() + timeout
        while True:
            lines = self.lines()
            for i in range(after, len(lines)):
                if lines[i][1] == kind and re.search(pattern, lines[i][2]):
                    return i
            if time.monotonic() >= deadline:
                raise Failure("log: %s %r not seen within %.1f s; log:\n%s" % (
                    kind.decode(), pattern, timeout, self.text()))
            time.sleep(POLL_S)

    def text(self):
        out = []
        for path in self.files():
            with open(path, "rb") as f:
                out.append("== %s\n%s" % (path, f.read().decode("latin-1")))
        return "".join(out)

    def bridge_pid(self):
        """The running bridge's process: the one that runs the bridge with this scenario's runtime
        state in its environment (Wine starts a program without a console in a session of its
        own, so the session does not tell)."""
        exe = b"okvbridge.exe" if self.windows else b"okvbridge"
        mark = b"KOLT8_SIM_STATE=" + self.s.state_path.encode() + b"\0"
        for name in os.listdir("/proc"):
            if not name.isdigit():
                continue
            try:
                with open("/proc/%s/cmdline" % name, "rb") as f:
                    args = f.read().split(b"\0")
                with open("/proc/%s/environ" % name, "rb") as f:
                    env = f.read()
            except OSError:
                continue
            if any(a.lower().endswith(exe) for a in args[:2]) and mark in env:
                return int(name)
        return None

    def serving(self, timeout=15, after=0):
        """Waits until a bridge started after line `after` reads the mailbox."""
        i = self.wait(b">", re.escape(console.INSTALLED.rstrip(b"\n")) + b"$", timeout, after)
        rt = self.s.runtime
        rt.wait_counter(rt.reads, rt.reads(), 5, "mailbox read")
        return i


def wait_gone(pid, timeout, what):
    deadline = time.monotonic() + timeout
    while os.path.exists("/proc/%d" % pid):
        try:
            with open("/proc/%d/stat" % pid) as f:
                if f.read().split(")")[-1].split()[0] == "Z":
                    return  # ended, not yet reaped by its parent
        except OSError:
            return
        if time.monotonic() >= deadline:
            raise Failure("%s (process %d) still running after %.1f s" % (what, pid, timeout))
        time.sleep(POLL_S)


def interrupt_and_end(sup, timeout=15):
    """Ctrl-C to the supervisor (SIGINT; Wine hands it to the console handler); answers its exit
    code."""
    os.kill(sup.pid, signal.SIGINT)
    try:
        return sup.proc.proc.wait(timeout)
    except subprocess.TimeoutExpired:
        raise Failure("okvbridge-run still running %.0f s after Ctrl-C; log:\n%s" % (
            timeout, sup.text()))


CASES = {}


def case(fn):
    CASES[fn.__name__] = fn
    return fn


@case
def late_port(s):
    """The port appears only after the start: the bridge ends, the log names "no such port", the
    bridge is started again and then serves a P."""
    s.start_runtime()
    sup = Supervisor(s)
    sup.wait(b">", re.escape(console.PORT_ERROR.rstrip(b"\n")) + b"$", 15)
    ended = sup.wait(b"#", rb"^bridge ended after .*: exit code (-1|255 \(-1\))$", 10)
    # Wine opens a COM name whose link leads nowhere and then refuses the line settings: the check
    # words that "not a serial port", where Windows and Linux find no such port.
    reason = rb"(no such port|not a serial port)" if s.config.windows else rb"no such port"
    sup.wait(b"#", rb"^port COM4: .*COM4: " + reason, 10, ended)
    sup.wait(b"#", rb"^starting it again in 2 s$", 10, ended)
    s.start_device()
    sup.serving(20, ended)
    s.request("p", [("m1000", 2), ("m1000", 4)])
    check(len([l for l in sup.lines() if l[2] == console.BANNER.rstrip(b"\n")]) >= 2,
          "the bridge was not started again")


@case
def replug(s):
    """The adapter pulled out and plugged back with a P under way: that P ends with a posted code,
    the bridge is restarted between exchanges, and the next P is served on the new device."""
    s.start_runtime()
    s.start_device()
    sup = Supervisor(s)
    sup.serving()
    s.request("p", [("m1000", 2), ("m1000", 4)])
    first = sup.bridge_pid()
    s.device.cmd("unplug")
    gone = sup.wait(b"#", rb"^port COM4 gone: ", 10)
    rt = s.runtime
    rt.set("m1000", 1)  # the application asks while the adapter is out
    rt.wait_journal(lambda e: ("m1000", 2) in plain(e), 5, "the bridge's acknowledgement")
    s.device.cmd("plug")
    back = sup.wait(b"#", rb"^port COM4 back: ", 10, gone)
    restart = sup.wait(b"#", rb"^restarting the bridge", 15, back)
    started = sup.wait(b"#", rb"^bridge started ", 10, restart)
    lines = sup.lines()
    check(lines[restart - 1][2] == b"[]" and lines[restart - 2][2] == b"Com timeout",
          "restart not right after the timed-out exchange's reply: %r" % lines[restart - 3:restart])
    sup.serving(15, started)
    # The P made during the replug was answered with its time-out code, not left at 2.
    entries = plain(rt.pending())
    check(entries[:2] == [("m1000", 2), ("m1000", 5)] and rt.get("m1000") == 5,
          "P during the replug: journal %s, m1000 = %d" % (entries, rt.get("m1000")))
    rt.take(rt.pending())
    s.request("p", [("m1000", 2), ("m1000", 4)])
    check(sup.bridge_pid() not in (None, first), "the bridge serving the P is not a new one")
    served = sup.wait(b">", rb"^\[Turning On\]$", 5, started)
    for stamp, kind, text in sup.lines()[gone - 1:served + 1]:
        print("  %s %s %s" % (stamp.decode(), kind.decode(), text.decode("latin-1")))


@case
def rotation(s):
    """A log rotated at a tiny size: across all its files the bridge's lines are exactly the
    messages it printed, in order, each stamped, none lost."""
    s.start_runtime()
    # A reply with a bracket and a line feed of its own.
    s.start_device(["--p", "On]x\\n[y"])
    sup = Supervisor(s, ["--log-size", "120", "--log-files", "500"])
    sup.serving()
    s.request("p", [("m1000", 2), ("m1000", 5)])
    s.device.cmd("p Sleep")
    s.request("p", [("m1000", 2), ("m1000", 3)])
    s.request("r", [("m1000", 7), ("l1000", 123), ("m1000", 8)])
    rt = s.runtime
    # Every write refused: the l1000 write's error line follows the reply at once.
    rt.refuse_write(0x1234)
    rt.set("m1000", 6)
    sup.wait(b">", rb"^Erreur 1234 \xe0 l'\xe9criture de l1000$", 15)
    rt.set("m1000", 0)
    rt.refuse_write(0)
    check(interrupt_and_end(sup) == 0, "exit code after Ctrl-C")
    lines = sup.lines()
    bridge = [text for _, kind, text in lines if kind == b">"]
    expected = [console.BANNER, console.CONNECTING, console.CONNECTED, console.INSTALLED,
                b"[On]x\n[y]", b"[Sleep]", b"[A123]", console.write_error(0x1234, "m1000"),
                b"[A123]", console.write_error(0x1234, "l1000")]
    expected = [e.rstrip(b"\n") for e in expected]
    check(bridge == expected, "bridge lines across the files:\n  %s\nexpected:\n  %s" % (
        bridge, expected))
    stamps = [stamp for stamp, _, _ in lines]
    check(stamps == sorted(stamps), "stamps out of order")
    files = sup.files()
    check(len(files) >= 5, "only %d log files at 120 bytes each" % len(files))
    for path in files:
        with open(path, "rb") as f:
            data = f.read()
        # A file holds one line at least, after the note that it continues the one before.
        stamped = len([l for l in data.split(b"\n") if LINE.match(l.rstrip(b"\r"))])
        check(len(data) <= 120 or stamped <= 2, "%s: %d bytes" % (path, len(data)))


@case
def killed(s):
    """okvbridge-run killed outright (SIGKILL): the bridge it started ends with it."""
    s.start_runtime()
    s.start_device()
    sup = Supervisor(s)
    sup.serving()
    bridge = sup.bridge_pid()
    check(bridge is not None, "no bridge found in okvbridge-run's session")
    os.kill(sup.pid, signal.SIGKILL)
    wait_gone(bridge, 10, "the bridge after okvbridge-run was killed")


@case
def interrupted(s):
    """Ctrl-C (SIGINT) ends the bridge and okvbridge-run, exit code 0, the end logged."""
    s.start_runtime()
    s.start_device()
    sup = Supervisor(s)
    sup.serving()
    bridge = sup.bridge_pid()
    check(interrupt_and_end(sup) == 0, "exit code after Ctrl-C")
    wait_gone(bridge, 5, "the bridge after Ctrl-C")
    sup.wait(b"#", rb"^stop requested", 1)
    sup.wait(b"#", rb"^okvbridge-run ends$", 1)


@case
def bridge_crash(s):
    """The bridge killed from outside: its end is logged with how it ended, it is started again
    and serves a P."""
    s.start_runtime()
    s.start_device()
    sup = Supervisor(s)
    sup.serving()
    bridge = sup.bridge_pid()
    os.kill(bridge, signal.SIGKILL)
    ended = sup.wait(b"#", rb"^bridge ended after .*: (killed by signal 9|exit code)", 10)
    sup.wait(b"#", rb"^starting it again in 2 s$", 5, ended)
    sup.serving(15, ended)
    s.request("p", [("m1000", 2), ("m1000", 4)])


@case
def log_unwritable(s):
    """A log that cannot be written: its lines go to the console, nothing stops, and once it can
    be written again it says how many lines only the console has."""
    s.start_runtime()
    s.start_device()
    folder = os.path.join(s.tmp, "later")
    sup = Supervisor(s, log=os.path.join(folder, "okv.log"))
    c = sup.proc.console
    c.expect(b"# log: ", 15)
    c.expect(b" > " + console.INSTALLED, 15)
    os.mkdir(folder)
    s.request("p", [("m1000", 2), ("m1000", 4)])
    i = sup.wait(b"#", rb"^log: written again; [1-9][0-9]* lines went to the console only", 10)
    sup.wait(b">", rb"^\[Turning On\]$", 5, i)
    check(c.count(b"> [Turning On]") == 0, "the reply went to the console as well")


@case
def one_per_port(s):
    """A second okvbridge-run for the same port says so and exits 1; bad usage exits 2 with one
    line."""
    s.start_runtime()
    s.start_device()
    sup = Supervisor(s)
    sup.serving()
    second = subprocess.run(sup.cmd + ["4"], env=s.bridge_env(), cwd=s.tmp, capture_output=True,
                            stdin=subprocess.DEVNULL, timeout=30)
    check(second.returncode == 1 and b"already serves COM4" in second.stderr,
          "second okvbridge-run: %d %r" % (second.returncode, second.stderr))
    for args in (["--log-size", "0"], ["4", "5"], ["--bogus"], ["COMX"], ["--log"]):
        bad = subprocess.run(sup.cmd + args, env=s.bridge_env(), cwd=s.tmp, capture_output=True,
                             stdin=subprocess.DEVNULL, timeout=30)
        err = bad.stderr.replace(b"\r\n", b"\n")
        check(bad.returncode == 2 and err.count(b"\n") == 1 and err.startswith(b"okvbridge-run: "),
              "%s: exit %d, %r" % (args, bad.returncode, bad.stderr))


def main():
    return run_named(CASES, sys.argv[1:], __doc__, "run_cases.py")


if __name__ == "__main__":
    sys.exit(main())
