"""End-to-end runs of two pATU.exe at once under Wine: on one port, where the second must
leave the first's update alone, and on two ports, each updating its own device; and of the
ports a PC has past COM 6. One test a scenario; each leaves its artifacts in
PATU_E2E_ARTIFACTS/<scenario>.

Both programs' windows carry the same titles: their main windows are told apart by their
handles in a snapshot and by their X windows on the display."""

from winsession import Patu
from winsession.patu import (COMM_ERROR, DONE_LINES, IDLE, MAIN, MESSAGE, PROMPT_LINES, RUNNING,
                             idle_status)

from test_scenarios import PORT_LINES, bar_past, first_page_step

# The second device's serial number, so that each status line names its own device. It begins
# with 0xCE, whose wire form is 0x13, XOFF: with XON/XOFF on, the driver would take it.
SECOND_SERIAL = "CE1C00"
# What already waits in the second device's line when pATU opens its port.
STALE = "00"
SECOND_RUNNING = RUNNING.replace("0A1BFF", SECOND_SERIAL)
PANEL = "pATU.Panel"


def mains(snap):
    return [w for w in snap.windows if w.title == MAIN and w.shown]


def main_window(snap, hwnd):
    """The shown main window whose handle is hwnd, or None."""
    return next((w for w in mains(snap) if w.hwnd == hwnd), None)


def shows_status(snap, hwnd, status):
    main = main_window(snap, hwnd)
    return main is not None and main.has("Static", status)


def dialog_over(snap, title, hwnd, ok, cancel, lines):
    """The dialog titled title is up with exactly lines and its buttons enabled as ok and
    cancel say, and the main window hwnd waits for it."""
    dialog, main = snap.window(title), main_window(snap, hwnd)
    return (dialog is not None and main is not None and not main.enabled
            and dialog.has("Button", "OK", enabled=ok)
            and dialog.has("Button", "Cancelar", enabled=cancel) and dialog.memo() == lines)


def launch_second(s, exe, first_hwnd, first_xid):
    """Starts another pATU.exe beside the running one and waits for its window, idle.
    Returns its Patu, the handle of its main window and its X window."""
    second = Patu(s, exe, log="second-patu").launch()
    snap = s.wait("a second main window, the package shown and its status line idle", 120,
                  lambda snap: any(w.hwnd != first_hwnd and w.enabled and w.has("Static", IDLE)
                                   for w in mains(snap)))
    hwnd = next(w.hwnd for w in mains(snap) if w.hwnd != first_hwnd)
    xids = s.until("the second main window on the display", 30,
                   lambda: [x for x in s.display.find_all(MAIN) if x != first_xid])
    return second, hwnd, xids[0]


def clean_update(s, name, dump):
    """The device's log is that of one update alone: one probe, no byte that the device
    ignored, no violation, every command acknowledged, 'G' last."""
    s.check(f"{name}: one probe only", len(dump.of_kind("probe")) == 1)
    s.check(f"{name}: no byte that the device ignored", not dump.of_kind("ignored"))
    s.check(f"{name}: no protocol violation", not dump.violations)
    s.check(f"{name}: every command acknowledged, none faulted",
            all(c.status == "AA" and c.fault == "-" for c in dump.commands()))
    s.check(f"{name}: 'G' comes last", getattr(dump.exchanges[-1], "letter", None) == "G")


def complete_image(s, e2e, device):
    status, differences = e2e.check_image(device.dump_path)
    s.check(f"{device.name} holds the complete image"
            + "".join("\n  " + d for d in differences[:6]), status == 0)


def update_span(dump):
    """(start, end) of the update on the device's clock, in ms: the probe, the 'G' reply."""
    return int(dump.of_kind("probe")[0].t), int(dump.commands()[-1].t_reply)


def test_two_on_one_port(e2e):
    """A second pATU.exe on the port of an update under way: message 1 after its prompt,
    nothing sent; the first update completes."""
    with e2e.session("two_on_one_port") as s:
        s.use_display()
        device = s.plug("device", 1)
        first = Patu(s, e2e.exe).start()
        first_hwnd, first_xid = s.last.window(MAIN).hwnd, s.window(MAIN)
        first.start_update()
        s.wait("the first update in its module pages", 120,
               bar_past(first, first_page_step(e2e.package) + 10))

        second, hwnd, xid = launch_second(s, e2e.exe, first_hwnd, first_xid)
        s.key(xid, "space")
        s.wait("the second's prompt (message 0)", 30,
               lambda snap: dialog_over(snap, MESSAGE, hwnd, True, True, PROMPT_LINES))
        second.answer(MESSAGE, "OK")
        s.wait("message 1 from the second", 30,
               lambda snap: dialog_over(snap, COMM_ERROR, hwnd, False, True, PORT_LINES))
        step, steps = main_window(s.last, first_hwnd).progress()
        s.say(f"the first update at step {step} of {steps} as the second shows message 1")
        s.shot("second-message-1")
        s.check("the first update runs on", shows_status(s.last, first_hwnd, RUNNING))
        second.answer(COMM_ERROR, "Cancelar")
        s.wait("the second idle again", 10,
               lambda snap: shows_status(snap, hwnd, IDLE) and main_window(snap, hwnd).enabled)
        s.key(xid, "alt+F4")
        s.check("closing its window ends the second pATU.exe with status 0", second.ended() == 0)

        s.wait("the first update moving on", 30, bar_past(first, step))
        s.wait("message 7", 600,
               lambda snap: first.dialog_shows(MESSAGE, True, False, DONE_LINES, snap))
        first.answer(MESSAGE, "OK")
        s.check("the first pATU.exe ends with status 0 after message 7", first.ended() == 0)

        dump = device.stop()
        complete_image(s, e2e, device)
        clean_update(s, "the device", dump)


def test_two_ports_at_once(e2e):
    """Two pATU.exe, each on its own port with its own device, updating at once: both
    complete. COM 2 is as a workshop PC may leave it: another program left XON/XOFF on, a byte
    waits in the line, and the device's serial number begins with what XON/XOFF takes for
    XOFF."""
    with e2e.session("two_ports_at_once") as s:
        s.use_display()
        devices = [s.plug("device-com1", 1),
                   s.plug("device-com2", 2, "--serial", SECOND_SERIAL, "--waiting", STALE)]
        s.leave_xonxoff(2)
        first = Patu(s, e2e.exe).start()
        first_hwnd, first_xid = s.last.window(MAIN).hwnd, s.window(MAIN)
        first.start_update()
        s.wait("the first naming the device on COM 1", 60,
               lambda snap: shows_status(snap, first_hwnd, RUNNING))

        # The second's window opens over the first's: a click there is the second's.
        second, hwnd, xid = launch_second(s, e2e.exe, first_hwnd, first_xid)
        main = main_window(s.last, hwnd)
        com1 = main.screen_rect(main.control(PANEL, "COM 1"))
        com2 = main.screen_rect(main.control(PANEL, "COM 2"))
        s.display.click(com2[0] + com2[2] // 2, com2[1] + com2[3] // 2)
        s.until("COM 2 marked yellow in the second, COM 1 white", 10,
                lambda: s.display.pixel(com2[0] + 3, com2[1] + 3) == "FFFF00"
                and s.display.pixel(com1[0] + 3, com1[1] + 3) == "FFFFFF")
        s.say("seen: COM 2 marked yellow in the second, COM 1 white")
        s.key(xid, "space")
        s.wait("the second's prompt (message 0)", 30,
               lambda snap: dialog_over(snap, MESSAGE, hwnd, True, True, PROMPT_LINES))
        second.answer(MESSAGE, "OK")
        s.wait("the second naming the device on COM 2, the first its own", 60,
               lambda snap: shows_status(snap, hwnd, SECOND_RUNNING)
               and shows_status(snap, first_hwnd, RUNNING))
        s.shot("both-running")

        # Message 7 from each, answered as it comes.
        programs = {"first": first.program, "second": second.program}
        while programs:
            s.wait(f"message 7 ({len(programs)} update(s) to end)", 600,
                   lambda snap: (d := snap.window(MESSAGE)) is not None
                   and d.memo() == DONE_LINES and d.has("Button", "OK", enabled=True))
            s.click_control(MESSAGE, "Button", "OK")
            ended = s.until("a pATU.exe ending after its message 7", 60,
                            lambda: [n for n, p in programs.items() if not p.running()])
            for name in ended:
                s.check(f"the {name} pATU.exe ends with status 0",
                        programs.pop(name).wait(10) == 0)

        spans = []
        for device in devices:
            dump = device.stop()
            complete_image(s, e2e, device)
            clean_update(s, device.name, dump)
            spans.append(update_span(dump))
        s.say("measured: the updates on the devices' clocks: "
              + "; ".join(f"{d.name} from {a / 1000:.1f} s to {b / 1000:.1f} s ({(b - a) / 1000:.1f} s)"
                          for d, (a, b) in zip(devices, spans)))
        s.check("the two updates ran at once", spans[1][0] < spans[0][1])


def update_to_the_end(s, patu, device):
    """The update of a started pATU.exe, its message 7 answered: it ends, the device whole."""
    patu.start_update()
    s.wait("message 7", 600, lambda snap: patu.dialog_shows(MESSAGE, True, False, DONE_LINES, snap))
    patu.answer(MESSAGE, "OK")
    s.check("pATU.exe ends with status 0 after message 7", patu.ended() == 0)
    clean_update(s, device.name, device.stop())


def test_adapter_alone_on_com9(e2e):
    """The PC's one port is COM 9: pATU starts on it, no click, and updates the device there."""
    with e2e.session("adapter_alone_on_com9", ports=(9,)) as s:
        s.use_display()
        device = s.plug("device-com9", 9)
        patu = Patu(s, e2e.exe).start(idle_status(9))
        s.check("COM 9 on the last panel, chosen",
                s.pixel(MAIN, PANEL, "COM 9", 3, 3) == "FFFF00")
        s.shot("main-window-ports", s.window(MAIN))
        update_to_the_end(s, patu, device)
        complete_image(s, e2e, device)


def test_click_on_com12(e2e):
    """Devices on COM 2 and COM 12: pATU starts on COM 2, and a click on "COM 12" updates the
    device there; the one on COM 2 hears nothing."""
    with e2e.session("click_on_com12", ports=(2, 12)) as s:
        s.use_display()
        com2 = s.plug("device-com2", 2)
        com12 = s.plug("device-com12", 12, "--serial", SECOND_SERIAL)
        patu = Patu(s, e2e.exe).start(idle_status(2))
        s.click_control(MAIN, PANEL, "COM 12")
        s.wait("COM 12 chosen and named", 10, lambda snap: patu.idle(idle_status(12), snap))
        update_to_the_end(s, patu, com12)
        complete_image(s, e2e, com12)
        s.check("the device on COM 2 untouched", not com2.stop().exchanges)
