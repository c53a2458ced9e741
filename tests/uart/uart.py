#!/usr/bin/env python3
"""Runs the Linux bridge on real serial drivers, in a small QEMU guest, and proves its line from
what the drivers wrote into the emulated hardware.

    uart.py NAME [--bridge PATH] [--check PATH] [--device PATH] [--tool PATH] [--libdir DIR]
    uart.py --list | --help

The guest is a Debian kernel with a busybox initramfs that sees this host's files read-only over
9p and runs this same script (role --guest) under the host's root: the bridge, the check tool and
the runtime library of the build tree, with the application played there through the simulated
runtime. The device is the simulated one, on this host, at the other end of the guest's line: the
16550 UART (ttyS0, Linux's 8250 driver) or an FTDI USB adapter (ttyUSB0, ftdi_sio). QEMU's trace
of the UART's register writes and of the adapter's control requests is the proof of the settings:
an emulated line passes bytes at any speed and parity, so only the trace shows what the bridge set.
The guest writes a marker into the UART's scratch register at every step, so that each check looks
at the writes of its own step only.

Needs qemu-system-x86_64, a static busybox, cpio and a Debian kernel package unpacked
(scripts/guest_kernel.sh) in OKV_GUEST_KERNEL (default /var/cache/okvbridge-kernel); without them
it exits 77, the reason printed. KVM is tried first, then plain emulation (OKV_QEMU_ACCEL=tcg or
kvm chooses). Exit status 0 when the scenario held, 1 when it did not (naming the check), 2 for a
bad name.
"""

import collections
import glob
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # nothing may land in the source tree
# Started by hand from any folder: the shared package is tests/support/okvsim.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "support"))

from okvsim import console  # noqa: E402
from okvsim.errors import Failure, check  # noqa: E402
from okvsim.mailbox import expected  # noqa: E402
from okvsim.procs import Device, cpu_seconds, stop  # noqa: E402
from okvsim.state import plain  # noqa: E402

SKIP = 77
KERNEL_DIR = os.environ.get("OKV_GUEST_KERNEL", "/var/cache/okvbridge-kernel")
# In dependency order; each one's own dependencies are read from the module itself.
MODULES = ["virtio_pci", "virtio_console", "9pnet_virtio", "9p", "uhci-hcd", "ftdi_sio"]
SCRATCH_PORT = 0x3F8 + 7  # ttyS0's scratch register: markers in the trace, unused by the driver
KVM_SIGN_OF_LIFE_S = 10  # a guest KVM runs at all reaches its init well within this
GUEST_DEADLINE_S = 100

SCENARIOS = {
    "uart16550": "The 16550 UART: 9600 8N1 without flow control and DTR/RTS off from foreign "
                 "settings; P and R; okvbridge-check beside the bridge leaves the line alone; "
                 "DTR/RTS raised by another opener are off again before the next command.",
    "usb_adapter": "The FTDI USB adapter: the same settings, P and R; the adapter pulled during "
                   "a P: the bridge posts 5 after the timeout, runs on and does not spin.",
}

# The foreign line the bridge starts from: another speed, 7 bits, even parity, 2 stop bits, both
# kinds of flow control, modem lines watched.
FOREIGN = ["115200", "cs7", "parenb", "-parodd", "cstopb", "crtscts", "ixon", "ixoff", "-clocal"]


# --- the host's side ------------------------------------------------------------------------------

def options(argv):
    opts, rest, i = {}, [], 0
    while i < len(argv):
        if argv[i].startswith("--") and i + 1 < len(argv) and argv[i] not in ("--list", "--help"):
            opts[argv[i][2:]] = argv[i + 1]
            i += 2
        else:
            rest.append(argv[i])
            i += 1
    return opts, rest


def what_is_missing():
    """Why the guest cannot be made here, or None."""
    for tool in ("qemu-system-x86_64", "cpio"):
        if shutil.which(tool) is None:
            return "no %s (apt-get install qemu-system-x86 cpio)" % tool
    if not os.path.exists("/bin/busybox"):
        return "no /bin/busybox (apt-get install busybox-static)"
    if not glob.glob(os.path.join(KERNEL_DIR, "boot", "vmlinuz-*")):
        return "no guest kernel in %s (scripts/guest_kernel.sh)" % KERNEL_DIR
    return None


def module_files():
    """The modules the guest loads, dependencies first: name -> path."""
    found = {}
    for path in glob.glob(os.path.join(KERNEL_DIR, "lib", "modules", "*", "kernel", "**", "*.ko"),
                          recursive=True):
        found[os.path.basename(path)[:-3].replace("-", "_")] = path
    order = []

    def add(name):
        key = name.replace("-", "_")
        check(key in found, "guest kernel: module %s missing in %s" % (name, KERNEL_DIR))
        if found[key] in order:
            return
        with open(found[key], "rb") as f:
            data = f.read()
        at = data.find(b"\0depends=")
        deps = data[at + 9:data.index(b"\0", at + 9)].decode() if at >= 0 else ""
        for dep in filter(None, deps.split(",")):
            add(dep)
        order.append(found[key])

    for name in MODULES:
        add(name)
    return order


# The guest's scratch space is a tmpfs at /dev/shm (TMPDIR), so that the host's /tmp, where a
# build tree may be, stays visible.
INIT = """#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in $(cat /modules/order); do insmod /modules/$m || echo "guest: insmod $m failed"; done
echo "guest: init" > /dev/hvc0
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose host /host
mount -t proc proc /host/proc
mount -t sysfs sys /host/sys
mount -t devtmpfs dev /host/dev
mkdir /host/dev/shm
mount -t tmpfs tmp /host/dev/shm
mount -t 9p -o trans=virtio,version=9p2000.L,cache=none work /host{work}
TMPDIR=/dev/shm chroot /host /usr/bin/python3 {script} --guest {work}/config.json > /dev/hvc0 2>&1
echo "guest: done $?" > /dev/hvc0
poweroff -f
"""


def make_initramfs(work):
    root = os.path.join(work, "initramfs")
    for d in ("bin", "proc", "sys", "dev", "host", "modules"):
        os.makedirs(os.path.join(root, d))
    shutil.copy("/bin/busybox", os.path.join(root, "bin", "busybox"))
    names = []
    for path in module_files():
        shutil.copy(path, os.path.join(root, "modules"))
        names.append(os.path.basename(path))
    with open(os.path.join(root, "modules", "order"), "w") as f:
        f.write("\n".join(names) + "\n")
    with open(os.path.join(root, "init"), "w") as f:
        f.write(INIT.format(work=work, script=os.path.abspath(__file__)))
    os.chmod(os.path.join(root, "init"), 0o755)
    image = os.path.join(work, "initramfs.cpio")
    listing = subprocess.run(["find", "."], cwd=root, capture_output=True, check=True).stdout
    with open(image, "wb") as out:
        subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=root, input=listing,
                       stdout=out, check=True)
    return image


class Guest:
    """One QEMU run: its command line, console, trace and QMP socket."""

    def __init__(self, work, name, line):
        self.work, self.name = work, name
        self.console = os.path.join(work, "console.log")
        self.trace = os.path.join(work, "trace.log")
        self.qmp_path = os.path.join(work, "qmp.sock")
        kernel = sorted(glob.glob(os.path.join(KERNEL_DIR, "boot", "vmlinuz-*")))[-1]
        self.base = [
            "qemu-system-x86_64", "-M", "pc", "-m", "384", "-smp", "1", "-display", "none",
            "-monitor", "none", "-no-reboot", "-kernel", kernel,
            "-initrd", make_initramfs(work), "-append", "console=hvc0 quiet panic=-1",
            "-device", "virtio-serial-pci", "-chardev", "file,id=con,path=" + self.console,
            "-device", "virtconsole,chardev=con",
            "-fsdev", "local,id=host,path=/,security_model=none,readonly=on,multidevs=remap",
            "-device", "virtio-9p-pci,fsdev=host,mount_tag=host",
            "-fsdev", "local,id=work,path=%s,security_model=none" % work,
            "-device", "virtio-9p-pci,fsdev=work,mount_tag=work",
            "-qmp", "unix:%s,server=on,wait=off" % self.qmp_path,
            "-chardev", "serial,id=line,path=" + line,
            "-trace", "serial_write", "-trace", "serial_update_parameters",
            "-trace", "usb_serial_*", "-D", self.trace]
        if name == "uart16550":
            self.base += ["-serial", "chardev:line"]
        else:
            self.base += ["-serial", "null", "-device", "piix3-usb-uhci,id=uhci",
                          "-device", "usb-serial,id=adapter,chardev=line"]
        self.proc = None
        self.accel = None

    def console_text(self):
        try:
            with open(self.console, "rb") as f:
                return f.read().decode("latin-1")
        except OSError:
            return ""

    def start(self):
        """Boots with KVM when it runs this guest, else with plain emulation."""
        wanted = os.environ.get("OKV_QEMU_ACCEL", "")
        tries = [wanted] if wanted else (["kvm", "tcg"] if os.access("/dev/kvm", os.W_OK)
                                         else ["tcg"])
        for accel in tries:
            for path in (self.console, self.trace):
                if os.path.exists(path):
                    os.unlink(path)
            self.accel = accel
            self.proc = subprocess.Popen(self.base + ["-accel", accel], stdout=subprocess.PIPE,
                                         stderr=subprocess.STDOUT, start_new_session=True)
            if accel != "kvm" or len(tries) == 1:
                return
            # Some KVMs run only specially built guest kernels and hang this one: no init soon.
            deadline = time.monotonic() + KVM_SIGN_OF_LIFE_S
            while time.monotonic() < deadline and self.proc.poll() is None:
                if "guest: init" in self.console_text():
                    return
                time.sleep(0.1)
            stop(self.proc)
            print("KVM did not run the guest within %d s: plain emulation" % KVM_SIGN_OF_LIFE_S)

    def qmp(self, command, **arguments):
        with socket.socket(socket.AF_UNIX) as sock:
            sock.settimeout(5)
            sock.connect(self.qmp_path)
            reader = sock.makefile("rb")
            reader.readline()  # the greeting
            for message in ({"execute": "qmp_capabilities"},
                            {"execute": command, "arguments": arguments}):
                sock.sendall(json.dumps(message).encode() + b"\n")
                while True:
                    answer = json.loads(reader.readline())
                    if "return" in answer or "error" in answer:
                        break
                check("error" not in answer, "QMP %s: %s" % (command, answer))

    def wait(self, deadline, on_request):
        """Waits for the guest to power off, answering its requests (files in the work folder)."""
        while self.proc.poll() is None:
            check(time.monotonic() < deadline, "the guest did not finish within %d s" %
                  GUEST_DEADLINE_S)
            on_request()
            time.sleep(0.05)

    def stop(self):
        stop(self.proc)
        if self.proc is not None and self.proc.stdout is not None:
            return self.proc.stdout.read().decode("latin-1")
        return ""


# The trace, read as the hardware saw it.
SERIAL_WRITE = re.compile(r"serial_write write addr 0x([0-9a-f]+) val 0x([0-9a-f]+)")
USB_CONTROL = re.compile(r"usb_serial_handle_control dev \d+:\d+ got control 0x([0-9a-f]+), "
                         r"value 0x([0-9a-f]+)")
FTDI_MODEM_CONTROL = 0x4001


def trace_steps(path):
    """The trace cut at the guest's markers: {marker: [(kind, fields...)]}, the writes before the
    first marker under 0."""
    steps, step = collections.defaultdict(list), 0  # a step the guest never reached is empty
    with open(path, errors="replace") as f:
        for line in f:
            m = SERIAL_WRITE.search(line)
            if m:
                addr, value = int(m.group(1), 16), int(m.group(2), 16)
                if addr == 7:
                    step = value
                else:
                    steps[step].append(("reg", addr, value))
                continue
            m = USB_CONTROL.search(line)
            if m:
                steps[step].append(("usb", int(m.group(1), 16), int(m.group(2), 16)))
            elif "usb_serial_" in line or "serial_update_parameters" in line:
                steps[step].append(("text", line.strip()))
    return steps


class Uart:
    """The 16550's registers as the driver's writes leave them."""

    def __init__(self):
        self.lcr = self.dll = self.dlm = self.mcr = self.ier = None
        self.command_sent_with_mcr = []  # MCR when each byte went out

    def play(self, events):
        for event in events:
            if event[0] != "reg":
                continue
            _, addr, value = event
            dlab = self.lcr is not None and self.lcr & 0x80
            if addr == 3:
                self.lcr = value
            elif addr == 4:
                self.mcr = value
            elif addr == 0 and dlab:
                self.dll = value
            elif addr == 1 and dlab:
                self.dlm = value
            elif addr == 1:
                self.ier = value
            elif addr == 0:
                self.command_sent_with_mcr.append((value, self.mcr))
        return self


def mcr_writes(events):
    return [e[2] for e in events if e[0] == "reg" and e[1] == 4]


def lines_up(mcr):
    return [name for bit, name in ((1, "DTR"), (2, "RTS")) if mcr & bit]


def prove_16550(steps):
    """Every check of the line, by name; raises on the first that fails."""
    opened = Uart().play(steps[0] + steps[1])
    check(None not in (opened.dll, opened.dlm, opened.lcr, opened.mcr),
          "trace: the open wrote no divisor, LCR or MCR (is the trace on?)")
    divisor = opened.dll | (opened.dlm << 8)
    check(divisor == 12, "speed: divisor %d (115200/%d baud), expected 12 (9600)" % (
        divisor, divisor))
    check(opened.lcr & 0x03 == 0x03, "byte size: LCR 0x%02x gives %d data bits, expected 8" % (
        opened.lcr, 5 + (opened.lcr & 3)))
    check(opened.lcr & 0x08 == 0, "parity: LCR 0x%02x enables parity" % opened.lcr)
    check(opened.lcr & 0x04 == 0, "stop bits: LCR 0x%02x gives two" % opened.lcr)
    check(opened.lcr & 0x80 == 0, "LCR 0x%02x left with the divisor latch open" % opened.lcr)
    # The driver turns the modem status interrupt on for hardware flow control (or for a line that
    # watches carrier), and the automatic flow control bit of a 16750's MCR.
    check(opened.ier is not None and opened.ier & 0x08 == 0,
          "flow control: the driver watches CTS (IER 0x%02x)" % (opened.ier or 0))
    check(opened.mcr & 0x20 == 0, "flow control: automatic RTS/CTS on (MCR 0x%02x)" % opened.mcr)
    check(not lines_up(opened.mcr), "DTR/RTS after the open: %s up (MCR 0x%02x)" % (
        "+".join(lines_up(opened.mcr)), opened.mcr))
    raised = [m for m in mcr_writes(steps[1]) if lines_up(m)]
    print("the open: MCR writes %s (the kernel's DTR/RTS pulse inside open(): %s)" % (
        ["0x%02x" % m for m in mcr_writes(steps[1])], "seen" if raised else "not seen"))

    served = Uart().play(steps[0] + steps[1] + steps[2])
    check((served.dll | served.dlm << 8, served.lcr) == (divisor, opened.lcr),
          "settings changed during P and R")
    for m in mcr_writes(steps[2]):
        check(not lines_up(m), "DTR/RTS during P and R: %s up (MCR 0x%02x)" % (
            "+".join(lines_up(m)), m))
    sent = bytes(b for b, _ in served.command_sent_with_mcr[len(opened.command_sent_with_mcr):])
    check(sent == b"P\nR\n", "bytes the UART sent for P and R: %r" % sent)

    check(mcr_writes(steps[3]) == [], "okvbridge-check beside the bridge wrote the MCR: %s" % (
        ["0x%02x" % m for m in mcr_writes(steps[3])]))

    raised = [m for m in mcr_writes(steps[4]) if lines_up(m) == ["DTR", "RTS"]]
    check(raised, "stty -F beside the bridge did not raise DTR/RTS: the proof below is void")
    before = Uart().play(sum((steps[i] for i in range(5)), []))
    after = Uart().play(sum((steps[i] for i in range(6)), []))
    first = after.command_sent_with_mcr[len(before.command_sent_with_mcr):]
    check(first and first[0][0] == ord("P"), "the P after stty: UART sent %r" % first)
    check(not lines_up(first[0][1]), "DTR/RTS raised by another opener still %s at the P's "
          "first byte (MCR 0x%02x)" % ("+".join(lines_up(first[0][1])), first[0][1]))


def usb_texts(events, what):
    return [e[1] for e in events if e[0] == "text" and what in e[1]]


def modem_controls(events):
    return [e[2] for e in events if e[0] == "usb" and e[1] == FTDI_MODEM_CONTROL]


def ftdi_lines_up(value):
    """The lines a SET_MODEM_CTRL request raises: bits 0/1 are the levels, 8/9 say which are set."""
    return [name for bit, name in ((0, "DTR"), (1, "RTS"))
            if value & (0x100 << bit) and value & (1 << bit)]


def prove_ftdi(steps):
    opened = steps[1]
    bauds = usb_texts(opened, "usb_serial_set_baud")
    check(bauds, "trace: no baud rate set (is the trace on?)")
    check(bauds[-1].endswith(" 9600"), "speed: %s, expected 9600" % bauds[-1])
    data = usb_texts(opened, "usb_serial_set_data")
    check(data, "trace: no data format set")
    m = re.search(r"parity (\S+), data bits (\d+), stop bits (\d+)", data[-1])
    check(m is not None, "trace: unread data format %r" % data[-1])
    check(m.group(2) == "8", "byte size: %s" % data[-1])
    check(m.group(1) == "N", "parity: %s" % data[-1])
    check(m.group(3) == "1", "stop bits: %s" % data[-1])
    flow = usb_texts(opened, "usb_serial_set_flow_control")
    check(flow and flow[-1].endswith(" 0"), "flow control: %s" % (flow[-1:] or "never set"))
    controls = modem_controls(opened)
    check(controls, "trace: no modem control request during the open")
    state = {"DTR": False, "RTS": False}
    for value in controls:
        for bit, name in ((0, "DTR"), (1, "RTS")):
            if value & (0x100 << bit):
                state[name] = bool(value & (1 << bit))
    up = [name for name, on in state.items() if on]
    check(not up, "DTR/RTS after the open: %s up (requests %s)" % (
        "+".join(up), ["0x%04x" % v for v in controls]))
    for value in modem_controls(steps[2]):
        check(not ftdi_lines_up(value), "DTR/RTS during P and R: request 0x%04x" % value)
    for what in ("usb_serial_set_baud", "usb_serial_set_data", "usb_serial_set_flow_control"):
        check(not usb_texts(steps[2], what), "settings changed during P and R: %s" % (
            usb_texts(steps[2], what)))


def host_main(name, opts):
    missing = what_is_missing()
    if missing:
        print("SKIPPED: %s" % missing)
        return SKIP
    started = time.monotonic()
    work = tempfile.mkdtemp(prefix="okv-uart-%s-" % name)
    device = guest = None
    held = False
    try:
        ports = os.path.join(work, "ports")
        os.makedirs(ports)
        device = Device(opts.get("device", "okvsim-device"), ports, 4)
        config = {
            "name": name, "work": work,
            "bridge": opts.get("bridge", "okvbridge"), "check": opts.get("check", "okvbridge-check"),
            "tool": opts.get("tool", "okvsim-runtime"), "libdir": opts.get("libdir", ""),
            "tty": "/dev/ttyS0" if name == "uart16550" else "/dev/ttyUSB0",
        }
        with open(os.path.join(work, "config.json"), "w") as f:
            json.dump(config, f)
        guest = Guest(work, name, os.path.realpath(os.path.join(ports, "COM4")))
        guest.start()
        print("guest booting with %s" % guest.accel)
        answered = set()

        def on_request():
            # The pull: the device stays silent, and the adapter goes once the P is on its way.
            if os.path.exists(os.path.join(work, "pull")) and "pull" not in answered:
                answered.add("pull")
                device.cmd("silent on")
                open(os.path.join(work, "pull-armed"), "w").close()
            if "pull" in answered and "pulled" not in answered:
                if device.log.count(b" <- P") >= 2:
                    answered.add("pulled")
                    guest.qmp("device_del", id="adapter")
                    open(os.path.join(work, "pulled"), "w").close()

        guest.wait(started + GUEST_DEADLINE_S, on_request)
        report_path = os.path.join(work, "report.json")
        check(os.path.exists(report_path), "the guest wrote no report")
        with open(report_path) as f:
            report = json.load(f)
        for line in report.get("notes", []):
            print(line)
        # The trace is read even when the guest failed: a wrong setting there (hardware flow
        # control that stalls the line) is the cause to name, the guest's time-out its effect.
        failure = report.get("failure")
        try:
            (prove_16550 if name == "uart16550" else prove_ftdi)(trace_steps(guest.trace))
        except Failure as e:
            raise Failure("%s%s" % (e, "; in the guest: %s" % failure if failure else ""))
        check(failure is None, "in the guest: %s" % failure)
        held = True
    except Failure as e:
        print("FAILED %s: %s" % (name, e))
    finally:
        qemu_output = guest.stop() if guest is not None else ""
        device_log = device.stop() if device is not None else b""
        if not held:
            print("---- QEMU (%s): %s" % (guest.accel if guest else "-", qemu_output[-2000:]))
            print("---- guest console:\n%s" % (guest.console_text()[-6000:] if guest else ""))
            print("---- device log:\n%s" % device_log.decode("latin-1")[-3000:])
            trace = os.path.join(work, "trace.log")
            if os.path.exists(trace):
                with open(trace, errors="replace") as f:
                    lines = [ln for ln in f if "serial_read" not in ln]
                print("---- trace (%d lines, the last 80):\n%s" % (len(lines), "".join(lines[-80:])))
        shutil.rmtree(work, ignore_errors=True)
    if held:
        print("passed %s in %.1f s" % (name, time.monotonic() - started))
    return 0 if held else 1


# --- the guest's side -----------------------------------------------------------------------------

def marker(step):
    """Writes `step` into the scratch register: the trace's cut between two steps."""
    fd = os.open("/dev/port", os.O_WRONLY)
    try:
        os.lseek(fd, SCRATCH_PORT, os.SEEK_SET)
        os.write(fd, bytes([step]))
    finally:
        os.close(fd)


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not predicate():
        check(time.monotonic() < deadline, "%s not seen within %.1f s" % (what, timeout))
        time.sleep(0.05)


def guest_main(config_path):
    from okvsim.scenario import Config, Scenario
    with open(config_path) as f:
        config = json.load(f)
    work, tty = config["work"], config["tty"]
    notes = []
    report = {"notes": notes, "failure": None}
    argv = ["--bridge", config["bridge"], "--check", config["check"], "--tool", config["tool"],
            "--libdir", config["libdir"], config["name"]]
    s = Scenario(Config(argv), config["name"])
    try:
        wait_for(lambda: os.path.exists(tty), 15, tty)
        subprocess.run(["stty", "-F", tty] + FOREIGN, check=True)
        marker(1)
        os.symlink(tty, os.path.join(s.ports, "COM4"))
        s.start_runtime()
        s.start_bridge()
        for message in (console.BANNER, console.CONNECTING, console.CONNECTED, console.INSTALLED):
            s.console.expect_next(message, 10)
        s.runtime.wait_counter(s.runtime.reads, 0, 10, "first mailbox read")
        marker(2)
        s.request("p", expected("p", b"Turning On"))
        s.console.expect_next(b"[Turning On]")
        s.request("r", expected("r", b"A123"))
        s.console.expect_next(b"[A123]")
        marker(3)
        if config["name"] == "uart16550":
            guest_16550_neighbours(s, notes)
        else:
            guest_pull(s, work, notes)
    except Failure as e:
        report["failure"] = str(e)
    except Exception as e:  # the host must learn of it, not wait for a report
        import traceback
        report["failure"] = "%s\n%s" % (e, traceback.format_exc())
    finally:
        if report["failure"] is not None:
            s.diagnostics()
        s.cleanup()
        with open(os.path.join(work, "report.json"), "w") as f:
            json.dump(report, f)
    return 0


def guest_16550_neighbours(s, notes):
    """okvbridge-check, then stty, beside the running bridge; a P after each."""
    out = subprocess.run(s.config.check_cmd + ["4"], env=s.bridge_env(), capture_output=True)
    marker(4)
    text = out.stdout.decode("latin-1")
    port_lines = [line for line in text.splitlines() if "COM4" in line]
    notes.append("okvbridge-check beside the bridge: %s" % port_lines)
    check(any("held" in line for line in port_lines),
          "okvbridge-check did not report the line held: %r" % text)
    subprocess.run(["stty", "-F", "/dev/ttyS0"], check=True, capture_output=True)
    marker(5)
    s.request("p", expected("p", b"Turning On"))
    s.console.expect_next(b"[Turning On]")
    marker(6)


def guest_pull(s, work, notes):
    """The adapter pulled while a P waits for its reply."""
    open(os.path.join(work, "pull"), "w").close()
    wait_for(lambda: os.path.exists(os.path.join(work, "pull-armed")), 10, "the host's answer")
    rt = s.runtime
    rt.delay(0)  # no completion delay: what CPU the bridge uses is its own
    rt.set("m1000", 1)
    wait_for(lambda: os.path.exists(os.path.join(work, "pulled")), 10, "the adapter pulled")
    want = expected("p", b"", True)
    entries = rt.wait_journal(lambda e: len(e) >= len(want), 10, "P over a pulled adapter")
    got = plain(entries)
    check(got == want, "P over a pulled adapter: journal %s" % got)
    rt.take(entries)
    s.console.expect_next(console.TIMEOUT + b"[]", 3)
    pid = s.bridge.proc.pid
    cpu0, t0 = cpu_seconds(pid), time.monotonic()
    for _ in range(3):
        rt.wait_counter(rt.reads, rt.reads(), 5, "mailbox read after the pull")
    wall, cpu = time.monotonic() - t0, cpu_seconds(pid) - cpu0
    notes.append("adapter gone for %.1f s: bridge CPU %.2f s" % (wall, cpu))
    check(cpu <= 0.1 * wall, "the bridge spins on the pulled adapter: %.2f s CPU in %.1f s" % (
        cpu, wall))


def main(argv):
    if "--guest" in argv:
        return guest_main(argv[argv.index("--guest") + 1])
    if "--help" in argv or "-h" in argv:
        print(__doc__.strip())
        print("\nScenarios:")
        for name, text in SCENARIOS.items():
            print("  %-12s %s" % (name, text))
        return 0
    if "--list" in argv:
        print("\n".join(SCENARIOS))
        return 0
    opts, names = options(argv)
    if len(names) != 1 or names[0] not in SCENARIOS:
        sys.stderr.write("usage: uart.py NAME [options]; names: %s\n" % " ".join(SCENARIOS))
        return 2
    # Stopped (a test run's timeout, ^C), the script still stops QEMU and the device.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("uart.py: stopped"))
    return host_main(names[0], opts)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
