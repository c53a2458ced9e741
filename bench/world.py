"""The bench's world, set up through the tests' own harness (tests/support/okvsim): a scenario's
folder, ports and state file, the device on COM4, and the bridge, natively or under Wine in a prefix
of the bench's own made by the tests' prefix script."""

import os
import shlex
import shutil
import signal
import subprocess
import sys
import time

from okvsim.console import INSTALLED
from okvsim.errors import Failure
from okvsim.pe import BadFile, Pe
from okvsim.procs import (Bridge, bridge_env, session_process, status_kb, thread_cpu_ns,
                          windows_path, wine_prefix)
from okvsim.scenario import Config, Scenario

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class BenchError(Failure):
    """The bench could not measure: a tool missing, a simulator not starting, a wrong result."""


class Interrupted(Exception):
    pass


def say(text):
    print(text, flush=True)


def pe_bits(path):
    """32 or 64, from a Windows image's machine field."""
    try:
        with open(path, "rb") as f:
            return Pe(f.read()).bits
    except BadFile as e:
        raise BenchError("%s is not a Windows executable of ours: %s" % (path, e))


def own_libraries(bridge):
    """Real paths of the shared libraries the bridge binary brings in by itself."""
    out = subprocess.run(["ldd", bridge], capture_output=True, text=True, timeout=20).stdout
    paths = set()
    for line in out.splitlines():
        for word in line.split():
            if word.startswith("/"):
                paths.add(os.path.realpath(word))
    return paths


def resident_kb_not_the_bridges(pid, bridge):
    """Resident kB of what the runtime library brings into the process rather than the bridge:
    the library itself, the libraries only it needs and the state file it maps."""
    own = own_libraries(bridge) | {os.path.realpath(bridge)}
    foreign = 0
    path = None
    with open("/proc/%d/smaps" % pid) as f:
        for line in f:
            fields = line.split()
            if "-" in fields[0] and len(fields) >= 5:
                path = fields[5] if len(fields) >= 6 and fields[5].startswith("/") else None
                if path is not None:
                    path = os.path.realpath(path)
            elif fields[0] == "Rss:" and path is not None and path not in own:
                foreign += int(fields[1])
    return foreign


class World:
    """A scenario of the harness (work folder, ports folder, state file), the device on COM4, and
    the native bridge."""

    label = "Linux"
    windows = False

    def __init__(self, paths):
        self.paths = paths
        self.scene = Scenario(Config(self.options(), self.environment()), "bench")
        self.work = self.scene.tmp
        self.ports = self.scene.ports
        self.pid = None  # the process that runs the bridge's code

    def options(self):
        return ["--bridge", self.paths["bridge"], "--device", self.paths["device"],
                "--tool", self.paths["tool"], "--libdir", self.paths["runtime_dir"]]

    def environment(self):
        """The harness's settings from the environment: none natively."""
        return {}

    @property
    def runtime(self):
        return self.scene.runtime

    @property
    def bridge(self):
        return self.scene.bridge

    @property
    def device(self):
        return self.scene.device

    def prepare(self):
        pass

    def bridge_cmd(self):
        return self.scene.config.bridge_cmd + ["4"]

    def run_cmd(self):
        """okvbridge-run for COM4, its log on standard output."""
        return [self.paths["run"], "--log", "-", "--runtime-dir", self.paths["runtime_dir"], "4"]

    def bridge_env(self, ports=None):
        if ports is None:
            return self.scene.bridge_env()
        c = self.scene.config
        return bridge_env(ports, self.scene.state_path, c.libdir, c.lib_path_var, c.wine_prefix)

    def startup_env(self):
        """The bridge's environment with no COM4 to open."""
        empty = os.path.join(self.work, "no-ports")
        os.makedirs(empty, exist_ok=True)
        return self.bridge_env(empty)

    def baseline_cmd(self):
        """A program that prints one line and ends, started the same way as the bridge."""
        return ["/bin/echo", "banner"], "starting /bin/echo"

    def find_pid(self, exe=None):
        return self.bridge.proc.pid

    def start(self):
        self.scene.start_runtime()
        self.scene.tool("executor", "on")
        self.scene.start_device()
        self.scene.start_bridge(["4"])
        self.bridge.console.expect(INSTALLED, 30)
        self.pid = self.find_pid()

    def swap_bridge(self, cmd):
        """Stops the bridge and starts `cmd` in its place, in the same world."""
        self.bridge.stop()
        c = self.scene.config
        self.scene.bridge = Bridge(cmd, self.bridge_env(), self.work, c.console_crlf)
        self.scene.children.append(self.scene.bridge)
        self.bridge.console.expect(INSTALLED, 30)

    def rss(self):
        """Peak resident kB of the whole process, and the part the bridge is not answerable for
        (None where the two cannot be told apart)."""
        return (status_kb(self.pid, "VmHWM"),
                resident_kb_not_the_bridges(self.pid, self.paths["bridge"]))

    def helpers_cpu_ns(self):
        """CPU of processes outside the bridge's that serve it (none natively)."""
        return None

    def close(self):
        # A second Ctrl-C must not cut the clean-up short.
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(signum, signal.SIG_IGN)
        self.scene.cleanup()  # the bridge, the device, the state file and the work folder
        self.finish()

    def finish(self):
        pass


class WineWorld(World):
    """The same world around okvbridge.exe under Wine, in a prefix of the bench's own beside the
    build (its COM4 the device simulator's pseudo-terminal), with the build's simulated
    kolt8.dll: the harness's Wine settings, as the Wine tests give them."""

    windows = True

    def __init__(self, paths):
        self.wine = paths["wine"]
        self.prefix = paths["prefix"]
        World.__init__(self, paths)
        self.label = "Wine, win%d build" % pe_bits(paths["bridge"])

    def environment(self):
        bridge_cmd = [self.wine, self.paths["bridge"]]
        return {"OKV_BRIDGE_CMD": " ".join(shlex.quote(p) for p in bridge_cmd),
                "OKV_RUNTIME_DIR": windows_path(self.paths["runtime_dir"]),
                "OKV_LIB_PATH_VAR": "WINEPATH", "OKV_WINE_PREFIX": self.prefix,
                "OKV_PORTS_DIR": os.path.join(self.prefix, "ports"), "OKV_CONSOLE_CRLF": "1"}

    def prepare(self):
        say("== preparing the Wine prefix %s" % self.prefix)
        try:
            wine_prefix("setup", self.prefix, self.wine)
            wine_prefix("check", self.prefix, "4", self.wine)
        except Failure as e:
            raise BenchError(str(e))
        # A link left by an interrupted run would give the start-up runs a port to open.
        link = os.path.join(self.ports, "COM4")
        if os.path.islink(link):
            os.unlink(link)

    def run_cmd(self):
        return [self.wine, self.paths["run"], "--log", "-", "--runtime-dir",
                windows_path(self.paths["runtime_dir"]), "4"]

    def startup_env(self):
        # The prefix's COM4 leads to PREFIX/ports/COM4, which is not there until the device runs.
        return self.bridge_env()

    def baseline_cmd(self):
        return [self.wine, "cmd", "/c", "echo", "banner"], "starting cmd /c echo under Wine"

    def find_pid(self, exe=None):
        """The Linux process that runs the .exe (the bridge's unless told): Wine's loader becomes
        it, in the session the bench started; Wine's own processes (wineserver, services.exe, ...)
        are not it."""
        exe = exe or self.paths["bridge"]
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            pid = session_process(self.bridge.proc.pid, exe)
            if pid is not None:
                return pid
            time.sleep(0.1)
        raise BenchError("no process running %s in the bridge's session" % os.path.basename(exe))

    def wineserver_pid(self):
        """The prefix's wineserver: its working folder is named after the prefix's device and
        inode numbers."""
        st = os.stat(self.prefix)
        want = "server-%x-%x" % (st.st_dev, st.st_ino)
        for name in os.listdir("/proc"):
            if not name.isdigit():
                continue
            try:
                if os.path.basename(os.readlink("/proc/%s/cwd" % name)) == want:
                    with open("/proc/%s/comm" % name) as f:
                        if f.read().startswith("wineserver"):  # wineserver64 too
                            return int(name)
            except OSError:
                continue
        return None

    def rss(self):
        return status_kb(self.pid, "VmHWM"), None

    def helpers_cpu_ns(self):
        pid = self.wineserver_pid()
        return sum(thread_cpu_ns(pid).values()) if pid is not None else None

    def finish(self):
        try:
            wine_prefix("teardown", self.prefix, self.wine)
        except (Failure, OSError, subprocess.SubprocessError) as e:
            print("bench.py: %s" % e, file=sys.stderr)


def find_paths(build, build_missing, exe):
    paths = {"bridge": os.path.join(build, "okvbridge"),
             "run": os.path.join(build, "okvbridge-run"),
             "device": os.path.join(build, "sim", "device", "okvsim-device"),
             "tool": os.path.join(build, "sim", "runtime", "okvsim-runtime"),
             "runtime_dir": os.path.join(build, "sim", "runtime")}
    needed = [paths["device"], paths["tool"]]
    if exe is None:
        needed += [paths["bridge"], paths["run"],
                   os.path.join(paths["runtime_dir"], "libkolt8.so")]
    if not all(os.path.exists(p) for p in needed):
        default = os.path.abspath(build) == os.path.join(ROOT, "build", "default")
        if not build_missing or not (default or
                                     os.path.exists(os.path.join(build, "CMakeCache.txt"))):
            raise BenchError("missing in %s: %s" % (build, ", ".join(
                os.path.basename(p) for p in needed if not os.path.exists(p))))
        say("== building the bridge and the simulators into %s" % build)
        if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
            subprocess.run(["cmake", "--preset", "default"], cwd=ROOT, check=True,
                           stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", build, "-j2", "--target", "okvbridge",
                        "okvbridge-run", "okvsim-device", "okvsim-runtime", "kolt8sim"],
                       check=True, stdout=subprocess.DEVNULL)
    if exe is None:
        return paths
    # The Windows build: okvbridge.exe, and the simulated kolt8.dll of the same build tree.
    exe = os.path.abspath(exe)
    exe_build = os.path.dirname(exe)
    paths["bridge"] = exe
    paths["run"] = os.path.join(exe_build, "okvbridge-run.exe")
    paths["runtime_dir"] = os.path.join(exe_build, "sim", "runtime")
    paths["prefix"] = os.path.join(exe_build, "wineprefix-bench")
    paths["wine"] = shutil.which("wine")
    for path in (exe, paths["run"]):
        if not os.path.isfile(path):
            raise BenchError("no %s at %s" % (os.path.basename(path), path))
    if not os.path.isfile(os.path.join(paths["runtime_dir"], "kolt8.dll")):
        raise BenchError("no simulated kolt8.dll in %s (build the Windows tree: cmake --build "
                         "--preset win64, or win32)" % paths["runtime_dir"])
    if paths["wine"] is None:
        raise BenchError("wine is not installed (apt-get install wine wine64, and wine32:i386 "
                         "for the win32 build)")
    return paths
