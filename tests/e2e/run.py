#!/usr/bin/env python3
"""Runs one end-to-end scenario of okvbridge by name.

    run.py NAME [--bridge PATH] [--device PATH] [--tool PATH] [--libdir DIR] [--noentry-dir DIR]
               [--tls-dir DIR]
    run.py --list

The environment may override each path (OKV_BRIDGE_CMD, OKV_DEVICE, OKV_RUNTIME_TOOL,
OKV_RUNTIME_DIR, OKV_NOENTRY_DIR, OKV_TLS_DIR); see okvsim/scenario.py. Exit status 0 when the
scenario held, 1 when it did not (with the console, the device log and the journal printed), 2 for
a bad name.
"""

import os
import shutil
import sys
import time

sys.dont_write_bytecode = True  # nothing may land in the source tree
# Started by hand from any folder: the shared package is tests/support/okvsim.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "support"))

from okvsim.console import (BANNER, CONNECT_FAILED, CONNECTED, CONNECTING,  # noqa: E402
                            INSTALLED, NO_EXECUTOR, PORT_ERROR, REMOVED, banner, read_error,
                            write_error)
from okvsim.errors import check, check_between  # noqa: E402
from okvsim.scenario import run_named  # noqa: E402
from okvsim.state import fmt_entries, plain  # noqa: E402


def long_text(n):
    """What the device sends for `long N`: byte i is '0' + i % 10, the last five "<END>"."""
    body = bytes(ord("0") + i % 10 for i in range(n))
    return body[:-5] + b"<END>"


SCENARIOS = {}


def scenario(fn):
    SCENARIOS[fn.__name__] = fn
    return fn


@scenario
def road(s):
    """One P and one R request from the application's side: codes, console and device."""
    s.start_all()
    rt, c, dev = s.runtime, s.console, s.device

    p = s.request("p", [("m1000", 2), ("m1000", 4)])
    c.expect_next(b"[Turning On]")
    # The application sees 2 for the whole exchange: the first look at the line is 800 ms on.
    check_between(p[1][3] - p[0][3], 0.75, 1.6, "P from 2 to 4")
    check(dev.commands_seen("P") == 1 and dev.commands_seen("R") == 0, "device: one P expected")
    check(rt.get("m1000") == 4, "m1000 after P: %d" % rt.get("m1000"))

    r = s.request("r", [("m1000", 7), ("l1000", 123), ("m1000", 8)])
    c.expect_next(b"[A123]")
    # R looks at the line every 200 ms, so the reply is taken at the first look.
    check_between(r[2][3] - r[0][3], 0.15, 0.7, "R from 7 to 8")
    check(all(res == 0 for _, _, res, _ in p + r), "result codes in %s" % fmt_entries(p + r))
    check(dev.commands_seen("R") == 1, "device: one R expected")
    check((rt.get("m1000"), rt.get("l1000")) == (8, 123),
          "mailbox after R: m1000 %d, l1000 %d" % (rt.get("m1000"), rt.get("l1000")))
    s.quiet_cycles(1)
    check(c.rest() == b"", "console after the exchanges: %r" % c.rest())


@scenario
def console_flush(s):
    """Every message reaches a piped console when it is written, not when the process ends."""
    s.start_runtime()
    s.start_device()
    b = s.start_bridge()
    c = s.console
    t_banner = c.expect_next(BANNER, 5)
    t_connecting = c.expect_next(CONNECTING, 3)
    check_between(t_connecting - t_banner, 0.85, 1.6, "banner to first connection attempt")
    t_connected = c.expect_next(CONNECTED, 3)
    check(t_connected - t_connecting < 0.5, "connection message late")
    t_installed = c.expect_next(INSTALLED, 3)
    check_between(t_installed - t_connected, 0.85, 1.6, "connection to executor message")

    wall_minus_mono = time.time() - time.monotonic()
    s.request("p", [("m1000", 2), ("m1000", 4)])
    # The reply has no line feed after it: only a flush brings it out before the next message.
    t_reply = c.expect_next(b"[Turning On]", 1) + wall_minus_mono
    done = s.runtime.journal_since(0)[-1]
    check(abs(done[3] - t_reply) < 0.5,
          "reply printed %.3f s away from the final write" % (t_reply - done[3]))
    check(b.proc.poll() is None, "the bridge ended")


@scenario
def idle_codes(s):
    """Mailbox values that ask for nothing: no transaction, no write, no output."""
    s.start_all()
    rt = s.runtime
    # 257 and 65535 catch a read that looks at one byte or sign-extends the word.
    for value in (0, 2, 3, 4, 5, 7, 8, 9, 257, 65535):
        rt.set("m1000", value)
        s.quiet_cycles(2)
        check(rt.get("m1000") == value, "m1000 %d changed to %d" % (value, rt.get("m1000")))
    check(s.device.commands_seen("P") + s.device.commands_seen("R") == 0, "device was asked")
    check(s.console.rest() == b"", "console: %r" % s.console.rest())


@scenario
def p_replies(s):
    """How a P reply is classified: the two words, case and order."""
    s.start_all()
    for text, code in (("Sleep", 3),
                       ("Sleep, then Turning On", 4),
                       ("Turning On, then Sleep", 4),
                       ("sleep", 5),
                       ("turning on", 5),
                       ("Turning  On", 5)):
        s.device.cmd("p " + text)
        s.request("p", [("m1000", 2), ("m1000", code)])
        s.console.expect_next(b"[" + text.encode() + b"]")


@scenario
def r_replies(s):
    """How an R reply gives the number and the code; the first byte is skipped whatever it is."""
    s.start_all()
    rt = s.runtime
    for text, number, code in (("12", 2, 8),
                               ("A-5", -5, 9),
                               ("A 42", 42, 9),
                               ("A", 0, 9),
                               ("A7x9", 7, 8),
                               # out of the 32-bit range: clamped
                               ("A99999999999", 2147483647, 8),
                               ("x-99999999999", -2147483648, 9)):
        s.device.cmd("r " + text)
        s.request("r", [("m1000", 7), ("l1000", number), ("m1000", code)])
        s.console.expect_next(b"[" + text.encode() + b"]")
        check(rt.get("l1000") == number, "l1000 %d after %r" % (rt.get("l1000"), text))

    # A reply with a NUL in it is text up to the NUL, and the bytes after it are read all the
    # same: the next reply starts clean.
    s.device.cmd("r A\\x0012")
    s.request("r", [("m1000", 7), ("l1000", 0), ("m1000", 9)])
    s.console.expect_next(b"[A]")
    s.device.cmd("r B5")
    s.request("r", [("m1000", 7), ("l1000", 5), ("m1000", 8)])
    s.console.expect_next(b"[B5]")


@scenario
def p_timeout(s):
    """A silent device: P times out after 5 s, 5 is written once, and the next P works again."""
    s.start_all(["--silent"])
    e = s.request("p", [("m1000", 2), ("m1000", 5)], timeout=20)
    s.console.expect_next(b"Com timeout\n[]")
    # 5000 ms of waiting, rounded up to the 800 ms look at the line.
    check_between(e[1][3] - e[0][3], 4.95, 6.3, "P acknowledgement to timeout")
    s.device.log.expect(b"P unanswered (silent)")
    s.device.cmd("silent off")
    s.request("p", [("m1000", 2), ("m1000", 4)])
    s.console.expect_next(b"[Turning On]")


@scenario
def r_timeout(s):
    """A silent device: R times out after 5 s: 9, then 0 in l1000."""
    s.start_all(["--silent"])
    s.runtime.set("l1000", 555)
    e = s.request("r", [("m1000", 7), ("m1000", 9), ("l1000", 0)], timeout=20)
    s.console.expect_next(b"Com timeout\n[]")
    check_between(e[1][3] - e[0][3], 4.95, 5.6, "R acknowledgement to timeout")
    check(s.runtime.get("l1000") == 0, "l1000 after timeout: %d" % s.runtime.get("l1000"))


@scenario
def next_request_over_timeout_code(s):
    """The application writes its next request the moment it sees the time-out code, while every
    runtime write takes 300 ms to complete: that request is served, not overwritten."""
    s.start_all(["--silent"])
    rt = s.runtime
    rt.delay(300)
    rt.set("m1000", 1)
    deadline = time.monotonic() + 15
    while rt.get("m1000") != 5:
        check(time.monotonic() < deadline, "no time-out code within 15 s: m1000 %d" %
              rt.get("m1000"))
        time.sleep(0.002)
    s.device.cmd("silent off")
    rt.set("m1000", 6)
    s.served("P, then R written over its time-out code",
             [("m1000", 2), ("m1000", 5), ("m1000", 7), ("l1000", 123), ("m1000", 8)], timeout=25)
    s.console.expect_next(b"Com timeout\n[][A123]")


@scenario
def split_and_leftover(s):
    """A reply split across polls: the bridge takes what is waiting; the rest opens the next reply,
    and leftover bytes end the next wait at its first look."""
    s.start_all()
    dev, c = s.device, s.console
    dev.cmd("split 2 1500")
    s.request("r", [("m1000", 7), ("l1000", 1), ("m1000", 8)])
    c.expect_next(b"[A1]")
    dev.log.expect(b'"23" (2 bytes, part 2 of 2)')

    # The next reply comes late; the leftover "23" is there at the first look, 200 ms on.
    dev.cmd("split 0")
    dev.cmd("delay 2500")
    e = s.request("r", [("m1000", 7), ("l1000", 3), ("m1000", 8)])
    c.expect_next(b"[23]")
    check(e[2][3] - e[0][3] < 0.6, "leftover bytes did not end the wait at once")

    # The late reply is the leftover of a P that the device leaves unanswered.
    dev.log.expect(b'-> "A123" (4 bytes)')
    dev.cmd("delay 0")
    dev.cmd("silent on")
    s.request("p", [("m1000", 2), ("m1000", 5)])
    c.expect_next(b"[A123]")

    # P side: "Turning" now, " On" after the read, in front of the next reply.
    dev.cmd("silent off")
    dev.cmd("split 7 1200")
    s.request("p", [("m1000", 2), ("m1000", 5)])
    c.expect_next(b"[Turning]")
    dev.log.expect(b'" On" (3 bytes, part 2 of 2)')
    dev.cmd("split 0")
    dev.cmd("p Sleep")
    s.request("p", [("m1000", 2), ("m1000", 3)])
    c.expect_next(b"[ OnSleep]")


@scenario
def long_reply(s):
    """A 3000-byte reply: one read takes 1023 bytes; the rest answers the next requests."""
    s.start_all(["--long", "3000"])
    dev, c = s.device, s.console
    data = long_text(3000)
    s.request("p", [("m1000", 2), ("m1000", 5)])
    c.expect_next(b"[" + data[:1023] + b"]")
    dev.cmd("silent on")
    # Bytes 1023.. : the second byte is a digit, and the digit run is far beyond 32 bits.
    e = s.request("r", [("m1000", 7), ("l1000", 2147483647), ("m1000", 8)])
    c.expect_next(b"[" + data[1023:2046] + b"]")
    check(e[2][3] - e[0][3] < 0.6, "queued bytes did not end the wait at once")
    s.request("p", [("m1000", 2), ("m1000", 5)])
    c.expect_next(b"[" + data[2046:] + b"]")
    check(dev.commands_seen("P") == 2 and dev.commands_seen("R") == 1, "device commands")


@scenario
def executor_comes_and_goes(s):
    """The executor removed and installed again: messages, their period, and the mailbox."""
    s.start_all()
    rt, c = s.runtime, s.console
    # Change the executor just after a completed mailbox read, so that the next iteration
    # both notices the removal and reads the request.
    rt.delay(0)
    reads, fetches = rt.reads(), rt.counters()["fetches"]
    rt.wait_counter(rt.reads, reads, 5, "mailbox read")
    rt.wait_counter(lambda: rt.counters()["fetches"], fetches, 5, "its completion")
    rt.executor(False)
    rt.set("m1000", 1)
    # Removal noticed, and that same iteration still reads the mailbox and serves it.
    c.expect_next(REMOVED + b"[Turning On]", 5)
    e = rt.wait_journal(lambda e: len(e) >= 2, 5, "P in the removal iteration")
    check(plain(e) == [("m1000", 2), ("m1000", 4)], "journal %s" % fmt_entries(e))
    rt.take(e)
    t1 = c.expect_next(NO_EXECUTOR, 4)
    reads_without = rt.reads()
    rt.set("m1000", 1)  # asks for nothing while no executor is there
    t2 = c.expect_next(NO_EXECUTOR, 4)
    t3 = c.expect_next(NO_EXECUTOR, 4)
    check_between(t2 - t1, 1.8, 2.6, "probe period without executor")
    check_between(t3 - t2, 1.8, 2.6, "probe period without executor")
    check(rt.reads() == reads_without, "mailbox read without an executor")
    check(rt.pending() == [], "writes without an executor: %s" % fmt_entries(rt.pending()))

    rt.executor(True)
    c.expect_next(INSTALLED, 4)
    e = rt.wait_journal(lambda e: len(e) >= 2, 5, "P once the executor is back")
    check(plain(e) == [("m1000", 2), ("m1000", 4)], "journal %s" % fmt_entries(e))
    rt.take(e)
    c.expect_next(b"[Turning On]", 3)


def runtime_unreachable(s, libdir, check_unloaded):
    s.start_runtime()
    s.start_device()
    b = s.start_bridge(libdir=libdir)
    c = s.console
    c.expect_next(BANNER, 5)
    times = []
    for _ in range(3):
        times.append(c.expect_next(CONNECTING, 4))
        c.expect_next(CONNECT_FAILED, 2)
        if check_unloaded:
            with open("/proc/%d/maps" % b.proc.pid) as f:
                maps = f.read()
            check(libdir not in maps, "the library stays loaded after a failed connection")
    check_between(times[1] - times[0], 1.8, 2.6, "connection attempt period")
    check_between(times[2] - times[1], 1.8, 2.6, "connection attempt period")
    counters = s.runtime.counters()
    check(all(v == 0 for v in counters.values()), "runtime was called: %s" % counters)


@scenario
def no_runtime_library(s):
    empty = os.path.join(s.tmp, "no_runtime")
    os.makedirs(empty)
    runtime_unreachable(s, empty, False)


@scenario
def no_entry_point(s):
    # Only a native bridge shows its mappings in /proc.
    native = s.config.native and os.path.isdir("/proc/self")
    if not native:
        print("not checked here: that the library is unloaded after each failed connection (only "
              "a native bridge shows its mappings in /proc)")
    runtime_unreachable(s, s.config.noentry_dir, native)


def runtime_arrives_late(s, chatter):
    """The runtime library is put in place after a few failed connections, while the port's
    watcher has been waiting on an idle line (or on one where the device keeps talking). A bridge
    whose watcher left Wine's loader unsound died at this load."""
    late = os.path.join(s.tmp, "late_runtime")
    os.makedirs(late)
    s.start_runtime()
    dev = s.start_device()
    s.start_bridge(libdir=s.config.library_folder(late))
    c = s.console
    c.expect_next(BANNER, 5)
    for _ in range(2):
        c.expect_next(CONNECTING, 4)
        c.expect_next(CONNECT_FAILED, 2)
        if chatter:
            dev.cmd("send noise")
    libraries = [n for n in os.listdir(s.config.runtime_host_dir) if n in ("kolt8.dll", "libkolt8.so")]
    check(len(libraries) == 1, "no single runtime library in %s: %s" % (
        s.config.runtime_host_dir, libraries))
    shutil.copy(os.path.join(s.config.runtime_host_dir, libraries[0]), late)
    c.expect_next(CONNECTING, 4)
    c.expect_next(CONNECTED, 3)
    c.expect_next(INSTALLED, 4)
    s.runtime.wait_counter(s.runtime.reads, 0, 5, "first mailbox read")
    p = s.request("p", [("m1000", 2), ("m1000", 4)])
    # The noise waited unread on the line: it comes first in the reply of the first request.
    c.expect_next(b"[noisenoiseTurning On]" if chatter else b"[Turning On]")


@scenario
def runtime_arrives_late_on_idle_line(s):
    runtime_arrives_late(s, False)


@scenario
def runtime_arrives_late_while_device_talks(s):
    runtime_arrives_late(s, True)


@scenario
def thread_local_runtime(s):
    """A runtime library with thread-local state, which answers its second fetch: loaded, probed
    and read like any other, with nothing to report."""
    s.start_runtime()
    s.start_device()
    b = s.start_bridge(libdir=s.config.tls_dir)
    c = s.console
    c.expect_next(BANNER, 5)
    c.expect_next(CONNECTING, 4)
    c.expect_next(CONNECTED, 3)
    c.expect_next(INSTALLED, 4)
    # Three more cycles of probe and mailbox read: an error line, or a dead bridge, fails here.
    time.sleep(3.5)
    check(c.rest() == b"", "unexpected console output: %r" % c.rest())
    check(b.proc.poll() is None, "the bridge ended: %s" % b.stderr_text())


@scenario
def read_errors(s):
    """Mailbox reads that fail: refused, no completion, completed with a result code."""
    s.start_all()
    rt, c = s.runtime, s.console
    rt.refuse_read(0x1234)
    c.expect(read_error(0x1234), 4)
    # From here on every read is refused at its submit: none may deliver this request.
    rt.set("m1000", 1)
    t1 = c.expect_next(read_error(0x1234), 3)
    t2 = c.expect_next(read_error(0x1234), 3)
    check_between(t2 - t1, 0.9, 1.5, "cycle with refused reads")

    rt.refuse_read(0)
    rt.never(True)
    c.expect(read_error(0xFFFE), 5)
    reads = rt.reads()
    submitted = rt.wait_counter(rt.reads, reads, 4, "mailbox read")
    t3 = c.expect_next(read_error(0xFFFE), 4)
    check_between(t3 - submitted, 0.95, 1.4, "read submit to the no-completion error")
    t4 = c.expect_next(read_error(0xFFFE), 4)
    check_between(t4 - t3, 1.9, 2.6, "cycle with reads that never complete")
    # None of those reads delivered the 1 waiting in the mailbox.
    check(rt.pending() == [] and s.device.commands_seen("P") == 0, "a failed read was served")

    # A completion with a result code delivers the value all the same: the P runs.
    rt.result(7)
    rt.never(False)
    c.expect(read_error(7), 5)
    c.expect_next(write_error(7) + b"[Turning On]" + read_error(7), 4)
    e = rt.wait_journal(lambda e: len(e) >= 2, 3, "P writes")
    check([(r, v, res) for r, v, res, _ in e] == [("m1000", 2, 7), ("m1000", 4, 7)],
          "journal %s" % fmt_entries(e))


@scenario
def result_codes(s):
    """Writes that complete with a result code: the P acknowledgement reports it (every nonzero
    status), the other writes pass result codes silently."""
    s.start_all()
    rt, c = s.runtime, s.console
    rt.result(5)
    c.expect(read_error(5), 4)
    p = s.request("p", [("m1000", 2), ("m1000", 4)])
    # Only read errors around the exchange, and one write error: the acknowledgement's.
    c.expect(write_error(5) + b"[Turning On]" + read_error(5), 5)
    check(c.count(b"criture") == 1, "write errors: %r" % c.data)

    r = s.request("r", [("m1000", 7), ("l1000", 123), ("m1000", 8)])
    at, _ = c.expect(b"[A123]", 5)
    check(c.data[:at].endswith(read_error(5)), "before the R reply: %r" % c.data[at - 80:at])
    c.expect_next(read_error(5), 3)
    check(c.count(b"criture") == 1, "R wrote an error: %r" % c.data)
    check(all(res == 5 for _, _, res, _ in p + r), "result codes: %s" % fmt_entries(p + r))
    check((rt.get("m1000"), rt.get("l1000")) == (8, 123), "writes with a result code are kept")


@scenario
def refused_writes(s):
    """Writes refused by the runtime: every refusal is reported, P and R alike."""
    s.start_all()
    rt, c, dev = s.runtime, s.console, s.device
    rt.refuse_write(0xBEEF)
    rt.set("m1000", 1)
    c.expect_next(write_error(0xBEEF) + b"[Turning On]" + write_error(0xBEEF), 5)
    # Nothing reached the mailbox, so it still asks for P; let the next one through.
    rt.refuse_write(0)
    e = rt.wait_journal(lambda e: len(e) >= 2, 5, "P after the refusal ends")
    check(plain(e) == [("m1000", 2), ("m1000", 4)], "journal %s" % fmt_entries(e))
    rt.take(e)
    c.expect_next(b"[Turning On]", 3)
    check(dev.commands_seen("P") == 2, "P commands: %d" % dev.commands_seen("P"))

    writes = rt.writes()
    rt.refuse_write(0xBEEF)
    rt.set("m1000", 6)
    c.expect_next(write_error(0xBEEF) + b"[A123]" + write_error(0xBEEF, "l1000"), 5)
    # The refused l1000 write ends the R: no result code was even tried.
    check(rt.writes() - writes == 2, "write submits in R: %d" % (rt.writes() - writes))
    rt.set("m1000", 0)
    check(rt.pending() == [], "journal %s" % fmt_entries(rt.pending()))


@scenario
def r_stops_after_l1000(s):
    """R whose l1000 write fails: no result code follows, m1000 keeps 7."""
    s.start_all()
    rt, c = s.runtime, s.console
    s.device.cmd("delay 1500")
    rt.set("l1000", 555)
    rt.set("m1000", 6)
    e = rt.wait_journal(lambda e: len(e) >= 1, 5, "R acknowledgement")
    check(plain(e) == [("m1000", 7)], "journal %s" % fmt_entries(e))
    rt.take(e)
    rt.refuse_write(0xBEEF)  # while the R waits for its late reply
    c.expect_next(b"[A123]" + write_error(0xBEEF, "l1000"), 5)
    rt.refuse_write(0)
    s.quiet_cycles(2)
    check((rt.get("m1000"), rt.get("l1000")) == (7, 555),
          "mailbox m1000 %d, l1000 %d" % (rt.get("m1000"), rt.get("l1000")))
    check(c.rest() == b"", "console after the R: %r" % c.rest())


@scenario
def port_cannot_open(s):
    """Ports that cannot be opened: banner, message, exit 255 at once; the argument's number."""
    s.start_runtime()
    for args, shown in (([], 4),
                        (["abc"], 0),
                        (["-1"], 4294967295),
                        (["7"], 7),
                        (["4", "5"], 4),
                        ([" +12"], 12),
                        (["99999999999"], 2147483647)):
        b = s.start_bridge(args)
        status = b.wait_exit(5)
        b.console.thread.join(2)
        expected = banner(shown) + PORT_ERROR
        check(bytes(b.console.data) == expected, "args %r: console %r" % (args, b.console.data))
        check(status == 255, "args %r: exit status %r" % (args, status))
        check(time.monotonic() - b.started < 3, "args %r: slow to end" % args)
        b.stderr.close()

    # The number picks the port: with a device on COM7 only, 7 opens and the default does not.
    s.start_device(com=7)
    b = s.start_bridge(["7"])
    b.console.expect_next(banner(7) + CONNECTING, 5)
    check(b.proc.poll() is None, "bridge on COM7 ended")
    b.stop()
    b = s.start_bridge()
    check(b.wait_exit(5) == 255, "bridge on COM4 did not fail")


def main(argv):
    return run_named(SCENARIOS, argv, __doc__, "run.py")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
