"""A Wine session: a private prefix, its programs and devices, the display they show on, and
the steps of a run, each of which tells the whole story when it fails."""

import os
import shutil
import signal
import subprocess
import threading
import time

from .device import Device
from .errors import HarnessError, StepFailed
from .program import Program
from .steps import Steps
from .windows import Snapshot
from .x11 import Display

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WINE_RUN = os.path.join(REPO, "cmake", "wine-run")


def _exit_on_sigterm(number, frame):
    raise SystemExit(128 + number)


class WineSession(Steps):
    """Windows programs under Wine in a prefix of their own, against emulated devices.

    wine_dir is as for cmake/wine-run: the prefix (wine_dir/prefix, made on first use) and the
    links wine_dir/ports/comN that COM N opens. artifacts receives every log, device dump,
    window-text snapshot (texts/) and screenshot. emulator and wintext are the paths of
    patu-emulator and wintext.exe; image is the file name of the program whose windows
    snapshot() reads; environment holds variables for every program of the session; ports
    are the COM numbers (1 to 255) that the prefix has and lists, COM 1 to 6 unless told, each
    mapped to its link.
    Use it in a with block: on leaving it every program, device, the prefix's wineserver and
    a private display are ended; a failure inside it is turned into a StepFailed that tells
    what the windows showed, the devices' last commands and where the logs are; checks made
    with expect() fail the block at its end.
    """

    def __init__(self, wine_dir, artifacts, *, emulator=None, wintext=None, image="pATU.exe",
                 environment=None, ports=(1, 2, 3, 4, 5, 6)):
        self.wine_dir = os.path.realpath(wine_dir)
        self.environment = dict(environment or {})  # for every program of the session
        self.artifacts = os.path.realpath(artifacts)
        self.emulator = emulator
        self.wintext = wintext
        self.image = image
        self.ports = sorted(ports)
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
        self._map_ports()
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

    def _map_ports(self):
        # Wine maps the ports of HKLM\Software\Wine\Ports from the prefix's next start. Every
        # number not asked for is given "", so that the machine's own serial port goes to
        # COM256 instead of the first number left out (measured, Wine 8).
        mark = os.path.join(self.prefix, ".patu-ports")
        wanted = " ".join(map(str, self.ports))
        if not os.path.exists(mark) or open(mark).read() != wanted:
            reg = os.path.join(self.wine_dir, "session-ports.reg")
            with open(reg, "w") as f:
                f.write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n")
                for n in range(1, 256):
                    f.write(f'"COM{n}"="{self.port(n) if n in self.ports else ""}"\n')
            self._wine("regedit", "/S", reg)
            self.stop_wine()
            with open(mark, "w") as f:
                f.write(wanted)
        # SERIALCOMM, rebuilt as the prefix starts, names those too and the machine's port: a
        # server kept for the session holds it as trimmed to the ports asked for.
        subprocess.run(["wineserver", "-p"], env=self.env(), check=True)
        listed = self._wine("reg", "query", self.SERIALCOMM).stdout.decode(errors="replace")
        trim = os.path.join(self.wine_dir, "session-serialcomm.reg")
        with open(trim, "w") as f:
            f.write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n")
            for words in (line.split() for line in listed.splitlines()):
                if len(words) == 3 and words[2][3:].isdigit() and int(words[2][3:]) not in self.ports:
                    f.write('"' + words[0].replace("\\", "\\\\") + '"=-\n')
        self._wine("regedit", "/S", trim)

    SERIALCOMM = r"HKLM\HARDWARE\DEVICEMAP\SERIALCOMM"

    def _wine(self, *args):
        done = subprocess.run([WINE_RUN, self.wine_dir, *args], env=self.env(),
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              stdin=subprocess.DEVNULL)
        if done.returncode != 0:
            raise HarnessError(f"wine {' '.join(args)} failed in {self.prefix}")
        return done

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
        # wintext itself always ends with 0; under load Wine now and then fails to start it, so
        # a failed start is tried again. A window that does not answer is a time-out, and fails.
        for attempt in range(3):
            try:
                read = self._wintext(self.image)
            except subprocess.TimeoutExpired:
                raise HarnessError("wintext did not answer within 60 s") from None
            if read.returncode == 0:
                break
            self.say(f"wintext could not run (exit status {read.returncode}), attempt {attempt + 1}")
            time.sleep(0.5)
        else:
            raise HarnessError("wintext could not run, three times")
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
