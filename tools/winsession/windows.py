"""What a program's windows show, as wintext.exe reads them: a snapshot as data."""

from dataclasses import dataclass, field


@dataclass
class Control:
    """A control of a top-level window; rect is relative to that window's client area."""

    hwnd: str
    parent: str
    cls: str
    visible: bool
    enabled: bool
    focus: bool
    rect: tuple
    lines: list  # its text, line by line
    pos: int = None  # progress bars only
    max: int = None

    @property
    def text(self):
        """The first line of the text (what a label or a button shows)."""
        return self.lines[0]


@dataclass
class Window:
    """A top-level window; rect is its client area on the screen."""

    hwnd: str
    cls: str
    visible: bool
    enabled: bool
    rect: tuple
    title: str
    controls: list = field(default_factory=list)

    @property
    def shown(self):
        return self.visible and self.rect[2] > 0 and self.rect[3] > 0

    def control(self, cls, text=None):
        """The first control of class cls (and first line of text text, if given), or None."""
        for c in self.controls:
            if c.cls == cls and (text is None or c.text == text):
                return c
        return None

    def has(self, cls, text, **state):
        """True when a control of class cls shows text and is in state, given as
        enabled=, visible=, focus= (True or False)."""
        return any(
            c.cls == cls and c.text == text and all(getattr(c, k) == v for k, v in state.items())
            for c in self.controls)

    def memo(self):
        """The lines of the window's multi-line text areas (Edit controls), in order."""
        return [line for c in self.controls if c.cls == "Edit" for line in c.lines]

    def progress(self):
        """(pos, max) of the window's progress bar, or None."""
        bar = self.control("msctls_progress32")
        return None if bar is None or bar.pos is None else (bar.pos, bar.max)

    def screen_rect(self, control):
        """(x, y, w, h) of one of its controls on the screen."""
        x, y, w, h = control.rect
        return (self.rect[0] + x, self.rect[1] + y, w, h)


class Snapshot:
    """Every window of a program at one moment (wintext's records, parsed)."""

    def __init__(self, text, path=None):
        self.text = text
        self.path = path  # where the records were kept, if they were
        self.windows = []
        last = None
        for line in text.splitlines():
            if line.startswith("+ "):
                if last is not None:
                    last.lines.append(line[2:])
            elif line.startswith("window "):
                head, title = _split_text(line, " title=")
                f = _flags(head)
                last = None
                self.windows.append(Window(
                    hwnd=head.split()[1], cls=f["class"], visible=f["visible"] == "1",
                    enabled=f["enabled"] == "1", rect=_rect(f["rect"]), title=title))
            elif line.startswith("control ") and self.windows:
                head, text_ = _split_text(line, " text=")
                f = _flags(head)
                last = Control(
                    hwnd=head.split()[1], parent=f["parent"], cls=f["class"],
                    visible=f["visible"] == "1", enabled=f["enabled"] == "1",
                    focus=f["focus"] == "1", rect=_rect(f["rect"]), lines=[text_],
                    pos=int(f["pos"]) if "pos" in f else None,
                    max=int(f["max"]) if "max" in f else None)
                self.windows[-1].controls.append(last)

    def window(self, title):
        """The shown top-level window titled exactly title, or None."""
        for w in self.windows:
            if w.title == title and w.shown:
                return w
        return None

    def summary(self, max_lines=8):
        """The records as text, each long text cut after max_lines lines."""
        out, more = [], 0
        for line in self.text.splitlines():
            if line.startswith("+ "):
                more += 1
                if more > max_lines:
                    continue
            else:
                more = 0
            out.append(line)
        return "\n".join(out)


def _split_text(line, marker):
    """The record's fields, and the free text after marker (which may hold anything)."""
    at = line.find(marker)
    if at < 0:
        return line, ""
    return line[:at], line[at + len(marker):]


def _flags(head):
    return dict(word.split("=", 1) for word in head.split() if "=" in word)


def _rect(text):
    return tuple(int(v) for v in text.split(","))
