"""The steps of a run (waits, checks) and the story of a failure, which a WineSession tells
from what its windows, devices and logs show."""

import os
import sys
import time

from .errors import StepFailed


class Steps:
    """Mixed into WineSession: uses its snapshot(), shot(), display, wintext, programs, devices,
    artifacts, last and failures."""

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
