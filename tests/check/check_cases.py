#!/usr/bin/env python3
"""Runs one case of okvbridge-check by name: the real tool against pseudo-terminals, the simulated
device and runtime, a running bridge and real libraries that are wrong in one way each.

    check_cases.py NAME --check PATH --bridge PATH --device PATH --tool PATH --libdir DIR
                   --simlib FILE --fixtures DIR --other-class-dir DIR --other-bits N
    check_cases.py --list

--simlib is the simulated runtime library itself (cut short by one case); --fixtures names the
folder of the libraries built for the failures (like_entry/, needs_dep/); --other-class-dir the
folder of a runtime library of the other ELF class or bitness, N bits wide (the case is skipped,
exit status 77, when that folder holds none). Under Wine the environment gives the Windows
commands (OKV_CHECK_CMD, OKV_BRIDGE_CMD; see okvsim/scenario.py). Exit status 0 when the case
held, 1 when it did not, 2 for a bad name.
"""

import ctypes
import fcntl
import grp
import os
import re
import shutil
import struct
import subprocess
import sys
import termios

sys.dont_write_bytecode = True  # nothing may land in the source tree
# Started by hand from any folder: the shared package is tests/support/okvsim.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "support"))

from okvsim.console import CONNECTING, PORT_ERROR  # noqa: E402
from okvsim.errors import check  # noqa: E402
from okvsim.scenario import run_named  # noqa: E402

SKIPPED = 77
# The package's version, as the build gives it to every program's --version.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "CMakeLists.txt")) as f:
    VERSION = re.search(r"project\(okvbridge VERSION (\S+)", f.read()).group(1)
TIOCGEXCL = 0x80045440  # _IOR('T', 0x40, int) on x86 and ARM Linux; Python's termios lacks it

CASES = {}


class OpenWatch:
    """Counts the opens of one file from now on (inotify's IN_OPEN, which Python's library lacks)."""

    IN_OPEN = 0x20
    IN_NONBLOCK = 0o4000

    def __init__(self, path):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(self.IN_NONBLOCK)
        check(self.fd >= 0 and self.libc.inotify_add_watch(self.fd, path.encode(),
                                                           self.IN_OPEN) >= 0,
              "inotify on %s: %s" % (path, os.strerror(ctypes.get_errno())))
        self.seen = 0

    def count(self):
        while True:
            try:
                events = os.read(self.fd, 4096)
            except BlockingIOError:
                return self.seen
            at = 0
            while at < len(events):  # struct inotify_event: wd, mask, cookie, len, name
                mask, = struct.unpack_from("I", events, at + 4)
                self.seen += bool(mask & self.IN_OPEN)
                at += 16 + struct.unpack_from("I", events, at + 12)[0]


def case(fn):
    CASES[fn.__name__] = fn
    return fn


class Skip(Exception):
    pass


def windows(s):
    return s.config.windows


def library_name(s):
    return "kolt8.dll" if windows(s) else "libkolt8.so"


def search_dir(s, folder):
    """A host folder as the library search path takes it (Wine: a Windows path on drive Z:)."""
    return s.config.library_folder(os.path.abspath(folder))


def fixture(s, name):
    return os.path.join(s.config.options["fixtures"], name)


def run_check(s, args=(), libdir=None, timeout=60, as_user=()):
    """okvbridge-check with the scenario's ports folder and runtime state; answers (exit status,
    stdout lines, stderr). `as_user` is a command that runs it as another user."""
    env = s.bridge_env(libdir)
    done = subprocess.run(list(as_user) + s.config.check_cmd + list(args), env=env, cwd=s.tmp,
                          timeout=timeout, stdin=subprocess.DEVNULL, capture_output=True)
    out = done.stdout.decode("latin-1").replace("\r\n", "\n")
    sys.stdout.write("---- okvbridge-check %s: exit %d\n%s" % (" ".join(args), done.returncode, out))
    return done.returncode, out.splitlines(), done.stderr.decode("latin-1").replace("\r\n", "\n")


def line(lines, subject):
    """The line of the check `subject`: "ok   subject: ..." or "FAIL subject: ..."."""
    found = [l for l in lines if re.match(r"(ok  |FAIL) %s: " % re.escape(subject), l)]
    check(len(found) == 1, "one line for %r expected, got %r" % (subject, found))
    return found[0]


def expect(lines, subject, ok, *words):
    got = line(lines, subject)
    check(got.startswith("ok   " if ok else "FAIL "), "%r: %s expected" % (got, "ok" if ok else "FAIL"))
    for w in words:
        check(w in got, "%r lacks %r" % (got, w))
    return got


def every_line_a_check(lines):
    check(lines and all(re.match(r"(ok  |FAIL) [^:]+: ", l) for l in lines),
          "every line must be one check's: %r" % lines)


def tty_of(s, com=4):
    return os.path.realpath(os.path.join(s.ports, "COM%d" % com))


@case
def commissioning(s):
    """Every check passes on the simulated line and runtime; the runtime sees one probe and nothing
    else; the line's own settings are back afterwards and it is no longer exclusive."""
    s.start_runtime()
    s.start_device()
    tty = os.open(tty_of(s), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        attrs = termios.tcgetattr(tty)
        attrs[4] = attrs[5] = termios.B19200  # a speed the check must put back
        termios.tcsetattr(tty, termios.TCSANOW, attrs)
        status, lines, _ = run_check(s, ["--probe", "--exchange", "P"])
        check(status == 0, "exit status %d" % status)
        every_line_a_check(lines)
        if not windows(s):  # Wine registers only the ports its mount manager made
            expect(lines, "serial ports", True, "COM4 (%s)" % tty_of(s))
        expect(lines, "port COM4", True, "opened as")
        expect(lines, "exchange P on COM4", True, 'reply "Turning On" (10 bytes', "m1000 = 4")
        expect(lines, "runtime library", True, library_name(s), "as this build")
        expect(lines, "entry point", True, "KoltEntryPoint")
        expect(lines, "executor probe", True, "installed")
        counters = s.runtime.counters()
        check((counters["probes"], counters["reads"], counters["writes"]) == (1, 0, 0),
              "the runtime must see one probe and nothing else: %s" % counters)
        after = termios.tcgetattr(tty)
        check(after[4] == termios.B19200 and after[5] == termios.B19200,
              "line speed not put back: %r" % after[4:6])
        if not windows(s):
            exclusive = fcntl.ioctl(tty, TIOCGEXCL, b"\0\0\0\0")
            check(exclusive == b"\0\0\0\0", "the line is left exclusive")
    finally:
        os.close(tty)


@case
def reply_shapes(s):
    """A reply of 6000 bytes is cut where the bridge cuts it and the rest counted; binary bytes are
    escaped and classified as the bridge reads them, up to the first zero byte."""
    s.start_runtime()
    dev = s.start_device(["--long", "6000", "--p", "\\x01Sleep\\x00Turning On\\xff"])
    status, lines, _ = run_check(s, ["--exchange", "R"])
    check(status == 0, "exit status %d" % status)
    expect(lines, "exchange R on COM4", True, 'reply "0123456789', "(1023 bytes",
           "4977 more bytes", "l1000 = 2147483647, then m1000 = 8")
    status, lines, _ = run_check(s, ["--exchange", "P"])
    check(status == 0, "exit status %d" % status)
    expect(lines, "exchange P on COM4", True, 'reply "\\x01Sleep\\x00Turning On\\xFF" (18 bytes',
           'first zero byte: "\\x01Sleep"', "m1000 = 3")
    check(dev.commands_seen("R") == 1 and dev.commands_seen("P") == 1, "one command each")


@case
def silent_device(s):
    """No reply: the transaction's time-out, its codes and what to look at."""
    s.start_runtime()
    s.start_device(["--silent"])
    status, lines, _ = run_check(s, ["--exchange", "R"])
    check(status == 1, "exit status %d" % status)
    expect(lines, "exchange R on COM4", False, "no reply within 5000 ms", "Com timeout",
           "m1000 = 9", "what to do: check the cable")


@case
def port_troubles(s):
    """A port that is not there, and one that is no serial port: told apart, with the ports there
    are."""
    s.start_runtime()
    s.start_device()
    # Not 1 to 16: Wine opens those of its prefix without a device, and only their settings fail.
    status, lines, _ = run_check(s, ["99"])
    check(status == 1, "exit status %d" % status)
    got = expect(lines, "port COM99", False, "no such port", "system: ")
    check(windows(s) or "COM4" in got.split("what to do:")[1], "the ports there are: %r" % got)
    if windows(s):
        return  # a link to /dev/null is not a Windows device
    os.symlink("/dev/null", os.path.join(s.ports, "COM5"))
    status, lines, _ = run_check(s, ["5"])
    check(status == 1, "exit status %d" % status)
    expect(lines, "port COM5", False, "not a serial port", "system: ")


@case
def access_refused(s):
    """A port the user may not open: refused, with the group that may (on Linux, where root can
    become a user without it)."""
    setpriv = shutil.which("setpriv")
    groups = [g.gr_name for g in grp.getgrall()]
    if windows(s) or os.geteuid() != 0 or setpriv is None or "dialout" not in groups:
        raise Skip("needs native Linux, root, setpriv and a dialout group, to run the check as a "
                   "user without access")
    s.start_runtime()
    s.start_device()
    os.chmod(s.tmp, 0o755)  # the user must reach the ports folder, not the device
    os.chmod(s.ports, 0o755)
    os.chown(tty_of(s), 0, grp.getgrnam("dialout").gr_gid)
    os.chmod(tty_of(s), 0o660)
    nobody = [setpriv, "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
    status, lines, _ = run_check(s, as_user=nobody)
    check(status == 1, "exit status %d" % status)
    expect(lines, "port COM4", False, "access refused", "group dialout", "system: ",
           "adduser $USER dialout")


@case
def held_by_bridge(s):
    """The port of a running bridge: the check fails exactly where a second bridge would, naming
    the bridge as the likeliest holder; the running bridge goes on. (Wine lets a second program
    open a COM port that another holds unshared: there both open it.)"""
    s.start_runtime()
    s.start_device()
    first = s.start_bridge()
    first.console.expect(CONNECTING, 10)  # the port is open by then
    # Opening a tty raises DTR and RTS on it (and root passes TIOCEXCL): the held line must be
    # found by its lock and never opened.
    opens = OpenWatch(tty_of(s))
    second = s.start_bridge()
    second_fails = second.console.wait(
        lambda d: True if PORT_ERROR in d else False if CONNECTING in d else None, 10,
        "the second bridge's verdict on the port")
    status, lines, _ = run_check(s)
    if not windows(s):
        check(opens.count() == 0, "the held line was opened %d times" % opens.count())
    check(status == (1 if second_fails else 0), "exit status %d" % status)
    if second_fails:
        expect(lines, "port COM4", False, "held by another program", "okvbridge", "system: ")
    else:
        check(windows(s), "a second bridge opened the port natively")
        expect(lines, "port COM4", True)
    check(first.proc.poll() is None, "the running bridge ended")


@case
def usage(s):
    """Bad arguments: exit 2 with a one-line reason; --help; --version; a PORT read as the bridge
    reads it."""
    for args in (["--exchange"], ["--exchange", "X"], ["--exchange=P", "--exchange", "R"],
                 ["--nope"], ["-x"], ["3", "5"], ["--exchange", "line\nbreak"]):
        status, lines, err = run_check(s, args)
        check(status == 2 and lines == [], "%r: exit %d, output %r" % (args, status, lines))
        check(err.count("\n") == 1 and err.startswith("okvbridge-check: "), "%r: %r" % (args, err))
    status, lines, _ = run_check(s, ["--help"])
    text = "\n".join(lines)
    check(status == 0 and all(w in text for w in (
        "serial ports", "port COM<n>", "runtime library", "entry point", "--probe", "--exchange",
        "Exit status")), "--help: exit %d" % status)
    status, lines, _ = run_check(s, ["--version"])
    check(status == 0 and lines == ["okvbridge-check " + VERSION], "--version: %r" % lines)
    status, lines, _ = run_check(s, ["abc"])
    check(status == 1, "exit status %d" % status)
    line(lines, 'port COM0 ("abc" read as okvbridge reads it)')


@case
def no_library(s):
    """No runtime library on the search: not found, where the search looked; no probe made."""
    empty = os.path.join(s.tmp, "empty")
    os.makedirs(empty)
    status, lines, _ = run_check(s, ["--probe"], libdir=search_dir(s, empty))
    check(status == 1, "exit status %d" % status)
    expect(lines, "runtime library", False, library_name(s) + " not found", "looked in",
           search_dir(s, empty), "system: ")
    expect(lines, "executor probe", False, "not made")


@case
def no_entry_point(s):
    """A library without KoltEntryPoint: named, with the export that looks like it."""
    status, lines, _ = run_check(s, ["--probe"], libdir=search_dir(s, fixture(s, "like_entry")))
    check(status == 1, "exit status %d" % status)
    expect(lines, "runtime library", True, library_name(s))
    expect(lines, "entry point", False, "exports no KoltEntryPoint", "names like it: koltentrypoint",
           "system: ")
    expect(lines, "executor probe", False, "no entry point")


@case
def other_class(s):
    """A runtime library of the other ELF class or bitness: told from the file's header."""
    folder = s.config.options.get("other-class-dir", "")
    if not os.path.isfile(os.path.join(folder, library_name(s))):
        raise Skip("no %s of the other class in %r (see tests/check/CMakeLists.txt)" % (
            library_name(s), folder))
    status, lines, _ = run_check(s, libdir=search_dir(s, folder))
    check(status == 1, "exit status %d" % status)
    bits = s.config.options["other-bits"]
    hint = ("kolt8.dll is %s-bit: use the win%s build of okvbridge" % (bits, bits) if windows(s)
            else "cannot load a %s-bit library" % bits)
    expect(lines, "runtime library", False, "is %s %s-bit" % ("PE" if windows(s) else "ELF", bits),
           hint, "system: ")


@case
def bad_library_files(s):
    """A file of the right name that is no library, and the simulated runtime cut short: each
    named with what is wrong, never a crash (a cut library crashes the loader: it is not loaded)."""
    with open(s.config.options["simlib"], "rb") as f:
        whole = f.read()
    for kind, content in (("not a library", b"This is not a library.\n" * 40),
                          ("truncated", whole[:4096])):
        folder = os.path.join(s.tmp, kind.replace(" ", "_"))
        os.makedirs(folder)
        with open(os.path.join(folder, library_name(s)), "wb") as f:
            f.write(content)
        status, lines, _ = run_check(s, libdir=search_dir(s, folder))
        check(status == 1, "%s: exit status %d" % (kind, status))
        expect(lines, "runtime library", False, library_name(s) + " is " + kind,
               "not handed to the loader")


@case
def missing_dependency(s):
    """A library that is there but needs one that is not: told apart from one not found."""
    status, lines, _ = run_check(s, libdir=search_dir(s, fixture(s, "needs_dep")))
    check(status == 1, "exit status %d" % status)
    dependency = "okvcheckdep.dll" if windows(s) else "libokvcheckdep.so"
    expect(lines, "runtime library", False, "was found but cannot load: it needs " + dependency,
           "system: ")


def main(argv):
    skipped = []

    def skippable(fn):
        def run(s):
            try:
                fn(s)
            except Skip as why:
                print("SKIPPED: %s" % why)
                skipped.append(why)
        run.__doc__ = fn.__doc__
        return run

    status = run_named({name: skippable(fn) for name, fn in CASES.items()}, argv, __doc__,
                       "check_cases.py")
    return SKIPPED if status == 0 and skipped else status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
