"""pATU.exe as a technician sees it and works it."""

import time

MAIN = "Atualização Cartucho V2 (Vorn/Tasl.)"
APP = "Atualização Cartucho VORN"


def idle_status(n):
    """The status line while idle with COM n chosen: Wine gives its ports no name."""
    return f"COM {n}: porta serial deste PC"


IDLE = idle_status(1)
RUNNING = "Atualização em andamento....330A1BFF"  # the emulator's default serial number
DONE = "Atualização concluída!"
FAILED = "Atualização não concluída!"
MESSAGE = "Mensagem"
COMM_ERROR = "Erro de comunicação"
VERSION_ERROR = "Incompatibilidade de Versão"
PROMPT_LINES = [
    "Para iniciar a atualização deste cartucho, coloque-o",
    "em MODO DE ATUALIZAÇÃO e pressione OK para",
    "iniciar o procedimento.",
    "",
    "MODO DE ATUALIZAÇÃO: ligue o aparelho com as",
    "duas setas pressionadas (<- e ->).",
]
DONE_LINES = ["Atualização concluída com sucesso!!"]
FAILED_BOX = ("A atualização não foi concluída. Coloque o aparelho novamente em MODO DE "
              "ATUALIZAÇÃO e repita o procedimento.")


class Patu:
    """One pATU.exe of a WineSession. Its checks read a Snapshot (session.last when none is
    given) and the X display."""

    def __init__(self, session, exe, log="program", env=None):
        self.session = session
        self.exe = exe
        self.log = log  # its output: <artifacts>/<log>.log
        self.env = env  # variables added to its environment
        self.program = None

    def launch(self):
        """Starts it; returns at once."""
        self.program = self.session.start(self.exe, log=self.log, env=self.env)
        return self

    def start(self, idle=IDLE):
        """Starts it and waits for its window, the package shown and the status line idle
        (idle is what it then reads)."""
        s = self.session
        self.launch()
        s.window(MAIN, 120)
        s.wait("the package shown and the status line idle", 30, lambda snap: self.idle(idle, snap))
        return self

    def press_atualiza(self):
        """"Atualiza" holds the focus whenever the main window is active: a space presses it.
        Waits for the prompt (message 0)."""
        s = self.session
        s.key(s.window(MAIN), "space")
        s.wait("the prompt (message 0)", 30,
               lambda snap: self.dialog_shows(MESSAGE, True, True, PROMPT_LINES, snap))

    def start_update(self):
        """Presses "Atualiza" and answers the prompt with OK: the job goes on to the port."""
        self.press_atualiza()
        self.answer(MESSAGE, "OK")

    def hold(self, how, seconds=4):
        """Holds the main window in one of Windows' own modal loops for seconds, as a
        technician may: "menu" opens the window menu (Alt+Space) and closes it with Esc,
        "scroll" holds the contents' scroll bar down, "drag" drags the title bar (drawn by
        Wine's own frames). Returns (start, end) of the hold by time.monotonic()."""
        s = self.session
        s.snapshot()
        main = s.last.window(MAIN)
        if main is None:
            s.fail("the main window to hold")
        start = time.monotonic()
        if how == "menu":
            s.key(s.window(MAIN), "alt+space")
            time.sleep(seconds)
            end = time.monotonic()
            # The first closes the menu, the second leaves the menu's mode.
            s.press("Escape")
            time.sleep(0.2)
            s.press("Escape")
        else:
            if how == "scroll":
                x, y, w, h = s.control_rect(MAIN, "Edit", None)
                x, y = x + w - 6, y + h - 6  # the scroll bar's lower arrow
            else:
                x, y = main.rect[0] + main.rect[2] // 2, main.rect[1] + 8  # the title bar
            s.display.hold(x, y, seconds, drag=20 if how == "drag" else 0)
            end = time.monotonic()
        s.say(f"held the main window ({how}) for {end - start:.1f} s")
        return start, end

    def answer(self, title, button):
        """Closes a dialog with one of its buttons, by mouse; waits until it is gone."""
        self.session.click_control(title, "Button", button)
        self.session.gone(title)

    def ended(self, timeout=60):
        """Its exit status once it has ended; fails the session if it still runs."""
        status = self.program.wait(timeout)
        if status is None:
            self.session.fail(f"pATU.exe ended within {timeout} s")
        return status

    # --- what it shows ----------------------------------------------------------------------

    def dialog_shows(self, title, ok, cancel, lines, snap=None):
        """The message dialog titled title is up, the main window waits for it, it shows
        exactly lines, and "OK" and "Cancelar" are enabled or not as ok and cancel say."""
        snap = snap or self.session.last
        dialog, main = snap.window(title), snap.window(MAIN)
        return (dialog is not None and main is not None
                and dialog.has("Button", "OK", enabled=ok)
                and dialog.has("Button", "Cancelar", enabled=cancel)
                and dialog.memo() == lines and not main.enabled)

    def idle(self, status, snap=None):
        """The main window takes input, no message dialog is up, the status line reads
        status."""
        snap = snap or self.session.last
        main = snap.window(MAIN)
        return (main is not None and main.enabled and main.has("Static", status)
                and all(self.session.find(t) is None for t in (MESSAGE, COMM_ERROR, VERSION_ERROR)))

    def shows(self, title, cls, text, snap=None):
        """The window titled title shows a control of class cls with text text."""
        window = (snap or self.session.last).window(title)
        return window is not None and window.has(cls, text)

    def progress(self, snap=None):
        """(pos, max) of the main window's bar, or None."""
        main = (snap or self.session.last).window(MAIN)
        return main.progress() if main else None
