"""An X display as a person sees it: windows found by their title, keys, clicks, pixels."""

import os
import subprocess
import time

from PIL import ImageGrab
from Xlib import X, display as xdisplay, error as xerror

from .errors import HarnessError


class Display:
    """An X display: a private Xvfb (Display.private) or one that is there already.

    name is the DISPLAY value (":N"). Windows are X windows; a window is shown when it is
    viewable, and larger than the 1x1 hidden owner window that Wine gives every application.
    """

    def __init__(self, name, process=None):
        self.name = name
        self.process = process
        self._x = xdisplay.Display(name)
        self._utf8 = self._x.intern_atom("UTF8_STRING")
        self._net_wm_name = self._x.intern_atom("_NET_WM_NAME")

    @classmethod
    def private(cls, log_path, size="1024x768x24"):
        """Starts an Xvfb of its own, on the first free display number."""
        read_end, write_end = os.pipe()
        with open(log_path, "wb") as log:
            process = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", size, "-nolisten", "tcp"],
                pass_fds=(write_end,), stdout=log, stderr=subprocess.STDOUT,
                stdin=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        try:
            deadline = time.monotonic() + 20
            while not number.endswith(b"\n"):
                if time.monotonic() > deadline:
                    raise HarnessError("Xvfb gave no display number")
                chunk = os.read(read_end, 16)
                if not chunk:
                    with open(log_path, errors="replace") as f:
                        raise HarnessError("Xvfb did not start:\n" + f.read())
                number += chunk
        except BaseException:
            process.kill()
            process.wait()
            raise
        finally:
            os.close(read_end)
        return cls(":" + number.decode().strip(), process)

    @staticmethod
    def reachable(name):
        """True when name is an X display that answers."""
        if not name:
            return False
        try:
            xdisplay.Display(name).close()
            return True
        except Exception:  # Xlib's connection errors share no base class
            return False

    def close(self):
        try:
            self._x.close()
        except Exception:
            pass
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait()

    # --- windows ----------------------------------------------------------------------------

    def title(self, window):
        """The window's title (its UTF-8 _NET_WM_NAME, else WM_NAME), or None."""
        try:
            prop = window.get_full_property(self._net_wm_name, self._utf8)
            if prop is not None:
                return bytes(prop.value).decode("utf-8", "replace")
            name = window.get_wm_name()
            return name if isinstance(name, str) else None
        except xerror.XError:
            return None

    def _shown(self, window):
        try:
            if window.get_attributes().map_state != X.IsViewable:
                return False
            geometry = window.get_geometry()
            return geometry.width > 1 and geometry.height > 1
        except xerror.XError:
            return False  # gone meanwhile

    def _tree(self, window):
        try:
            children = window.query_tree().children
        except xerror.XError:
            return
        for child in children:
            yield child
            yield from self._tree(child)

    def find(self, title):
        """The id of a shown X window titled exactly title, or None."""
        for window in self._tree(self._x.screen().root):
            if self.title(window) == title and self._shown(window):
                return window.id
        return None

    def find_all(self, title):
        """The ids of every shown X window titled exactly title: several programs may show
        one each."""
        return [window.id for window in self._tree(self._x.screen().root)
                if self.title(window) == title and self._shown(window)]

    def focus_title(self):
        """The title of the window that holds the X focus, or None."""
        focus = self._x.get_input_focus().focus
        if isinstance(focus, int):
            return None
        return self.title(focus)

    def window_rect(self, xid):
        """(x, y, w, h) of a window on the screen."""
        window = self._x.create_resource_object("window", xid)
        geometry = window.get_geometry()
        origin = window.translate_coords(self._x.screen().root, 0, 0)
        return (-origin.x, -origin.y, geometry.width, geometry.height)

    # --- input --------------------------------------------------------------------------------

    def _xdotool(self, *args):
        try:
            subprocess.run(["xdotool", *args], env={**os.environ, "DISPLAY": self.name},
                           check=True, timeout=10, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE)
        except (subprocess.CalledProcessError, subprocess.TimeoutExpired) as e:
            raise HarnessError(f"xdotool {' '.join(args)} failed: {e}") from e

    def key(self, xid, key):
        """Gives the window the focus, then presses key ("space", "alt+F4") as a person
        would."""
        self._xdotool("windowfocus", "--sync", str(xid), "key", key)

    def click(self, x, y):
        """A left click at x, y on the screen."""
        self._xdotool("mousemove", str(x), str(y), "click", "1")

    def hold(self, x, y, seconds, drag=0):
        """Presses the left button at x, y, holds it for seconds (moving drag pixels to the
        right and back every 0.2 s when drag is given), then lets it go."""
        self._xdotool("mousemove", str(x), str(y), "mousedown", "1")
        end, moved = time.monotonic() + seconds, False
        while time.monotonic() < end:
            time.sleep(0.2)
            if drag:
                moved = not moved
                self._xdotool("mousemove", str(x + (drag if moved else 0)), str(y))
        self._xdotool("mouseup", "1")

    def press(self, key):
        """Presses key wherever the X focus is, moving it nowhere first."""
        self._xdotool("key", key)

    # --- pixels -------------------------------------------------------------------------------

    def grab(self, rect=None):
        """A picture of rect (x, y, w, h) of the screen, or of the whole screen."""
        bbox = None if rect is None else (rect[0], rect[1], rect[0] + rect[2], rect[1] + rect[3])
        return ImageGrab.grab(bbox=bbox, xdisplay=self.name).convert("RGB")

    def pixel(self, x, y):
        """The colour at x, y as RRGGBB."""
        return "%02X%02X%02X" % self.grab((x, y, 1, 1)).getpixel((0, 0))

    def screenshot(self, path, xid=None):
        """A PNG of one window, or of the whole screen."""
        self.grab(None if xid is None else self.window_rect(xid)).save(path)
