"""A Wine session: a private prefix, its programs and devices, the display they show on, and
the steps of a run, each of which tells the whole story when it fails."""

import os
import shutil
import signal
import subprocess
import sys
import threading
import time

from .device import Device
from .errors import HarnessError, StepFailed
from .windows import Snapshot
from .x11 import Display

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WINE_RUN = os.path.join(REPO, "cmake", "wine-run")
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


class Program:
    """A Windows program started in a session: pid is the process that wine-run started,
    which ends with the program and with its exit status. wine-run has the loader of the
    program's own kind run it in that process; plain `wine` where it is the 32-bit loader
    (wine32 installed beside wine64) would run an x86-64 program in a process of its own,
    started and awaited by start.exe. Its CPU time and memory are read from windows_pid(),
    the program's own process either way."""

    def __init__(self, argv, env, log_path, prefix, claimed):
        self.argv = argv
        self.log_path = log_path
        self.status = None
        self._prefix = prefix
        self._claimed = claimed  # the pids of the session's programs, shared
        self._windows_pid = None
        with open(log_path, "wb") as log:
            self.process = subprocess.Popen(argv, env=env, stdout=log, stderr=subprocess.STDOUT,
                                            stdin=subprocess.DEVNULL)
        self.pid = self.process.pid

    def windows_pid(self, timeout=30):
        """The Unix pid of the Windows program's own process: the one of this prefix whose
        command line is the program's Windows path, and no other Program's."""
        deadline = time.monotonic() + timeout
        while self._windows_pid is None:
            pid = find_windows_process(self._prefix, self.argv[2], self._claimed, self.pid)
            if pid is not None:
                self._windows_pid = pid
                self._claimed.add(pid)
            elif time.monotonic() > deadline or not self.running():
                raise HarnessError(f"no process of {self.argv[2]} in {self._prefix}")
            else:
                time.sleep(0.05)
        return self._windows_pid

    def running(self):
        return self.process.poll() is None

    def wait(self, timeout):
        """Its exit status once it has ended, or None if it still runs after timeout s."""
        try:
            self.status = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        return self.status

    def cpu_ticks(self):
        """User + system CPU time so far, in clock ticks (CLOCK_TICKS a second)."""
        return cpu_ticks(self.windows_pid())

    def vmhwm_kb(self):
        """Its peak resident memory so far."""
        pid = self.windows_pid()
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
        raise HarnessError(f"no VmHWM for process {pid}")

    def log(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()


def _exit_on_sigterm(number, frame):
    raise SystemExit(128 + number)


def find_windows_process(prefix, program, claimed=(), preferred=None):
    """The pid of a process of the Wine prefix whose command line is program's Windows path
    (Z: and the absolute path; a process that Wine started) or its path as given (one that a
    loader was started on), not in claimed; preferred first. None if there is none."""
    wanted_env = b"WINEPREFIX=" + os.fsencode(prefix)
    wanted_name = ("Z:" + os.path.abspath(program).replace("/", "\\")).lower()
    pids = sorted((int(e) for e in os.listdir("/proc") if e.isdigit()),
                  key=lambda pid: pid != preferred)
    for pid in pids:
        if pid in claimed:
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                name = f.read().split(b"\0", 1)[0].decode("utf-8", "replace")
            if name.lower() != wanted_name and name != program:
                continue
            with open(f"/proc/{pid}/environ", "rb") as f:
                if wanted_env in f.read().split(b"\0"):
                    return pid
        except OSError:
            continue
    return None


def cpu_ticks(pid):
    """User + system CPU time of a process so far, in clock ticks."""
    with open(f"/proc/{pid}/stat") as f:
        after_name = f.read().rsplit(")", 1)[1].split()
    return int(after_name[11]) + int(after_name[12])


class WineSession:
    """Windows programs under Wine in a prefix of their own, against emulated devices.

    wine_dir is as for cmake/wine-run: the prefix (wine_dir/prefix, made on first use) and the
    links wine_dir/ports/comN that COM N opens. artifacts receives every log, device dump,
    window-text snapshot (texts/) and screenshot. emulator and wintext are the paths of
    patu-emulator and wintext.exe; image is the file name of the program whose windows
    snapshot() reads; environment holds variables for every program of the session.
    Use it in a with block: on leaving it every program, device, the prefix's wineserver and
    a private display are ended; a failure inside it is turned into a StepFailed that tells
    what the windows showed, the devices' last commands and where the logs are; checks made
    with expect() fail the block at its end.
    """

    def __init__(self, wine_dir, artifacts, *, emulator=None, wintext=None, image="pATU.exe",
                 environment=None):
        self.wine_dir = os.path.realpath(wine_dir)
        self.environment = dict(environment or {})  # for every program of the session
        self.artifacts = os.path.realpath(artifacts)
        self.emulator = emulator
        self.wintext = wintext
        self.image = image
        self.prefix = os.path.join(self.wine_dir, "prefix")
        self.display = None
        self.devices = {}
        self.programs = []
        self.last = None  # the last Snapshot
        self.failures = []  # what expect() found wrong
        self._snapshots = 0
        self._told = False
        self._sigterm = None
        self._claimed = set()

    # --- the session as a whole ---------------------------------------------------------------

    def __enter__(self):
        # Ended from outside (a time-out), the session still cleans up after itself.
        if threading.current_thread() is threading.main_thread():
            self._sigterm = signal.signal(signal.SIGTERM, _exit_on_sigterm)
        os.makedirs(self.artifacts, exist_ok=True)
        os.makedirs(os.path.join(self.wine_dir, "ports"), exist_ok=True)
        self.stop_wine()  # what an earlier session of this prefix may have left running
        self._frames()
        return self

    def __exit__(self, kind, error, trace):
        try:
            if isinstance(error, Exception) and not isinstance(error, StepFailed):
                raise StepFailed(self.story(f"{kind.__name__}: {error}")) from error
            if error is None and self.failures:
                raise StepFailed(self.story(
                    f"{len(self.failures)} check(s) failed: " + "; ".join(self.failures)))
        finally:
            self.close()

    def close(self):
        self.stop_wine()
        for program in self.programs:
            program.kill()
        for device in self.devices.values():
            device.kill()
        if self.display:
            self.display.close()
        if self._sigterm is not None:
            signal.signal(signal.SIGTERM, self._sigterm)
            self._sigterm = None

    def env(self):
        """The environment of a program of this session."""
        env = dict(os.environ, WINEPREFIX=self.prefix,
                   WINEDEBUG=os.environ.get("WINEDEBUG", "-all"), **self.environment)
        if self.display:
            env["DISPLAY"] = self.display.name
        return env

    def use_display(self, display=None):
        """Programs show on display (a Display), or on a private Xvfb of the session's."""
        self.display = display or Display.private(os.path.join(self.artifacts, "xvfb.log"))
        return self.display

    def _frames(self):
        # With no window manager, Wine draws the windows' frames and title bars itself, their
        # buttons in the Marlett font: windows and screenshots then look as they do on Windows.
        mark = os.path.join(self.prefix, ".patu-frames")
        if os.path.exists(mark):
            return
        done = subprocess.run(
            [WINE_RUN, self.wine_dir, "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v",
             "Managed", "/d", "N", "/f"], env=self.env(), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        if done.returncode != 0:
            raise HarnessError(f"could not set up the Wine prefix {self.prefix}")
        marlett = "/usr/share/wine/fonts/marlett.ttf"
        if os.path.exists(marlett):
            shutil.copy(marlett, os.path.join(self.prefix, "drive_c/windows/Fonts"))
        self.stop_wine()
        open(mark, "w").close()

    def stop_wine(self):
        """Ends every program of the prefix, and its wineserver."""
        if not os.path.isdir(self.prefix):
            return
        env = self.env()
        subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        try:
            subprocess.run(["wineserver", "-w"], env=env, timeout=20, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            pass

    def end_session(self):
        """Asks every program of the prefix to end, as a shutdown does: wineboot's exit
        status, 1 when a window refused. wine-run starts it with a loader this machine runs."""
        with open(os.path.join(self.artifacts, "wineboot.log"), "ab") as log:
            try:
                return subprocess.run([WINE_RUN, self.wine_dir, "wineboot", "--end-session"],
                                      env=self.env(), timeout=60, stdout=log,
                                      stderr=subprocess.STDOUT).returncode
            except subprocess.TimeoutExpired:
                return None

    def wineserver_pid(self):
        """The pid of the prefix's wineserver."""
        wanted = ("WINEPREFIX=" + self.prefix).encode()
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/comm", "rb") as f:
                    if not f.read().startswith(b"wineserver"):  # wineserver64 too
                        continue
                with open(f"/proc/{entry}/environ", "rb") as f:
                    if wanted in f.read().split(b"\0"):
                        return int(entry)
            except OSError:
                continue
        raise HarnessError(f"no wineserver for {self.prefix}")

    # --- devices and programs ---------------------------------------------------------------

    def port(self, n):
        """The link that COM n opens."""
        return os.path.join(self.wine_dir, "ports", f"com{n}")

    def plug(self, name, n, *options):
        """The emulator, with options, plugged in as COM n; it dumps to <artifacts>/name.dump."""
        if name in self.devices and self.devices[name].running():
            raise HarnessError(f"device {name} is plugged in already")
        os.makedirs(os.path.dirname(self.port(n)), exist_ok=True)
        device = Device(self.emulator, name, n, self.port(n), self.artifacts, options)
        self.devices[name] = device
        return device

    def unplug(self, n):
        """COM n cannot be opened."""
        if os.path.islink(self.port(n)):
            os.remove(self.port(n))

    def start(self, program, *args, log=None, env=None):
        """Starts a Windows program, with the variables env added to its environment; its
        output goes to <artifacts>/<log or program>.log."""
        name = log or os.path.splitext(os.path.basename(program))[0]
        started = Program([WINE_RUN, self.wine_dir, program, *args], {**self.env(), **(env or {})},
                          os.path.join(self.artifacts, name + ".log"), self.prefix, self._claimed)
        self.programs.append(started)
        return started

    def other_program(self, title):
        """Another program's window, titled title, takes the foreground (wintext.exe)."""
        other = self.start(self.wintext, "--foreground", title, log="other-program")
        self.until("another program holding the foreground", 60,
                   lambda: "foreground" in other.log().splitlines())
        return other

    def ask(self, title, ms):
        """Another program that keeps asking the shown window titled title whether it answers,
        as Windows does to tell a hung window: a message every 50 ms for ms milliseconds
        (wintext --ask). Returns it, running; asked() reads what it found."""
        return self.start(self.wintext, "--ask", title, str(ms), log="asker")

    def asked(self, asker, timeout=60):
        """(asks, longest wait in ms) of an ask() once it has ended; each wait over 250 ms is
        told."""
        if asker.wait(timeout) != 0:
            self.fail("the asker found the window and ended")
        asks = longest = None
        for line in asker.log().splitlines():
            if line.startswith("asked "):
                words = line.split()
                asks, longest = int(words[1]), int(words[5])
            elif line.startswith("late "):
                self.say(f"answered late: {line[5:]}")
        if longest is None:
            self.fail("the asker's count of its asks")
        return asks, longest

    def come_back(self, title):
        """What a click on a program's taskbar button does: brings the shown window titled
        title to the foreground (wintext --activate). Returns, once the foreground has
        settled, the title of the window that holds it and the text of its focused control
        (None for none)."""
        read = self._wintext("--activate", title)
        if read.returncode != 0:
            self.fail(f'a window "{title}" to bring forward')
        foreground = focus = None
        for line in read.stdout.decode("utf-8", "replace").splitlines():
            if line.startswith("foreground "):
                foreground = line.split(" title=", 1)[1]
            elif line.startswith("focus 0x"):
                focus = line.split(" text=", 1)[1]
        self.say(f"brought \"{title}\" forward: the foreground is \"{foreground}\", "
                 f"the focus on \"{focus}\"")
        return foreground, focus

    def leave_xonxoff(self, n):
        """Another program leaves XON/XOFF flow control on COM n, as terminal programs do by
        default: it opens the port, turns XON/XOFF on in both directions and closes it
        (wintext --xonxoff). Windows opens a port with the settings of its last open."""
        read = self._wintext("--xonxoff", str(n))
        told = read.stdout.decode("utf-8", "replace").splitlines()
        if read.returncode != 0 or f"xonxoff COM{n} on" not in told:
            self.fail(f"another program leaving XON/XOFF on COM {n} (it said {told})")
        self.say(f"another program left XON/XOFF on COM {n}")

    # --- what the windows show --------------------------------------------------------------

    def _wintext(self, *args, timeout=60):
        return subprocess.run([WINE_RUN, self.wine_dir, self.wintext, *args], env=self.env(),
                              timeout=timeout, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)

    def snapshot(self, name=None):
        """Every window of the program image, read now; kept in texts/ and as self.last."""
        self._snapshots += 1
        texts = os.path.join(self.artifacts, "texts")
        os.makedirs(texts, exist_ok=True)
        path = os.path.join(texts, (name or f"{self._snapshots:04d}") + ".txt")
        try:
            read = self._wintext(self.image)
        except subprocess.TimeoutExpired:
            read = None
        if read is None or read.returncode != 0:
            raise HarnessError("wintext did not answer")
        with open(path, "wb") as f:
            f.write(read.stdout)
        self.last = Snapshot(read.stdout.decode("utf-8", "replace"), path)
        return self.last

    def find(self, title):
        """The X window of the shown window titled exactly title, or None."""
        return self.display.find(title)

    def window(self, title, timeout=30):
        """The X window of the window titled title, once it is shown."""
        self.until(f'a window "{title}" shown', timeout, lambda: self.display.find(title))
        return self.display.find(title)

    def gone(self, title, timeout=30):
        """Waits until no window titled title is shown."""
        self.until(f'window "{title}" no longer shown', timeout,
                   lambda: self.display.find(title) is None)

    def control_rect(self, title, cls, text):
        """(x, y, w, h) on the screen of a control of the window titled title, as the last
        snapshot placed it; None when there is no such control."""
        window = self.last.window(title) if self.last else None
        control = window.control(cls, text) if window else None
        return window.screen_rect(control) if control else None

    # --- input and pixels ---------------------------------------------------------------------

    def key(self, xid, key):
        self.display.key(xid, key)

    def press(self, key):
        """A key pressed where the keyboard's focus is, as a person at the keyboard would."""
        self.display.press(key)

    def click_control(self, title, cls, text):
        """Clicks the middle of a control of the window titled title (the last snapshot's)."""
        rect = self.control_rect(title, cls, text)
        if rect is None:
            self.fail(f'a {cls} "{text}" in window "{title}"')
        x, y, w, h = rect
        self.display.click(x + w // 2, y + h // 2)

    def pixel(self, title, cls, text, dx, dy):
        """The colour (RRGGBB) dx, dy into a control, or None when there is no such control."""
        rect = self.control_rect(title, cls, text)
        return None if rect is None else self.display.pixel(rect[0] + dx, rect[1] + dy)

    def paint_current(self, name, title, cls, text):
        """True when a control shows what the program draws when asked to paint it afresh: a
        control changed or resized without being redrawn fails. The two pictures of a failure
        are kept as name-before.png and name-after.png."""
        rect = self.control_rect(title, cls, text)
        if rect is None:
            return False
        before = self.display.grab(rect)
        before.save(os.path.join(self.artifacts, f"{name}-before.png"))
        if self._wintext("--repaint", self.image).returncode != 0:
            return False
        # The program paints when it next handles its messages; a job does so several times
        # a second.
        for _ in range(10):
            time.sleep(0.2)
            after = self.display.grab(rect)
            if after.tobytes() != before.tobytes():
                after.save(os.path.join(self.artifacts, f"{name}-after.png"))
                return False
        return True

    def shot(self, name, xid=None):
        """A screenshot, <artifacts>/name.png: of one window, or of the whole screen."""
        try:
            self.display.screenshot(os.path.join(self.artifacts, name + ".png"), xid)
        except Exception as e:  # a screenshot is evidence, never a step of the run
            self.say(f"(no screenshot {name}: {e})", err=True)

    # --- steps ------------------------------------------------------------------------------

    def say(self, text, err=False):
        print(text, file=sys.stderr if err else sys.stdout, flush=True)

    def wait(self, what, timeout, condition, every=0.2):
        """Snapshots until condition(snapshot) is true, and returns that snapshot; fails the
        session after timeout s."""
        deadline = time.monotonic() + timeout
        while True:
            snap = self.snapshot()
            if condition(snap):
                self.say(f"seen: {what}")
                return snap
            if time.monotonic() > deadline:
                self.fail(f"timed out waiting for: {what}")
            time.sleep(every)

    def until(self, what, timeout, condition, every=0.1):
        """Polls condition() until it is true, and returns what it returned; fails the session
        after timeout s. For what needs no snapshot: X windows, logs, processes."""
        deadline = time.monotonic() + timeout
        while not (result := condition()):
            if time.monotonic() > deadline:
                self.fail(what)
            time.sleep(every)
        return result

    def check(self, what, ok):
        """ok (a value, or a function of none) must be true, or the session fails."""
        if not (ok() if callable(ok) else ok):
            self.fail(what)
        self.say(f"ok: {what}")

    def expect(self, what, ok):
        """As check, but the run goes on: the failure is told now and fails the session at its
        end. For checks whose failure leaves the rest of a run worth judging."""
        if ok() if callable(ok) else ok:
            self.say(f"ok: {what}")
        else:
            self.say(f"FAIL: {what}", err=True)
            self.failures.append(what)

    def fail(self, what):
        """Ends the run: raises StepFailed with the story of the session."""
        raise StepFailed(self.story(f"expected: {what}"))

    def story(self, why):
        """What went wrong, what the windows show now (and a screenshot), the last commands of
        every device, the logs' ends, and where the artifacts are. Told once: it stops the
        devices to read their dumps."""
        if self._told:
            return f"FAIL: {why} (the session's story is told above)"
        self._told = True
        out = [f"FAIL: {why}"]
        if self.display and self.wintext and any(p.running() for p in self.programs):
            try:
                snap = self.snapshot("failure")
                out += ["--- what the windows show (long texts cut):", snap.summary() or "(none)"]
            except Exception as e:
                out.append(f"--- the windows could not be read: {e}")
            self.shot("failure")
        elif self.last is not None:
            out += [f"--- what the windows showed last ({self.last.path}):", self.last.summary()]
        for device in self.devices.values():
            try:
                dump = device.dump or device.stop()
                last = [str(e) for e in dump.exchanges[-8:]]
                out.append(f"--- device {device.name} (COM {device.com}), its last commands:")
                out += last or ["(none)"]
            except Exception as e:
                out.append(f"--- device {device.name}: {e}")
        for log in sorted(os.listdir(self.artifacts)):
            path = os.path.join(self.artifacts, log)
            if log.endswith(".log") and os.path.getsize(path) > 0:
                with open(path, encoding="utf-8", errors="replace") as f:
                    out += [f"--- {log}:"] + f.read().splitlines()[-20:]
        out.append(f"(artifacts: {self.artifacts})")
        return "\n".join(out)
