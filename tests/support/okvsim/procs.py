"""The processes the tools start and watch: the device simulator, the bridge (natively or under
Wine), their output read with arrival times, the bridge's environment, stopping them, and what
/proc tells of them.
"""

import os
import re
import signal
import subprocess
import tempfile
import threading
import time

from .errors import Failure, check

# What a sanitizer or valgrind writes when it finds a fault in a child. A sanitized bridge that
# reports and goes on (or reports as it is being stopped) must still fail its scenario.
CHILD_FAULT = re.compile(rb"==\d+==ERROR: |WARNING: ThreadSanitizer|: runtime error: |"
                         rb"SUMMARY: \w+Sanitizer|ERROR SUMMARY: [1-9]")

# Every Wine program the tools start: no debug chatter, and no prompt to install Mono or Gecko.
WINE_ENV = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}

# The one script that makes, checks and removes the Wine prefixes of the tests and of the bench.
WINE_PREFIX_SH = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "wine", "wine_prefix.sh")


def short(data, keep=120):
    """repr of bytes, with the middle of a long run left out."""
    if len(data) <= 2 * keep:
        return repr(bytes(data))
    return "%r...(%d bytes)...%r" % (bytes(data[:keep]), len(data), bytes(data[-keep:]))


def windows_path(path):
    """A host path as Windows programs under Wine see it: drive Z: is the host's root in every
    prefix wineboot makes."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def bridge_env(ports, state, libdir, lib_path_var="LD_LIBRARY_PATH", wine_prefix=None):
    """The bridge's environment: its ports folder, the simulated runtime's state file and the
    folder its library search must find the runtime library in (alone: an inherited path must not
    lead it to another library). Under Wine, the prefix and WINEPATH, in Windows names."""
    env = dict(os.environ)
    if wine_prefix:
        env.update(WINE_ENV, WINEPREFIX=wine_prefix)
    env[lib_path_var] = libdir
    env["OKVBRIDGE_PORTS"] = ports
    env["KOLT8_SIM_STATE"] = state
    return env


def wine_prefix(action, prefix, *args, timeout=300):
    """tests/wine/wine_prefix.sh ACTION PREFIX ARGS... (setup, check, server, teardown); a failure
    raises Failure with the script's last words."""
    proc = subprocess.run(["bash", WINE_PREFIX_SH, action, prefix] + list(args),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=timeout)
    if proc.returncode != 0:
        raise Failure("wine_prefix.sh %s failed: %s" % (
            action, (proc.stdout + proc.stderr).strip()[-500:]))


def stop(proc):
    """Ends a child started in a session of its own, with whatever it started."""
    if proc is None or proc.poll() is not None:
        return
    try:
        os.killpg(proc.pid, signal.SIGTERM)
        proc.wait(3)
    except (subprocess.TimeoutExpired, ProcessLookupError, PermissionError):
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        proc.wait(3)


class Output:
    """A child's output read on a thread as bytes, with the arrival time of every chunk.

    A Windows program writes its console through the C runtime's text mode, which turns every LF
    into CR LF; with `crlf` they are turned back as they arrive."""

    def __init__(self, stream, name, crlf=False):
        self.name = name
        self.crlf = crlf
        self.data = bytearray()
        self.chunks = []  # (offset of the chunk's first byte, arrival time)
        self.closed = False
        self.cond = threading.Condition()
        self.cursor = 0
        self.thread = threading.Thread(target=self._pump, args=(stream,), name=name, daemon=True)
        self.thread.start()

    def _pump(self, stream):
        fd = stream.fileno()
        held = b""  # a CR at a chunk's end, whose LF may open the next chunk
        while True:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                chunk = b""
            now = time.monotonic()
            ended = not chunk
            if self.crlf:
                chunk, held = held + chunk, b""
                if chunk.endswith(b"\r") and not ended:
                    chunk, held = chunk[:-1], b"\r"
                chunk = chunk.replace(b"\r\n", b"\n")
            with self.cond:
                if chunk:
                    self.chunks.append((len(self.data), now))
                    self.data += chunk
                if ended:
                    self.closed = True
                self.cond.notify_all()
                if ended:
                    return

    def time_of(self, offset):
        """Arrival time of the byte at `offset`."""
        with self.cond:
            when = None
            for start, t in self.chunks:
                if start > offset:
                    break
                when = t
            return when

    def wait(self, predicate, timeout, what):
        """Waits until predicate(data) answers something other than None; returns that."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                found = predicate(bytes(self.data))
                if found is not None:
                    return found
                left = deadline - time.monotonic()
                if left <= 0 or self.closed:
                    raise Failure("%s: %s not seen within %.1f s%s" % (
                        self.name, what, timeout, " (output closed)" if self.closed else ""))
                self.cond.wait(min(left, 0.5))

    def expect(self, pattern, timeout=10.0):
        """Waits for `pattern` at or after the cursor; moves the cursor past it.
        Answers (offset, arrival time of its last byte)."""
        start = self.cursor
        at = self.wait(lambda d: (lambda k: None if k < 0 else k)(d.find(pattern, start)),
                       timeout, short(pattern))
        self.cursor = at + len(pattern)
        return at, self.time_of(self.cursor - 1)

    def expect_next(self, exact, timeout=10.0):
        """The very next bytes after the cursor must be `exact`: nothing before, nothing else."""
        start = self.cursor

        def settled(d):
            # Done once the bytes are all there, or as soon as those there already differ.
            got = d[start:start + len(exact)]
            return True if len(got) == len(exact) or not exact.startswith(got) else None

        self.wait(settled, timeout, "%d bytes after offset %d (%s)" % (
            len(exact), start, short(exact)))
        got = bytes(self.data[start:start + len(exact)])
        check(got == exact, "%s: expected next %s, got %s" % (self.name, short(exact), short(got)))
        self.cursor = start + len(exact)
        return self.time_of(self.cursor - 1)

    def count(self, pattern, start=0):
        with self.cond:
            return bytes(self.data).count(pattern, start)

    def rest(self):
        with self.cond:
            return bytes(self.data[self.cursor:])


def escaped(data):
    """Bytes as a device command's TEXT: every byte as \\xHH."""
    return "".join("\\x%02X" % b for b in data)


class Device:
    """okvsim-device on COM<n> in the ports folder, driven through its standard input."""

    def __init__(self, exe, ports, com=4, args=()):
        self.proc = subprocess.Popen([exe, "--ports", ports, "--com", str(com)] + list(args),
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, start_new_session=True)
        self.log = Output(self.proc.stdout, "device log")
        self.log.expect(b"ready COM%d -> " % com, timeout=10)

    def cmd(self, line, timeout=5):
        """Sends one command line and waits for its acknowledgement."""
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()
        self.log.expect(b"ok " + line.encode() + b"\n", timeout)

    def commands_seen(self, letter):
        return self.log.count(b" <- %s\n" % letter.encode())

    def sends_logged(self):
        """Lines the device logged for bytes it sent on the line."""
        return self.log.count(b" -> ")

    def stop(self):
        """Ends the device; answers its whole log."""
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        stop(self.proc)
        self.log.thread.join(2)  # the log up to the device's very end
        return bytes(self.log.data)


class Bridge:
    """The bridge started from a command (natively its path; under Wine the loader and the .exe),
    its console read as it comes and its standard error kept in a file of its own."""

    def __init__(self, cmd, env, workdir, crlf=False):
        self.started = time.monotonic()
        # One file per bridge: a scenario that starts several must keep every one's stderr.
        fd, self.stderr_path = tempfile.mkstemp(prefix="bridge-", suffix=".stderr", dir=workdir)
        self.stderr = os.fdopen(fd, "wb")
        self.proc = subprocess.Popen(cmd, env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=self.stderr,
                                     start_new_session=True, cwd=workdir)
        self.console = Output(self.proc.stdout, "bridge console", crlf)

    def wait_exit(self, timeout):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure("bridge still running after %.1f s" % timeout)

    def stderr_text(self):
        try:
            with open(self.stderr_path, "rb") as f:
                return f.read()
        except OSError:
            return b""

    def stop(self):
        """Ends the bridge; answers what it wrote on its standard error."""
        stop(self.proc)
        self.stderr.close()
        return self.stderr_text()


def child_fault(output):
    """A sanitizer's or valgrind's report in a child's output, from its start; b"" when none."""
    found = CHILD_FAULT.search(output)
    if found is None:
        return b""
    # The report starts a line or two before the marker at most.
    start = output.rfind(b"\n", 0, max(0, output.rfind(b"\n", 0, found.start())))
    return output[start + 1:][:6000] + b"\n"


# ---- what /proc tells of a process ---------------------------------------------------------

def thread_cpu_ns(pid):
    """CPU time of each thread of `pid` so far, in ns, from the scheduler's own accounting
    (/proc/PID/task/TID/schedstat): {tid: ns}."""
    times = {}
    task_dir = "/proc/%d/task" % pid
    for tid in os.listdir(task_dir):
        try:
            with open("%s/%s/schedstat" % (task_dir, tid)) as f:
                times[int(tid)] = int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            continue  # a thread that ended meanwhile
    return times


def cpu_seconds(pid, tid=None):
    """CPU time of the whole process so far, or of its thread `tid`, in seconds."""
    times = thread_cpu_ns(pid)
    return (sum(times.values()) if tid is None else times.get(tid, 0)) / 1e9


def run_queue_ns(pid):
    """How long the main thread of `pid` has waited for a processor while it was ready to run,
    in ns (the second field of /proc/PID/schedstat)."""
    with open("/proc/%d/schedstat" % pid) as f:
        return int(f.read().split()[1])


def thread_named(pid, name):
    """The id of the thread of `pid` that is called `name`."""
    for tid in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/comm" % (pid, tid)) as f:
            if f.read().strip() == name:
                return int(tid)
    raise Failure("no %s thread in process %d" % (name, pid))


def status_kb(pid, field):
    """A kB figure of /proc/PID/status: VmRSS, VmHWM, ..."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise Failure("no %s in /proc/%d/status" % (field, pid))


def open_fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def session_process(session, exe):
    """The process in session `session` that runs `exe`: under Wine the loader becomes the .exe's
    process, apart from Wine's own (wineserver, services.exe, ...)."""
    exe = os.path.basename(exe).lower().encode()
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name, "rb") as f:
                stat = f.read()
            with open("/proc/%s/cmdline" % name, "rb") as f:
                args = f.read().lower().split(b"\0")
        except OSError:
            continue
        # The session id is the sixth field, after the parenthesised command name.
        sid = int(stat[stat.rindex(b")") + 2:].split()[3])
        if sid == session and any(a.endswith(exe) for a in args[:2]):
            return int(name)
    return None
