"""Windows programs driven under Wine as a person would, against the device emulator.

    with WineSession(wine_dir, artifacts, emulator=..., wintext=...) as s:
        s.use_display()                    # a private Xvfb (or use_display(Display(":0")))
        device = s.plug("device", 1)       # the emulator as COM 1
        patu = Patu(s, exe).start()        # pATU.exe, its window up and idle
        patu.press_atualiza()
        patu.answer("Mensagem", "OK")
        s.wait("message 7", 600, lambda snap: patu.dialog_shows("Mensagem", True, False,
                                                                 DONE_LINES, snap))
        dump = device.stop()               # what the device holds and saw, as data

Modules: session (WineSession: the prefix, its ports, programs and end of session), program
(Program: a program started there and its process), steps (the waits and checks of a run and
the story of a failure), device (Device, Dump, Exchange), windows (Snapshot, Window,
Control: what wintext.exe reads), x11 (Display: windows by title, keys, clicks, pixels,
screenshots), patu (Patu and the texts pATU shows). Every wait polls an observable condition
under a time-out.
"""

from .device import Device, Dump, Exchange, check_image
from .errors import HarnessError, StepFailed
from .patu import Patu
from .program import CLOCK_TICKS, Program, cpu_ticks
from .session import WineSession
from .windows import Control, Snapshot, Window
from .x11 import Display

__all__ = ["CLOCK_TICKS", "Control", "Device", "Display", "Dump", "Exchange", "HarnessError",
           "Patu", "Program", "Snapshot", "StepFailed", "Window", "WineSession", "check_image",
           "cpu_ticks"]
