"""A Windows program started in a Wine session, and the Unix process behind it."""

import os
import subprocess
import time

from .errors import HarnessError

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
