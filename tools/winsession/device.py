"""The device: the emulator program plugged into a COM port, and the record it leaves."""

import json
import os
import signal
import subprocess
import time
from dataclasses import dataclass, field

from .errors import HarnessError


@dataclass
class Exchange:
    """One line of the device's command log: kind is probe, ignored or cmd."""

    kind: str
    fields: dict

    def __getattr__(self, name):
        try:
            return self.__dict__["fields"][name]
        except KeyError:
            raise AttributeError(name) from None

    def untimed(self, *drop):
        """The record as text, without its times (t, t_*) and the fields named in drop:
        what two runs of the same exchange have in common."""
        kept = [
            f"{k}={v}"
            for k, v in self.fields.items()
            if k != "t" and not k.startswith("t_") and k not in drop
        ]
        return " ".join([self.kind] + kept)

    def __str__(self):
        return " ".join([self.kind] + [f"{k}={v}" for k, v in self.fields.items()])


@dataclass
class Dump:
    """What the device held and saw when it was stopped (the emulator's dump)."""

    initial_info: str = ""
    blocks: dict = field(default_factory=dict)  # address (upper-case hex) -> hex content
    pages: dict = field(default_factory=dict)  # page (upper-case hex) -> hex content
    erases: list = field(default_factory=list)
    violations: list = field(default_factory=list)
    exchanges: list = field(default_factory=list)  # Exchange, in the order they happened
    finalized: bool = False
    hung_up: bool = False
    complete: bool = False  # the record was read whole

    @classmethod
    def parse(cls, text):
        """The emulator's JSON record; a record cut short, or of another format or version,
        gives an empty Dump that is not complete."""
        dump = cls()
        try:
            record = json.loads(text)
        except ValueError:
            return dump
        if not isinstance(record, dict) or (record.get("format"), record.get("version")) \
                != (RECORD_FORMAT, RECORD_VERSION):
            return dump
        dump.initial_info = record["initial_info"].upper()
        dump.blocks = {a.upper(): c.upper() for a, c in record["blocks"].items()}
        dump.pages = {p.upper(): c.upper() for p, c in record["pages"].items()}
        dump.erases = [{"n": str(e["n"]), "addr": e["address"]} for e in record["erases"]]
        dump.violations = [_words(v, _VIOLATION) for v in record["violations"]]
        dump.exchanges = [Exchange(e["kind"], _words(e, _EXCHANGE[e["kind"]]))
                          for e in record["log"]]
        dump.finalized = record["finalized"]
        dump.hung_up = record["hung_up"]
        dump.complete = True
        return dump

    def commands(self):
        """The cmd records alone."""
        return [e for e in self.exchanges if e.kind == "cmd"]

    def of_kind(self, kind):
        return [e for e in self.exchanges if e.kind == kind]

    def info_unchanged(self):
        """The info block holds what the device started with, and no 'G' was taken."""
        return self.blocks.get("8000") == self.initial_info and not self.finalized

    def untouched(self):
        """Nothing erased or written, no protocol violation, the info block as it was."""
        return (
            not self.pages
            and not self.erases
            and not self.violations
            and list(self.blocks) == ["8000"]
            and self.info_unchanged()
        )


def check_image(image_check, package, dump_path):
    """patu-image-check: does the device whose dump this is hold what a complete update with
    package leaves? (exit status, its verdict line, the differences one a line)."""
    done = subprocess.run([image_check, package, dump_path], text=True,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    lines = done.stdout.splitlines() or [""]
    return done.returncode, lines[0], [line.removeprefix("  ") for line in lines[1:]]


RECORD_FORMAT = "patu-emulator-record"
RECORD_VERSION = 1

# The fields of each kind of entry, in the order they print, as text: "-" for none.
_EXCHANGE = {
    "probe": ("t", "answer", "t_answer"),
    "ignored": ("t", "byte"),
    "cmd": ("n", "sync", "noise", "letter", "arg", "frame", "rx", "reply", "sent", "status",
            "fault", "t_sync", "t_frame", "t_reply"),
}
_VIOLATION = ("n", "kind", "letter", "arg")


def _words(entry, keys):
    out = {}
    for key in keys:
        if key == "arg":  # an address for E, D and W, page:offset for F
            value = entry.get("address")
            if "page" in entry:
                value = f"{entry['page']}:{entry['offset']:02X}"
        elif key == "fault":
            value = ",".join(entry[key])
        else:
            value = entry[key]
        out[key] = "-" if value is None or value == "" else str(value)
    return out


class Device:
    """The emulator serving one device on a pseudo-terminal linked as COM n of a session.

    Made by WineSession.plug(); its dump and log are <artifacts>/<name>.dump and .log.
    """

    def __init__(self, emulator, name, com, link, artifacts, options=()):
        self.name = name
        self.com = com
        self.link = link
        self.dump_path = os.path.join(artifacts, name + ".dump")
        self.log_path = os.path.join(artifacts, name + ".log")
        self.dump = None  # the Dump, once stopped
        pty_file = os.path.join(artifacts, name + ".pty")
        for stale in (pty_file, self.dump_path):
            if os.path.exists(stale):
                os.remove(stale)
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(
                [emulator, "--link", link, "--dump", self.dump_path, "--path-file", pty_file,
                 *options],
                stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        # Its record's times (milliseconds) count from its start: about now.
        self.started = time.monotonic()
        deadline = time.monotonic() + 20
        while True:
            if os.path.exists(pty_file):
                with open(pty_file) as f:
                    slave = f.readline().strip()
                if slave and os.path.islink(link) and os.readlink(link) == slave:
                    return
            if self.process.poll() is not None:
                raise HarnessError(f"device {name} ended at start:\n{self.log()}")
            if time.monotonic() > deadline:
                self.kill()
                raise HarnessError(f"device {name} never appeared as COM {com}")
            time.sleep(0.05)

    def running(self):
        return self.process.poll() is None

    def log(self):
        """What the emulator printed: its pty, and a "dead ..." line when a fault struck."""
        try:
            with open(self.log_path, encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def log_line(self, word):
        """The first line of the log that starts with word, or None."""
        for line in self.log().splitlines():
            if line.split(" ", 1)[0] == word:
                return line
        return None

    def kill(self):
        """SIGTERM: the emulator writes its dump and ends."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def stop(self):
        """Unplugs the device and returns its Dump, which must be complete."""
        self.kill()
        try:
            with open(self.dump_path, encoding="utf-8") as f:
                self.dump = Dump.parse(f.read())
        except FileNotFoundError:
            self.dump = Dump()
        if not self.dump.complete:
            raise HarnessError(f"device {self.name} left no complete dump ({self.dump_path})")
        return self.dump
