#!/usr/bin/env python3
"""Runs one fault scenario of okvbridge by name: the real bridge between the simulated device and
the simulated runtime while one of them misbehaves.

    faults.py NAME [--bridge PATH] [--device PATH] [--tool PATH] [--libdir DIR]
    faults.py --list
    faults.py --help

Every scenario checks that the bridge keeps running, prints the messages it should, and never
posts a code that the bytes the device actually sent do not justify. The expected codes come from
the mailbox rules written out in okvsim/mailbox.py, not from the bridge's code.

The environment may override each path as for the end-to-end tests (see okvsim/scenario.py).
Exit status 0 when the scenario held, 1 when it did not (with the console, the device log and the
journal printed), 2 for a bad name.
"""

import os
import random
import re
import select
import subprocess
import sys
import threading
import time

sys.dont_write_bytecode = True  # nothing may land in the source tree
# Started by hand from any folder: the shared package is tests/support/okvsim.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "support"))

from okvsim.console import (INSTALLED, NO_EXECUTOR, REMOVED, TIMEOUT,  # noqa: E402
                            banner, CONNECTED, CONNECTING, read_error, shown_reply, write_error)
from okvsim.errors import check, check_between  # noqa: E402
from okvsim.mailbox import (DEFAULT_REPLY, READ_LIMIT, REQUEST, TIMEOUT_STATUS,  # noqa: E402
                            expected, p_expected)
from okvsim.procs import cpu_seconds, escaped, stop, thread_named  # noqa: E402
from okvsim.scenario import run_named  # noqa: E402
from okvsim.state import fmt_entries, plain  # noqa: E402


def noise(rng, n, nul=True):
    """n random bytes; without NUL unless asked; never the two words by chance."""
    while True:
        data = bytes(rng.randrange(0 if nul else 1, 256) for _ in range(n))
        if b"Sleep" not in data and b"Turning On" not in data:
            return data


# --- helpers ---------------------------------------------------------------------------------------

def native(s):
    """CPU figures come from /proc, which shows only a native bridge."""
    return s.config.native and os.path.isdir("/proc/%d" % s.bridge.proc.pid)


def alive(s):
    check(s.bridge.proc.poll() is None, "the bridge ended with status %r" % s.bridge.proc.poll())


def serve(s, kind, taken, timed_out=False, timeout=15):
    """One request whose reply is known to be `taken`: codes, l1000 and console all checked."""
    e = s.request(kind, expected(kind, taken, timed_out), timeout)
    s.console.expect_next(shown_reply(taken, timed_out))
    return e


SCENARIOS = {}


def scenario(fn):
    SCENARIOS[fn.__name__] = fn
    return fn


# --- the scenarios ---------------------------------------------------------------------------------

@scenario
def device_unplugged(s):
    """The adapter pulled out while a P waits for its reply: the wait times out, later requests time
    out without the bridge spinning on the dead line, and the device back in place answers a
    bridge that opens it again."""
    s.start_all()
    rt, c, dev = s.runtime, s.console, s.device
    rt.delay(0)  # no completion delay: what CPU the bridge uses is its own
    dev.cmd("delay 2500")
    rt.set("m1000", 1)
    dev.log.expect(b"<- P", 5)
    dev.cmd("unplug")
    want = p_expected(b"", True)
    e = rt.wait_journal(lambda e: len(e) >= len(want), 10, "P over a pulled line")
    check(plain(e) == want, "journal %s" % fmt_entries(e))
    rt.take(e)
    c.expect_next(TIMEOUT + b"[]", 3)

    pid = s.bridge.proc.pid
    measure = native(s)
    if not measure:
        print("not checked here: the CPU on the dead line (only a native bridge's watcher thread "
              "is found by its name in /proc)")
    if measure:
        tid = thread_named(pid, "okv-watcher")
        cpu0, watcher0, t0 = cpu_seconds(pid), cpu_seconds(pid, tid), time.monotonic()
    serve(s, "r", b"", True, 20)
    s.quiet_cycles(3)
    if measure:
        wall = time.monotonic() - t0
        cpu, watcher = cpu_seconds(pid) - cpu0, cpu_seconds(pid, tid) - watcher0
        print("line gone for %.1f s: bridge CPU %.2f s, watcher %.2f s" % (wall, cpu, watcher))
        check(watcher <= 0.05, "the watcher spins on the dead line: %.2f s CPU" % watcher)
        check(cpu <= 0.05 * wall, "the bridge used %.2f s CPU in %.1f s" % (cpu, wall))

    # Back in: the running bridge holds the dead line and can only time out, which is the truth of
    # what it receives; started again (as a service wrapper does), it reaches the device.
    dev.cmd("delay 0")
    dev.cmd("plug")
    serve(s, "r", b"", True, 20)
    check(dev.commands_seen("P") == 1 and dev.commands_seen("R") == 0,
          "the device heard a command over the dead line")
    alive(s)
    s.bridge.stop()
    s.start_bridge()
    c = s.console
    c.expect_next(banner(4) + CONNECTING + CONNECTED + INSTALLED, 8)
    serve(s, "p", b"Turning On")
    serve(s, "r", b"A123")


@scenario
def garbage_bursts(s):
    """Bursts of random bytes and of NULs on the line, before and inside replies: every code follows
    the bytes the bridge took, up to their first NUL."""
    s.start_all()
    rt, dev = s.runtime, s.device
    rng = random.Random(20261208)

    def burst(data):
        sent = b"(%d byte%s, unsolicited)" % (len(data), b"" if len(data) == 1 else b"s")
        before = dev.log.count(sent)
        dev.cmd("send " + escaped(data))  # logged as sent before the command's "ok"
        check(dev.log.count(sent) == before + 1, "device: burst of %d bytes not sent" % len(data))

    # NULs in front: the reply text is empty, whatever follows.
    burst(b"\0" * 300)
    serve(s, "p", b"\0" * 300 + b"Turning On")
    # Noise without NUL (high bytes, CR, LF, brackets, printf conversions) in front of the reply.
    junk = b"%s%n%x]\r\n[" + noise(rng, 200, nul=False)
    burst(junk)
    dev.cmd("p Sleep")
    serve(s, "p", junk + b"Sleep")
    # An R whose first byte is a NUL: the number is read from the second byte all the same.
    burst(b"\0")
    dev.cmd("r 42x")
    serve(s, "r", b"\x0042x")
    # Random replies with NULs, as the device's only answer.
    for size in (7, 100, 900):
        reply = noise(rng, size)
        dev.cmd("next p " + escaped(reply))
        serve(s, "p", reply)
        reply = b"A" + noise(rng, size)
        dev.cmd("next r " + escaped(reply))
        serve(s, "r", reply)
    # A burst longer than one read: the first request takes 1023 bytes, the next the rest with its
    # own reply behind.
    junk = noise(rng, 1500, nul=False)
    burst(junk)
    dev.cmd("p Turning On")
    serve(s, "p", junk[:READ_LIMIT])
    dev.cmd("silent on")
    e = serve(s, "p", junk[READ_LIMIT:] + b"Turning On")
    check(e[-1][3] - e[0][3] < 1.5, "queued bytes did not end the wait at its first look")
    alive(s)


@scenario
def huge_reply(s):
    """A 6000-byte reply, more than the receive queue holds: it comes 1023 bytes a read, in order,
    over six requests, with nothing lost or doubled and each code following its own part."""
    s.start_all(["--long", "6000"])
    dev = s.device
    body = bytes(ord("0") + i % 10 for i in range(6000))
    data = body[:-5] + b"<END>"
    serve(s, "p", data[:READ_LIMIT])
    dev.cmd("silent on")
    at = READ_LIMIT
    for kind in "rprpr":
        part = data[at:at + READ_LIMIT]
        e = serve(s, kind, part)
        check(e[-1][3] - e[0][3] < 1.5, "queued bytes did not end the wait at its first look")
        at += len(part)
    check(at == len(data), "%d bytes taken of %d" % (at, len(data)))
    s.quiet_cycles(1)
    serve(s, "r", b"", True, 20)  # all taken: nothing is left to read
    check(dev.commands_seen("P") == 3 and dev.commands_seen("R") == 4, "device commands")
    alive(s)


@scenario
def reply_near_limit(s):
    """Replies just inside and just outside the wait: R looks every 200 ms up to 5000 ms, P every
    800 ms, its last look at 5600 ms. A late reply is not lost: the next request takes it."""
    s.start_all()
    rt, dev = s.runtime, s.device
    rt.delay(0)
    dev.cmd("delay 4500")
    e = serve(s, "r", b"A123")
    check_between(e[-1][3] - e[0][3], 4.45, 5.1, "R acknowledgement to result")
    dev.cmd("delay 4400")
    e = serve(s, "p", b"Turning On")
    check_between(e[-1][3] - e[0][3], 4.35, 5.0, "P acknowledgement to result")
    # Past 5000 ms, but before the P's last look: still a reply, without a timeout.
    dev.cmd("delay 5200")
    e = serve(s, "p", b"Turning On")
    check_between(e[-1][3] - e[0][3], 5.15, 5.8, "P acknowledgement to result")

    # Too late for the R: timeout, and the reply waits for the next request.
    dev.cmd("delay 5600")
    e = serve(s, "r", b"", True, 20)
    check_between(e[1][3] - e[0][3], 4.95, 5.5, "R acknowledgement to timeout")
    dev.log.expect(b'-> "A123" (4 bytes)', 3)
    dev.cmd("delay 0")
    dev.cmd("silent on")
    serve(s, "r", b"A123")
    # Too late for the P's last look.
    dev.cmd("silent off")
    dev.cmd("delay 6300")
    dev.cmd("p Sleep")
    e = serve(s, "p", b"", True, 20)
    check_between(e[1][3] - e[0][3], 5.55, 6.2, "P acknowledgement to timeout")
    dev.log.expect(b'-> "Sleep" (5 bytes)', 3)
    dev.cmd("silent on")
    serve(s, "r", b"Sleep")
    alive(s)


@scenario
def runtime_never_completes(s):
    """Completions stop in the middle of a P and of an R: the writes give up after 1000 ms with an
    error, the R stops at its l1000, the mailbox keeps the acknowledgement, and nothing is served
    until completions come back."""
    s.start_all()
    rt, c, dev = s.runtime, s.console, s.device
    dev.cmd("delay 1500")
    rt.set("l1000", 555)
    for kind, ack, reply, tail in (("p", 2, b"[Turning On]", write_error(TIMEOUT_STATUS)),
                                   ("r", 7, b"[A123]", write_error(TIMEOUT_STATUS, "l1000"))):
        rt.set("m1000", 1 if kind == "p" else 6)
        e = rt.wait_journal(lambda e: len(e) >= 1, 5, "acknowledgement")
        check(plain(e) == [("m1000", ack)], "journal %s" % fmt_entries(e))
        rt.take(e)
        rt.never(True)  # while the device is still to answer
        c.expect_next(reply + tail, 8)
        t1 = c.expect_next(read_error(TIMEOUT_STATUS), 5)
        t2 = c.expect_next(read_error(TIMEOUT_STATUS), 5)
        check_between(t2 - t1, 1.8, 2.7, "cycle with reads that never complete")
        check(rt.pending() == [], "writes completed: %s" % fmt_entries(rt.pending()))
        check(rt.get("m1000") == ack and rt.get("l1000") == 555,
              "mailbox m1000 %d, l1000 %d" % (rt.get("m1000"), rt.get("l1000")))
        rt.never(False)
        s.quiet_cycles(2)  # the acknowledgement asks for nothing
        check(c.rest() == b"", "console: %r" % c.rest())
    check(dev.commands_seen("P") == 1 and dev.commands_seen("R") == 1, "device commands")
    dev.cmd("delay 0")
    serve(s, "r", b"A123")
    alive(s)


@scenario
def runtime_refuses_everything(s):
    """A runtime that refuses probes, reads and writes, with refusal words that look like other
    statuses: no request is served while reads are refused, and every write refusal is reported
    or not by its rule."""
    s.start_all()
    rt, c, dev = s.runtime, s.console, s.device
    rt.executor(False)
    rt.refuse_read(0xE0E0)
    rt.refuse_write(0xE0E0)
    c.expect_next(REMOVED + read_error(0xE0E0), 5)
    rt.set("m1000", 1)  # only now: a read already under way would have delivered it
    c.expect_next(NO_EXECUTOR, 4)
    c.expect_next(NO_EXECUTOR, 4)
    rt.executor(True)
    c.expect_next(INSTALLED, 4)
    # A refused read delivers no value, whatever the word says: not even 1 as a "result code".
    for word in (0xE0E0, 0x0001, 0x0006, TIMEOUT_STATUS, 0xFFFF):
        rt.refuse_read(word)
        c.expect(read_error(word), 4)
        c.expect_next(read_error(word), 3)
    check(dev.commands_seen("P") == 0 and rt.pending() == [], "a refused read was served")

    # Writes refused with a word whose high byte is 0: only the P acknowledgement reports it; the
    # mailbox still holds 1, so the P runs again every cycle until the writes go through.
    rt.refuse_read(0)
    rt.refuse_write(0x0005)
    c.expect(write_error(5) + b"[Turning On]" + write_error(5) + b"[Turning On]", 6)
    rt.refuse_write(0)
    # The refusal may end between a P's acknowledgement and its result: then only 4 is written.
    e = rt.wait_journal(lambda e: len(e) >= 1 and plain(e)[-1] == ("m1000", 4), 6,
                        "P result once writes go through")
    check(plain(e)[-1] == ("m1000", 4) and set(plain(e)) <= {("m1000", 2), ("m1000", 4)},
          "journal %s" % fmt_entries(e))
    rt.take(e)
    s.quiet_cycles(1)
    check(c.count(b"[Turning On]") == dev.commands_seen("P"), "a P reply not printed once")
    # The R reports nothing of such a refusal: its l1000 write "succeeds" silently and it goes on.
    rt.refuse_write(0x0005)
    rt.set("m1000", 6)
    c.expect(b"[A123][A123]", 6)
    check(c.count(b"l1000") == 0, "an R write error was reported")
    rt.refuse_write(0)
    e = rt.wait_journal(lambda e: len(e) >= 1 and plain(e)[-1] == ("m1000", 8), 6, "R result")
    check(set(plain(e)) <= {("m1000", 7), ("l1000", 123), ("m1000", 8)},
          "journal %s" % fmt_entries(e))
    alive(s)


@scenario
def executor_flapping(s):
    """The executor removed and installed every second while the application asks for P and R in
    turn: each request is served once, with its right codes, and the messages alternate."""
    s.start_all()
    rt, c, dev = s.runtime, s.console, s.device
    rt.delay(0)
    stopping = threading.Event()

    # About once a second, but not in step with the bridge's two-second probe without an
    # executor, which would then always find it out.
    rng = random.Random(7)

    def flap():
        on = True
        while not stopping.wait(rng.uniform(0.6, 1.4)):
            on = not on
            rt.executor(on)

    flapper = threading.Thread(target=flap, daemon=True)
    flapper.start()
    try:
        served = {"p": 0, "r": 0}
        kind = "p"
        for _ in range(6):
            want = expected(kind, DEFAULT_REPLY[kind])
            rt.set("m1000", REQUEST[kind])
            e = rt.wait_journal(lambda e: len(e) >= len(want), 15, "request %s" % kind)
            check(plain(e) == want, "request %s: journal %s" % (kind, fmt_entries(e)))
            rt.take(e)
            served[kind] += 1
            kind = "r" if kind == "p" else "p"
    finally:
        stopping.set()
        flapper.join()
    rt.executor(True)
    time.sleep(2.5)  # two cycles: any extra transaction would write
    check(rt.pending() == [], "extra writes: %s" % fmt_entries(rt.pending()))
    check(dev.commands_seen("P") == served["p"] and dev.commands_seen("R") == served["r"],
          "device heard %d P and %d R for %s" % (dev.commands_seen("P"), dev.commands_seen("R"),
                                                 served))
    console = c.rest()
    check(re.fullmatch(rb"(Executeur installe\n|Executeur desinstalle\n|"
                       rb"Pas d'executeur installe\n|\[Turning On\]|\[A123\])*", console),
          "unexpected console text: %r" % console)
    states = re.findall(rb"Executeur (?:desinstalle|installe)\n", console)
    check(len(states) >= 4, "only %d executor changes seen" % len(states))
    for i, line in enumerate(states):
        check(line == (REMOVED if i % 2 == 0 else INSTALLED), "executor messages out of turn")
    # Each "Pas d'executeur" comes only while the executor is out.
    state = True
    for m in re.finditer(rb"Executeur desinstalle\n|Executeur installe\n|Pas d'executeur", console):
        state = {REMOVED: False, INSTALLED: True}.get(m.group(0), state)
        check(m.group(0) != b"Pas d'executeur" or not state, "no-executor while installed")
    alive(s)


@scenario
def runtime_garbage(s):
    """An entry point that answers with random bytes, from the middle of a P on and while a request
    waits: the bridge goes on, prints only its own messages, and posts nothing that the device's
    replies do not justify; sane answers again, it serves the waiting request."""
    s.start_all()
    rt, c = s.runtime, s.console
    rt.set("l1000", 555)
    # Every write the garbage may let through: the two P's and, should a scrambled read deliver 1
    # or 6 by chance, their transactions with the device's usual replies.
    allowed = {("m1000", 2), ("m1000", 4), ("m1000", 7), ("m1000", 8), ("l1000", 123)}

    # Garbage from the moment the journal shows the P's acknowledgement: the bridge has sent "P"
    # and waits 800 ms before it first looks at the line, so its result write is still to come.
    rt.set("m1000", 1)
    e = rt.wait_journal(lambda e: len(e) >= 1, 5, "P acknowledgement")
    rt.garbage(True)  # through the mapping: at once, well inside those 800 ms
    writes, probes = rt.writes(), rt.counter("probes")
    check(plain(e) == [("m1000", 2)] and rt.pending() == e,
          "garbage did not start between the P's acknowledgement and its result: journal %s" %
          fmt_entries(rt.pending()))
    rt.take(e)
    c.expect(b"[Turning On]", 5)
    # The transaction is over once the next iteration reads the mailbox or, its executor taken for
    # removed by a scrambled probe, probes again.
    rt.wait_counter(lambda: rt.reads() + rt.counter("probes"), rt.reads() + probes, 5,
                    "the cycle after the P")
    check(rt.writes() > writes, "the P's result write did not meet the garbage")
    check(set(plain(rt.pending())) <= allowed, "journal %s" % fmt_entries(rt.pending()))
    rt.take(rt.pending())

    # A request that waits while the garbage goes on: the probes that fail take the executor away.
    rt.set("m1000", 1)
    c.expect(REMOVED, 6)
    rt.wait_counter(lambda: rt.counter("probes"), rt.counter("probes") + 2, 10,
                    "probes without an executor")
    check(set(plain(rt.pending())) <= allowed, "journal %s" % fmt_entries(rt.pending()))
    s.tool("fault", "garbage", "off")
    e = rt.wait_journal(lambda e: len(e) >= 1 and plain(e)[-1] == ("m1000", 4), 12,
                        "the waiting P, once answers are sane")
    check(set(plain(e)) <= allowed, "journal %s" % fmt_entries(e))
    rt.take(e)
    c.expect(b"[Turning On]", 3)
    text = bytes(c.data)
    messages = (rb"Communication OKV \(COM4\) <-> Corvalen V1\.000\n|Connexion a Corvalen\.\.\.\n|"
                rb"Connexion effectuee\n|Executeur installe\n|Executeur desinstalle\n|"
                rb"Pas d'executeur installe\n|Erreur [0-9a-f]{1,4} \xe0 la lecture de m1000\n|"
                rb"Erreur [0-9a-f]{1,4} \xe0 l'\xe9criture de [ml]1000\n|Com timeout\n|"
                rb"\[Turning On\]|\[A123\]|\[\]")
    check(re.fullmatch(rb"(%s)*" % messages, text), "unexpected console text: %r" % text[-400:])
    s.quiet_cycles(1)
    serve(s, "r", b"A123")
    check(s.bridge.stderr_text() == b"", "stderr: %r" % s.bridge.stderr_text()[:400])
    alive(s)


@scenario
def console_reader_gone(s):
    """The reader of the bridge's console goes away (a log process that died under a service
    wrapper): the bridge goes on serving the mailbox with nobody reading what it prints."""
    s.start_runtime()
    s.start_device()
    read_end, write_end = os.pipe()
    proc = subprocess.Popen(s.config.bridge_cmd, env=s.bridge_env(), stdin=subprocess.DEVNULL,
                            stdout=write_end, stderr=subprocess.DEVNULL, start_new_session=True,
                            cwd=s.tmp)
    os.close(write_end)
    try:
        seen, deadline = b"", time.monotonic() + 8
        # A Windows bridge writes CR LF.
        while INSTALLED not in (seen.replace(b"\r\n", b"\n") if s.config.console_crlf else seen):
            ready, _, _ = select.select([read_end], [], [], max(0, deadline - time.monotonic()))
            chunk = os.read(read_end, 4096) if ready else b""
            check(chunk != b"", "console: %r, then nothing" % seen)
            seen += chunk
        os.close(read_end)
        read_end = -1
        s.request("p", [("m1000", 2), ("m1000", 4)])  # its reply printed into a closed pipe
        s.request("r", [("m1000", 7), ("l1000", 123), ("m1000", 8)])
        check(proc.poll() is None, "the bridge ended with status %r" % proc.poll())
    finally:
        if read_end >= 0:
            os.close(read_end)
        stop(proc)


def main(argv):
    return run_named(SCENARIOS, argv, __doc__, "faults.py")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
