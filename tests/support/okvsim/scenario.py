"""A scenario's world: the real okvbridge between the simulated device and the simulated runtime.

Every scenario gets a folder of its own (ports folder, runtime state file), a device on COM4 there,
a runtime state it can read and change through the state file, and a bridge whose console is read
byte by byte with arrival times. Everything waits for events with deadlines; nothing sleeps
blindly. Whatever happens, the processes are stopped and the folder removed.

The bridge is started from a command list, not a path, so that the same scenarios can drive a
Windows build under Wine: OKV_BRIDGE_CMD="wine /path/okvbridge.exe" replaces the native binary (and
OKV_CHECK_CMD the diagnostics tool okvbridge-check), OKV_LIB_PATH_VAR names the variable that points
the bridge at the runtime library's folder, and OKV_WINE_PREFIX the prefix it runs in.
"""

import os
import shlex
import shutil
import sys
import tempfile
import textwrap
import time

from . import console
from .errors import Failure, check
from .procs import Bridge, Device, bridge_env, child_fault, windows_path
from .state import Runtime, fmt_entries, plain, run_tool


class Config:
    """Where the binaries are: command-line options, each overridable from the environment (the
    process's own, or `env` for a tool that sets up its world itself)."""

    def __init__(self, argv, env=None):
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
        self.options = opts  # for a script's options of its own
        env = os.environ if env is None else env
        # True when the bridge is this host's own program, whose threads and mappings /proc
        # shows as the bridge's.
        self.native = "OKV_BRIDGE_CMD" not in env
        bridge_cmd = env.get("OKV_BRIDGE_CMD")
        self.bridge_cmd = shlex.split(bridge_cmd) if bridge_cmd else [opts.get("bridge", "okvbridge")]
        check_cmd = env.get("OKV_CHECK_CMD")
        self.check_cmd = shlex.split(check_cmd) if check_cmd else [opts.get("check", "okvbridge-check")]
        self.device = env.get("OKV_DEVICE", opts.get("device", "okvsim-device"))
        self.tool = env.get("OKV_RUNTIME_TOOL", opts.get("tool", "okvsim-runtime"))
        self.libdir = env.get("OKV_RUNTIME_DIR", opts.get("libdir", ""))
        self.noentry_dir = env.get("OKV_NOENTRY_DIR", opts.get("noentry-dir", ""))
        self.tls_dir = env.get("OKV_TLS_DIR", opts.get("tls-dir", ""))
        # The simulated runtime's folder as this host sees it, for scenarios that copy the library;
        # under Wine the bridge is given Windows paths (drive Z: is the host's root).
        self.runtime_host_dir = env.get("OKV_RUNTIME_HOST_DIR", self.libdir)
        self.lib_path_var = env.get("OKV_LIB_PATH_VAR", "LD_LIBRARY_PATH")
        self.wine_prefix = env.get("OKV_WINE_PREFIX", "")
        # A fixed ports folder (for a port layer that does not read OKVBRIDGE_PORTS); by default
        # every scenario has its own, so that scenarios run side by side.
        self.ports_dir = env.get("OKV_PORTS_DIR", "")
        # A Windows bridge writes CR LF; with OKV_CONSOLE_CRLF=1 they are turned back to LF.
        self.console_crlf = env.get("OKV_CONSOLE_CRLF", "") == "1"

    @property
    def windows(self):
        return self.lib_path_var == "WINEPATH"

    def library_folder(self, host_dir):
        """A folder of this host in the form the bridge's library search takes."""
        return windows_path(host_dir) if self.windows else host_dir


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
        return bridge_env(self.ports, self.state_path,
                          self.config.libdir if libdir is None else libdir,
                          self.config.lib_path_var, self.config.wine_prefix)

    def start_bridge(self, args=(), libdir=None):
        self.bridge = Bridge(self.config.bridge_cmd + list(args), self.bridge_env(libdir),
                             self.tmp, self.config.console_crlf)
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
        for message in (console.BANNER, console.CONNECTING, console.CONNECTED, console.INSTALLED):
            self.console.expect_next(message, 5)
        self.runtime.wait_counter(self.runtime.reads, 0, 5, "first mailbox read")

    def tool(self, *args):
        """The runtime's control tool on this scenario's state file."""
        run_tool(self.config.tool, self.state_path, *args)

    # the application's side of the mailbox
    def request(self, kind, expected, timeout=15):
        """Writes 1 (p) or 6 (r) into m1000, waits for the journal to hold `expected` writes and
        for the bridge's next mailbox read (so that the transaction is surely over), then checks
        that exactly `expected` was written. Answers the journal entries."""
        self.runtime.set("m1000", 1 if kind == "p" else 6)
        return self.served("request %s" % kind, expected, timeout)

    def served(self, what, expected, timeout=15):
        """The waiting and checking of request() for requests already written."""
        rt = self.runtime
        rt.wait_journal(lambda e: len(e) >= len(expected), timeout,
                        "%d writes after %s" % (len(expected), what))
        rt.wait_counter(rt.reads, rt.reads(), 5, "mailbox read after the transaction")
        entries = rt.pending()
        check(plain(entries) == expected, "%s: journal %s, expected %s" % (
            what, fmt_entries(entries), expected))
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
            self.child_faults += child_fault(child.stop())
        if self.runtime is not None:
            self.runtime.close()
        shutil.rmtree(self.tmp, ignore_errors=True)


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
