"""The end-to-end harness: the real okvbridge between the simulated device and the simulated runtime.

Every scenario gets a folder of its own (ports folder, runtime state file), a device on COM4 there, a
runtime state it can read and change through the state file's documented layout, and a bridge whose
console is read byte by byte with arrival times. Everything waits for events with deadlines; nothing
sleeps blindly. Whatever happens, the processes are killed and the folder removed.

The bridge is started from a command list, not a path, so that the same scenarios can drive a
Windows build under Wine: OKV_BRIDGE_CMD="wine /path/okvbridge.exe" replaces the native binary, and
OKV_LIB_PATH_VAR names the variable that points the bridge at the runtime library's folder.
"""

import mmap
import os
import re
import shlex
import shutil
import struct
import subprocess
import sys
import tempfile
import textwrap
import threading
import time

# The runtime state file, as its README lays it out.
STATE_SIZE = 206384
OFF_EXECUTOR = 16
OFF_DELAY = 20
OFF_NEVER = 24
OFF_RESULT = 28
OFF_REFUSE_READ = 32
OFF_REFUSE_WRITE = 36
OFF_READS = 48
OFF_WRITES = 56
OFF_FETCHES = 64
OFF_PROBES = 72
OFF_MALFORMED = 80
OFF_LAST_SEQ = 96
OFF_JOURNAL = 256
JOURNAL_SLOTS = 256
ENTRY_WAIT_S = 2.0  # longest a counted journal entry may take to be filled in
JOURNAL_ENTRY = 32
OFF_VARIABLES = 16384
# letter -> (type code, start, struct format)
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

POLL_S = 0.005  # how often shared memory is looked at while waiting for a change

# What a sanitizer or valgrind writes when it finds a fault in a child. A sanitized bridge that
# reports and goes on (or reports as it is being stopped) must still fail its scenario.
CHILD_FAULT = re.compile(rb"==\d+==ERROR: |WARNING: ThreadSanitizer|: runtime error: |"
                         rb"SUMMARY: \w+Sanitizer|ERROR SUMMARY: [1-9]")


def short(data, keep=120):
    """repr of bytes, with the middle of a long run left out."""
    if len(data) <= 2 * keep:
        return repr(bytes(data))
    return "%r...(%d bytes)...%r" % (bytes(data[:keep]), len(data), bytes(data[-keep:]))


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def check_between(value, low, high, what):
    check(low <= value <= high, "%s: %.3f s, expected %.3f..%.3f s" % (what, value, low, high))


class Config:
    """Where the binaries are: command-line options, each overridable from the environment."""

    def __init__(self, argv):
        opts = {}
        rest = []
        i = 0
        while i < len(argv):
            if argv[i].startswith("--") and i + 1 < len(argv):
                opts[argv[i][2:]] = argv[i + 1]
                i += 2
            else:
                rest.append(argv[i])
                i += 1
        self.names = rest
        env = os.environ
        bridge_cmd = env.get("OKV_BRIDGE_CMD")
        self.bridge_cmd = shlex.split(bridge_cmd) if bridge_cmd else [opts.get("bridge", "okvbridge")]
        self.device = env.get("OKV_DEVICE", opts.get("device", "okvsim-device"))
        self.tool = env.get("OKV_RUNTIME_TOOL", opts.get("tool", "okvsim-runtime"))
        self.libdir = env.get("OKV_RUNTIME_DIR", opts.get("libdir", ""))
        self.noentry_dir = env.get("OKV_NOENTRY_DIR", opts.get("noentry-dir", ""))
        self.tls_dir = env.get("OKV_TLS_DIR", opts.get("tls-dir", ""))
        # The simulated runtime's folder as this host sees it, for scenarios that copy the library;
        # under Wine the bridge is given Windows paths (drive Z: is the host's root).
        self.runtime_host_dir = env.get("OKV_RUNTIME_HOST_DIR", self.libdir)
        self.lib_path_var = env.get("OKV_LIB_PATH_VAR", "LD_LIBRARY_PATH")
        # A fixed ports folder (for a port layer that does not read OKVBRIDGE_PORTS); by default
        # every scenario has its own, so that scenarios run side by side.
        self.ports_dir = env.get("OKV_PORTS_DIR", "")
        # A Windows bridge writes its console through the C runtime's text mode, which turns every
        # LF into CR LF; with OKV_CONSOLE_CRLF=1 the harness turns them back before comparing.
        self.console_crlf = env.get("OKV_CONSOLE_CRLF", "") == "1"

    def library_folder(self, host_dir):
        """A folder of this host in the form the bridge's library search takes."""
        if self.lib_path_var != "WINEPATH":
            return host_dir
        return "Z:" + os.path.abspath(host_dir).replace("/", "\\")


class Output:
    """A child's output read on a thread as bytes, with the arrival time of every chunk."""

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


class Runtime:
    """The simulated runtime's state file, mapped: knobs, counters, variables and the journal."""

    def __init__(self, path, tool):
        self.path = path
        subprocess.run([tool, "reset"], env=dict(os.environ, KOLT8_SIM_STATE=path), check=True,
                       stdout=subprocess.DEVNULL, timeout=20)
        with open(path, "r+b") as f:
            self.map = mmap.mmap(f.fileno(), STATE_SIZE)
        check(self.map[0:4] == b"K8SM", "state file without its magic")
        self.journal_cursor = self.last_seq()

    def _u32(self, off, value=None):
        if value is None:
            return struct.unpack_from("<I", self.map, off)[0]
        struct.pack_into("<I", self.map, off, value & 0xFFFFFFFF)

    def _u64(self, off):
        return struct.unpack_from("<Q", self.map, off)[0]

    # knobs
    def executor(self, on):
        self._u32(OFF_EXECUTOR, 1 if on else 0)

    def delay(self, ms):
        self._u32(OFF_DELAY, ms)

    def never(self, on):
        self._u32(OFF_NEVER, 1 if on else 0)

    def result(self, code):
        self._u32(OFF_RESULT, code)

    def refuse_read(self, word):
        self._u32(OFF_REFUSE_READ, word)

    def refuse_write(self, word):
        self._u32(OFF_REFUSE_WRITE, word)

    # counters
    def reads(self):
        return self._u64(OFF_READS)

    def writes(self):
        return self._u64(OFF_WRITES)

    def probes(self):
        return self._u64(OFF_PROBES)

    def counters(self):
        return {name: self._u64(off) for name, off in (
            ("reads", OFF_READS), ("writes", OFF_WRITES), ("fetches", OFF_FETCHES),
            ("probes", OFF_PROBES), ("malformed", OFF_MALFORMED))}

    # variables
    def _var(self, ref):
        code, start, fmt = VAR_TYPES[ref[0].lower()]
        index = int(ref[1:])
        return OFF_VARIABLES + start + index * struct.calcsize(fmt), fmt

    def get(self, ref):
        off, fmt = self._var(ref)
        return struct.unpack_from(fmt, self.map, off)[0]

    def set(self, ref, value):
        """What the application does: store the variable directly."""
        off, fmt = self._var(ref)
        struct.pack_into(fmt, self.map, off, value)

    # journal
    def last_seq(self):
        return self._u64(OFF_LAST_SEQ)

    def entry(self, n):
        """Journal entry n as (ref, value, result, time in s), or None while it is being written."""
        off = OFF_JOURNAL + (n - 1) % JOURNAL_SLOTS * JOURNAL_ENTRY
        seq, t_us, value, index, typ, result = struct.unpack_from("<QQiHBB", self.map, off)
        if seq != n or self._u64(off) != n:
            return None
        return ("%s%d" % (TYPE_LETTERS[typ] if typ < 8 else "?", index), value, result, t_us / 1e6)

    def journal_since(self, seq):
        out = []
        for n in range(seq + 1, self.last_seq() + 1):
            # The writer counts an entry before it fills the slot; preempted in between (a loaded
            # machine, a sanitizer build) it can take many milliseconds to finish.
            deadline = time.monotonic() + ENTRY_WAIT_S
            while True:
                check(self.last_seq() - n < JOURNAL_SLOTS, "journal entry %d overwritten" % n)
                e = self.entry(n)
                if e is not None or time.monotonic() >= deadline:
                    break
                time.sleep(0.0005)
            check(e is not None, "journal entry %d still unwritten after %.0f s" % (n, ENTRY_WAIT_S))
            out.append(e)
        return out

    def pending(self):
        """Journal entries not yet taken by a scenario."""
        return self.journal_since(self.journal_cursor)

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

    def take(self, entries):
        """Marks `entries` (a prefix of pending()) as seen."""
        self.journal_cursor += len(entries)

    def wait_counter(self, getter, above, timeout, what):
        deadline = time.monotonic() + timeout
        while getter() <= above:
            if time.monotonic() >= deadline:
                raise Failure("%s: no change within %.1f s" % (what, timeout))
            time.sleep(POLL_S)
        return time.monotonic()

    def close(self):
        try:
            self.map.close()
        except (BufferError, ValueError):
            pass


def fmt_entries(entries):
    return "[" + ", ".join("%s=%d%s" % (r, v, "" if res == 0 else " (result %d)" % res)
                           for r, v, res, _ in entries) + "]"


def plain(entries):
    """Journal entries without their result codes and times, for comparison."""
    return [(r, v) for r, v, _, _ in entries]


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


class Bridge:
    def __init__(self, config, env, args=(), workdir=None):
        self.started = time.monotonic()
        # One file per bridge: a scenario that starts several must keep every one's stderr.
        fd, self.stderr_path = tempfile.mkstemp(prefix="bridge-", suffix=".stderr", dir=workdir)
        self.stderr = os.fdopen(fd, "wb")
        self.proc = subprocess.Popen(config.bridge_cmd + list(args), env=env,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=self.stderr, start_new_session=True, cwd=workdir)
        self.console = Output(self.proc.stdout, "bridge console", config.console_crlf)

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


def stop(proc):
    if proc is None or proc.poll() is not None:
        return
    try:
        os.killpg(proc.pid, 15)
        proc.wait(3)
    except (subprocess.TimeoutExpired, ProcessLookupError, PermissionError):
        try:
            os.killpg(proc.pid, 9)
        except (ProcessLookupError, PermissionError):
            pass
        proc.wait(3)


class Scenario:
    """One scenario's world: its folder, device, runtime state and bridge."""

    def __init__(self, config, name):
        self.config = config
        self.name = name
        self.tmp = tempfile.mkdtemp(prefix="okv-e2e-%s-" % name)
        self.ports = config.ports_dir or os.path.join(self.tmp, "ports")
        os.makedirs(self.ports, exist_ok=True)
        self.state_path = os.path.join(self.tmp, "kolt8.state")
        self.runtime = None
        self.device = None
        self.bridge = None
        self.children = []  # every bridge and device started, for the fault check and clean-up
        self.child_faults = b""  # sanitizer or valgrind reports found in their output

    # set-up helpers
    def start_runtime(self):
        self.runtime = Runtime(self.state_path, self.config.tool)
        return self.runtime

    def start_device(self, args=(), com=4):
        self.device = Device(self.config.device, self.ports, com, args)
        self.children.append(self.device)
        return self.device

    def bridge_env(self, libdir=None):
        env = dict(os.environ)
        env[self.config.lib_path_var] = self.config.libdir if libdir is None else libdir
        env["OKVBRIDGE_PORTS"] = self.ports
        env["KOLT8_SIM_STATE"] = self.state_path
        return env

    def start_bridge(self, args=(), libdir=None):
        self.bridge = Bridge(self.config, self.bridge_env(libdir), args, self.tmp)
        self.children.append(self.bridge)
        return self.bridge

    @property
    def console(self):
        return self.bridge.console

    def start_all(self, device_args=()):
        """Runtime, device and bridge, up to the bridge's first mailbox read."""
        self.start_runtime()
        self.start_device(device_args)
        self.start_bridge()
        self.console.expect_next(b"Communication OKV (COM4) <-> Corvalen V1.000\n", 5)
        self.console.expect_next(b"Connexion a Corvalen...\n", 5)
        self.console.expect_next(b"Connexion effectuee\n", 5)
        self.console.expect_next(b"Executeur installe\n", 5)
        self.runtime.wait_counter(self.runtime.reads, 0, 5, "first mailbox read")

    # the application's side of the mailbox
    def request(self, kind, expected, timeout=15):
        """Writes 1 (p) or 6 (r) into m1000, waits for the journal to hold `expected` writes and
        for the bridge's next mailbox read (so that the transaction is surely over), then checks
        that exactly `expected` was written. Answers the journal entries."""
        rt = self.runtime
        rt.set("m1000", 1 if kind == "p" else 6)
        rt.wait_journal(lambda e: len(e) >= len(expected), timeout,
                        "%d writes after request %s" % (len(expected), kind))
        rt.wait_counter(rt.reads, rt.reads(), 5, "mailbox read after the transaction")
        entries = rt.pending()
        check(plain(entries) == expected, "request %s: journal %s, expected %s" % (
            kind, fmt_entries(entries), expected))
        rt.take(entries)
        return entries

    def quiet_cycles(self, n=2):
        """Lets the bridge read the mailbox n more times; nothing may be written meanwhile."""
        rt = self.runtime
        for _ in range(n):
            rt.wait_counter(rt.reads, rt.reads(), 5, "mailbox read")
        check(rt.pending() == [], "unexpected writes: %s" % fmt_entries(rt.pending()))

    # diagnostics and clean-up
    def diagnostics(self):
        out = sys.stdout
        out.write("---- scenario %s, folder %s\n" % (self.name, self.tmp))
        if self.bridge is not None:
            c = self.bridge.console
            out.write("---- bridge console (%d bytes, cursor %d), arrival in s after start:\n" % (
                len(c.data), c.cursor))
            for i, (start, t) in enumerate(c.chunks):
                end = c.chunks[i + 1][0] if i + 1 < len(c.chunks) else len(c.data)
                text = bytes(c.data[start:end])
                if len(text) > 300:
                    text = text[:150] + b"..." + text[-150:]
                out.write("  %7.3f %r\n" % (t - self.bridge.started, text))
            out.write("---- bridge exit: %r, stderr: %r\n" % (
                self.bridge.proc.poll(), self.bridge.stderr_text()[-2000:]))
        if self.device is not None:
            out.write("---- device log:\n")
            out.write(self.device.log.data.decode("latin-1")[-6000:])
            out.write("\n")
        if self.runtime is not None:
            try:
                out.write("---- runtime counters %s\n" % self.runtime.counters())
                out.write("---- journal (all): %s\n" % fmt_entries(self.runtime.journal_since(0)))
                out.write("---- m1000 = %d, l1000 = %d\n" % (
                    self.runtime.get("m1000"), self.runtime.get("l1000")))
            except Exception as e:  # the diagnostics must not hide the failure itself
                out.write("---- runtime state unreadable: %s\n" % e)
        out.flush()

    def cleanup(self):
        for child in self.children:
            if isinstance(child, Device):
                try:
                    child.proc.stdin.close()
                except OSError:
                    pass
            stop(child.proc)
            if isinstance(child, Bridge):
                child.stderr.close()
                output = child.stderr_text()
            else:
                child.log.thread.join(2)  # the log up to the device's very end
                output = bytes(child.log.data)
            self._note_faults(output)
        if self.runtime is not None:
            self.runtime.close()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def _note_faults(self, output):
        found = CHILD_FAULT.search(output)
        if found is not None:
            # From the report's start, which is a line or two before the marker at most.
            start = output.rfind(b"\n", 0, max(0, output.rfind(b"\n", 0, found.start())))
            self.child_faults += output[start + 1:][:6000] + b"\n"


def run_named(scenarios, argv, doc, prog):
    """The command line of a scenario script: --help, --list, or one scenario by name.

    Exit status 0 when the scenario held, 1 when it did not (with the console, the device log and
    the journal printed) or when a child process reported a sanitizer or valgrind fault, 2 for a
    bad name.
    """
    if "--help" in argv or "-h" in argv:
        print(doc.strip())
        print("\nScenarios:")
        for name, fn in scenarios.items():
            print("  %-27s %s" % (name, textwrap.shorten(" ".join((fn.__doc__ or "").split()), 72,
                                                          placeholder="...")))
        return 0
    config = Config(argv)
    if "--list" in argv:
        print("\n".join(scenarios))
        return 0
    if len(config.names) != 1 or config.names[0] not in scenarios:
        sys.stderr.write("usage: %s NAME [options]; names: %s\n" % (prog, " ".join(scenarios)))
        return 2
    name = config.names[0]
    s = Scenario(config, name)
    started = time.monotonic()
    held = False
    try:
        scenarios[name](s)
        held = True
    except Failure as e:
        print("FAILED %s: %s" % (name, e))
        s.diagnostics()
    except Exception:
        import traceback
        traceback.print_exc(file=sys.stdout)
        s.diagnostics()
    finally:
        s.cleanup()
    if s.child_faults:
        # A sanitizer's or valgrind's report fails the scenario even when everything seen held.
        print("FAILED %s: a child process reported a fault:" % name)
        sys.stdout.write(s.child_faults.decode("latin-1"))
        return 1
    if not held:
        return 1
    print("passed %s in %.1f s" % (name, time.monotonic() - started))
    return 0
