"""End-to-end runs of pATU.exe under Wine and a private Xvfb against the device emulator:
driven by X key presses and clicks, judged by what the windows show and what the device ends
up holding. One test a scenario; each leaves its artifacts in PATU_E2E_ARTIFACTS/<scenario>.
"""

import time

from winsession import CLOCK_TICKS, Patu, cpu_ticks
from winsession.patu import (APP, COMM_ERROR, DONE, DONE_LINES, FAILED, FAILED_BOX, IDLE, MAIN,
                             MESSAGE, RUNNING, VERSION_ERROR, idle_status)

PORT_LINES = [
    "Não foi possível abrir a porta serial definida para",
    "a comunicação com o aparelho. Verifique se a porta",
    "está correta ou se ela não está sendo utilizada por",
    "outro software.",
]
NO_DEVICE_LINES = [
    "Não foi possível comunicar com o aparelho.",
    "Verifique:",
    "",
    "1. Se o aparelho está alimentado corretamente",
    "2. Se a conexão com o computador está correta",
    "3. Se a porta serial foi definida corretamente.",
]
VERSION_LINES = [
    "Esta atualização não pode ser executada neste",
    "aparelho por incompatibilidade de versões.",
]
BAR = "msctls_progress32"


def bar_is(patu, state, snap=None):
    """The main window's bar at its start, full, or short of full."""
    progress = patu.progress(snap)
    if progress is None:
        return False
    pos, top = progress
    return {"start": pos == 0, "full": pos == top and top > 0, "short": 0 < pos < top}[state]


def bar_past(patu, step):
    """A condition: the bar has gone past step."""
    return lambda snap: (patu.progress(snap) or (-1, 0))[0] > step


def first_page_step(package):
    """The bar's step at the first module page: one before the firmware blocks and one for
    the module area's erase (the firmware sections are the package's third and fourth
    groups)."""
    group, lines = 0, 0
    with open(package, encoding="latin-1") as f:
        for line in f.read().splitlines():
            if line == "*":
                group += 1
            elif group in (2, 3):
                lines += 1
    return lines + 2


def bar_ends(s):
    """The colours of the bar 3 pixels in from either end, on its middle line; None without
    a bar."""
    rect = s.control_rect(MAIN, BAR, "")
    if rect is None:
        return None
    _, _, w, h = rect
    return s.pixel(MAIN, BAR, "", 3, h // 2), s.pixel(MAIN, BAR, "", w - 4, h // 2)


def bar_drawn_full(s, empty):
    """The bar's right end as drawn is the colour of its left end, not empty (what it showed
    there while short)."""
    ends = bar_ends(s)
    return ends is not None and ends[0] == ends[1] and ends[1] != empty


def written_before_page(e2e, device, page):
    """Firmware and the pages before page written as the package says, the info block as it
    was, not finalized; nothing else."""
    _, differences = e2e.check_image(device.dump_path)
    expected = (["block 8000 holds other bytes"]
                + [f"page {p:04X} never written" for p in range(page, 509)]
                + ["the update was not finalized"])
    return differences == expected and device.dump.info_unchanged()


def last_exchange(dump):
    """(arg, fault) of the device's last exchange."""
    last = dump.exchanges[-1] if dump.exchanges else None
    return (getattr(last, "arg", None), getattr(last, "fault", None))


def test_full_update(e2e):
    """The shipped package onto a device on COM 1: a prompt cancelled first and the session
    ended with the window idle, then the update, with a second press of "Atualiza" while it
    runs, the end of the session refused during the module pages, another program's window
    in the foreground when message 7 opens, pATU brought back by its taskbar button (message
    7 in front, "OK" focused), and the session ended with message 7 on screen."""
    with e2e.session("full_update") as s:
        s.use_display()
        idle_device = s.plug("idle-device", 1)
        patu = Patu(s, e2e.exe).start()
        s.shot("main-window", s.window(MAIN))

        patu.press_atualiza()
        s.shot("dialog-0", s.window(MESSAGE))
        patu.answer(MESSAGE, "Cancelar")
        s.wait("the window idle after the cancelled prompt", 10, lambda snap: patu.idle(IDLE, snap))
        s.check("the bar stays at its start", bar_is(patu, "start"))
        s.check("with the window idle, the end of the session is agreed to", s.end_session() == 0)
        s.check("and it ends pATU.exe", patu.ended() == 0)
        dump = idle_device.stop()
        s.check("neither the cancelled prompt nor the end of the session sent anything",
                not dump.exchanges)

        patu = Patu(s, e2e.exe).start()
        device = s.plug("device", 1)
        patu.start_update()
        s.wait("the status line naming the device", 60,
               lambda snap: patu.shows(MAIN, "Static", RUNNING, snap))
        s.shot("running", s.window(MAIN))
        s.expect("the status line on screen is what a fresh paint shows",
                 s.paint_current("status-line", MAIN, "Static", RUNNING))

        # A second press while the job runs, with the keyboard and with the mouse: no prompt
        # may come up, the job goes on.
        s.key(s.window(MAIN), "space")
        s.snapshot()
        s.click_control(MAIN, "Button", "Atualiza")
        start_pos = patu.progress()[0]
        watch_end = time.monotonic() + 4
        while time.monotonic() < watch_end:
            if s.find(MESSAGE) is not None:
                s.fail("no prompt from a second press during the job")
            time.sleep(0.2)
        s.say("ok: no second prompt during the job")
        s.wait("the bar moving on", 30, bar_past(patu, start_pos))
        empty_end = bar_ends(s)[1]

        s.wait("the module pages under way", 120,
               bar_past(patu, first_page_step(e2e.package) + 10))
        s.check("the end of the session refused while the device is written",
                s.end_session() == 1)
        s.check("pATU.exe runs on", patu.program.running())
        s.snapshot()
        s.wait("the bar moving on after the refusal", 30, bar_past(patu, patu.progress()[0]))

        # Someone reads mail while the update runs: message 7 must still show its own text.
        s.other_program("Outro programa")
        s.wait("message 7", 600,
               lambda snap: patu.dialog_shows(MESSAGE, True, False, DONE_LINES, snap))
        s.say(f"the X focus as message 7 shows: {s.display.focus_title() or 'none'}")
        s.check("the status line reports the end", patu.shows(MAIN, "Static", DONE))
        s.check("the bar is full", bar_is(patu, "full"))
        s.check("the bar drawn full as message 7 opens", bar_drawn_full(s, empty_end))
        s.shot("dialog-7", s.window(MESSAGE))
        s.shot("done")
        # Windows keeps the foreground with the program the user works in; Wine gave it to
        # message 7, so the other program takes it back. Then back to pATU through its taskbar
        # button: message 7 takes the keyboard.
        s.other_program("Outro programa")
        s.check("the other program holds the keyboard",
                s.display.focus_title() == "Outro programa")
        foreground, focus = s.come_back(APP)
        s.check("message 7 in front once pATU's taskbar button is clicked", foreground == MESSAGE)
        s.check('"OK" has the keyboard focus', focus == "OK")
        # The device has had its last command: message 7 left open holds up no shutdown.
        s.check("with message 7 on screen, the end of the session is agreed to",
                s.end_session() == 0)
        s.check("and it ends pATU.exe with status 0", patu.ended() == 0)

        dump = device.stop()
        status, differences = e2e.check_image(device.dump_path)
        s.check("the device holds the complete image"
                + "".join("\n  " + d for d in differences[:6]), status == 0)
        commands = dump.commands()
        s.check("one probe only: no second job", len(dump.of_kind("probe")) == 1)
        s.check("nothing ignored by the device", not dump.of_kind("ignored"))
        s.check("every command acknowledged, none faulted",
                all(c.status == "AA" and c.fault == "-" for c in commands))
        s.check("identification, the second reading, then the first block",
                "".join(c.letter for c in commands[:3]) == "DDE")
        s.check("'G' comes last", getattr(dump.exchanges[-1], "letter", None) == "G")


def test_port_choice(e2e):
    """COM 1 not there, then COM 3 chosen by a click: a device of another version (message
    4 left for another program, then answered by a key once pATU's taskbar button brings it
    back), a device that does not answer the probe, one that answers nothing but the probe
    (while it is identified, the window answers another program's every ask within 100 ms,
    and the end of the session is refused at once). Closing the window ends the program.
    Last, the session ended with message 4 on screen."""
    with e2e.session("port_choice") as s:
        s.use_display()
        s.unplug(1)
        other = s.plug("other-version", 3, "--sync85-only")
        patu = Patu(s, e2e.exe).start()
        main = s.window(MAIN)

        patu.start_update()
        s.wait("message 1", 30,
               lambda snap: patu.dialog_shows(COMM_ERROR, False, True, PORT_LINES, snap))
        s.check('"Cancelar" has the focus',
                s.last.window(COMM_ERROR).has("Button", "Cancelar", focus=True))
        s.shot("dialog-1", s.window(COMM_ERROR))
        patu.answer(COMM_ERROR, "Cancelar")
        s.wait("the window idle after message 1", 10, lambda snap: patu.idle(IDLE, snap))

        s.click_control(MAIN, "pATU.Panel", "COM 3")
        s.wait("COM 3 marked yellow, COM 1 white", 10,
               lambda snap: s.pixel(MAIN, "pATU.Panel", "COM 3", 3, 3) == "FFFF00"
               and s.pixel(MAIN, "pATU.Panel", "COM 1", 3, 3) == "FFFFFF")
        s.shot("com3-chosen", main)

        patu.start_update()
        s.wait("message 4", 30,
               lambda snap: patu.dialog_shows(VERSION_ERROR, False, True, VERSION_LINES, snap))
        s.shot("dialog-4", s.window(VERSION_ERROR))
        # The technician turns to another program, then comes back through pATU's taskbar
        # button: message 4 is in front, its one enabled button focused, and a key answers it.
        s.other_program("Outro programa")
        s.check("the other program holds the keyboard",
                s.display.focus_title() == "Outro programa")
        foreground, focus = s.come_back(APP)
        s.check("message 4 in front once pATU's taskbar button is clicked",
                foreground == VERSION_ERROR)
        s.check('"Cancelar" has the keyboard focus', focus == "Cancelar")
        s.press("space")
        s.gone(VERSION_ERROR, 10)
        s.wait("the window idle after message 4", 10, lambda snap: patu.idle(idle_status(3), snap))
        dump = other.stop()
        s.check("the other version saw the probe, 0x86 ignored, one 'D' with 0x85",
                [e.untimed("n", "frame", "rx", "reply", "sent", "noise") for e in dump.exchanges]
                == ["probe answer=54", "ignored byte=86",
                    "cmd sync=85 letter=D arg=8000 status=AA fault=-"])
        s.check("nothing written to the other version", dump.untouched())

        mute = s.plug("mute", 3, "--probe-answer", "")
        patu.start_update()
        s.wait("message 4 for a device that does not answer", 30,
               lambda snap: patu.dialog_shows(VERSION_ERROR, False, True, VERSION_LINES, snap))
        patu.answer(VERSION_ERROR, "Cancelar")
        s.wait("the window idle after message 4", 10, lambda snap: patu.idle(idle_status(3), snap))
        dump = mute.stop()
        s.check("the mute device saw the probe only",
                [e.untimed() for e in dump.exchanges] == ["probe answer=-"])

        # Identifying a device that answers only the probe waits twice 5 s for a sync byte's
        # complement. Meanwhile the window answers another program that keeps asking it, and
        # the end of the session, asked in the first wait, is refused at once.
        deaf = s.plug("deaf", 3, "--silent-after-probe")
        asker = s.ask(MAIN, 16000)
        patu.start_update()
        time.sleep(2)
        asked = time.monotonic()
        ended = s.end_session()
        ended_ms = round(1000 * (time.monotonic() - asked))
        s.wait("message 3 for a device that answers the probe only", 30,
               lambda snap: patu.dialog_shows(COMM_ERROR, False, True, NO_DEVICE_LINES, snap))
        asks, longest = s.asked(asker)
        measured = (f"measured: while the device that answers only the probe was identified, "
                    f"the longest wait for the window's answer was {longest} ms ({asks} asks "
                    f"every 50 ms); the end of the session asked then: exit status {ended} "
                    f"after {ended_ms} ms")
        s.say(measured)
        with open(f"{s.artifacts}/measured.txt", "a") as f:
            f.write(measured + "\n")
        s.expect("the window answered within 100 ms all along", longest <= 100)
        s.expect("the end of the session refused (wineboot's exit status 1)", ended == 1)
        s.expect("and at once, not at the end of a 5 s wait", ended_ms < 2500)
        s.shot("dialog-3", s.window(COMM_ERROR))
        patu.answer(COMM_ERROR, "Cancelar")
        s.wait("the window idle after message 3", 10, lambda snap: patu.idle(idle_status(3), snap))
        dump = deaf.stop()
        s.check("the deaf device saw the probe, then 0x86 and 0x85 went unanswered",
                [e.untimed() for e in dump.exchanges]
                == ["probe answer=54", "ignored byte=86", "ignored byte=85"])

        s.key(main, "alt+F4")
        s.check("closing the window ends pATU.exe with status 0", patu.ended() == 0)

        # Message 4 on screen: nothing was written and nothing is held, so a shutdown ends pATU.
        again = s.plug("other-version-again", 1, "--sync85-only")
        patu = Patu(s, e2e.exe).start()
        patu.start_update()
        s.wait("message 4 from COM 1", 30,
               lambda snap: patu.dialog_shows(VERSION_ERROR, False, True, VERSION_LINES, snap))
        s.check("with message 4 on screen, the end of the session is agreed to",
                s.end_session() == 0)
        s.check("and it ends pATU.exe with status 0", patu.ended() == 0)
        dump = again.stop()
        s.check("nothing written to the device", dump.untouched())


def test_nak_mid_module(e2e):
    """A NAK in the middle of the module data: the failure is reported and the program ends,
    with the pages before it written and the info block as it was."""
    with e2e.session("nak_mid_module") as s:
        s.use_display()
        device = s.plug("device", 1, "--fault", "nak@F:0064")
        patu = Patu(s, e2e.exe).start()
        patu.start_update()
        s.wait("the failure message box", 300,
               lambda snap: patu.shows(APP, "Static", FAILED_BOX, snap))
        s.check("the status line reports the failure", patu.shows(MAIN, "Static", FAILED))
        s.check("no message 7", s.find(MESSAGE) is None)
        s.check("the bar stays short of full", bar_is(patu, "short"))
        s.shot("failure-box", s.window(APP))
        s.shot("failed")
        s.key(s.window(APP), "space")
        s.check("pATU.exe ends with status 0 after the box", patu.ended() == 0)

        dump = device.stop()
        s.check("firmware and pages 0 to 99 written as the package says, the info block "
                "unchanged", written_before_page(e2e, device, 100))
        s.check("the NAKed page is the last command", last_exchange(dump) == ("0064:00", "nak"))


def lost_at_page_3(s, e2e, fault):
    """The device lost at module page 3 by fault (hangup: the cable pulled; poweroff: the
    power lost): the failure is reported within 15 s, and the time it took is printed with
    what pATU.exe and wineserver used of the CPU meanwhile; the program ends after the box,
    with the pages before the fault written, the info block as it was and no 'G'."""
    device = s.plug(fault, 1, "--fault", f"{fault}@F:0003")
    patu = Patu(s, e2e.exe).start()
    patu.press_atualiza()
    server = s.wineserver_pid()
    patu.answer(MESSAGE, "OK")

    # Until the box, nothing but pATU.exe runs in the prefix: what wineserver does is for it.
    dead = s.until(f"the {fault} striking", 120, lambda: device.log_line("dead"), every=0.02)
    seen = time.time()
    patu_cpu, server_cpu = patu.program.cpu_ticks(), cpu_ticks(server)
    s.until(f"a box within 60 s of the {fault}", 60, lambda: s.find(APP), every=0.05)
    boxed = time.time()
    patu_cpu, server_cpu = patu.program.cpu_ticks() - patu_cpu, cpu_ticks(server) - server_cpu
    struck = float(dead.rsplit("unix=", 1)[1].split()[0])
    took = round(boxed - struck, 1)
    waited = boxed - seen
    # Percent of a core over the wait on the dead line.
    patu_share = round(100 * patu_cpu / CLOCK_TICKS / waited, 1)
    server_share = round(100 * server_cpu / CLOCK_TICKS / waited, 1)
    measured = (f"measured: {fault} at page 3: the box {took:.1f} s after the fault; waiting on "
                f"the dead line ({waited:.1f} s), pATU.exe used {patu_share:.1f} % of a core and "
                f"wineserver {server_share:.1f} %")
    s.say(measured)
    with open(f"{s.artifacts}/measured.txt", "a") as f:
        f.write(measured + "\n")
    s.check(f"the box within 15 s of the {fault}", took <= 15)
    # A poll that the dead line fails at once must still take its time: a loop spinning on
    # it kept a third of a core busy.
    s.expect("no busy waiting: pATU.exe under 10 % of a core on the dead line", patu_share < 10)

    s.wait("the failure message box", 10, lambda snap: patu.shows(APP, "Static", FAILED_BOX, snap))
    s.check("the status line reports the failure", patu.shows(MAIN, "Static", FAILED))
    s.check("no message 7", s.find(MESSAGE) is None)
    s.shot(f"{fault}-box")
    s.key(s.window(APP), "space")
    s.check("pATU.exe ends with status 0 after the box", patu.ended() == 0)

    dump = device.stop()
    s.check("firmware and pages 0 to 2 written as the package says, the info block unchanged",
            written_before_page(e2e, device, 3))
    s.check(f"the page the {fault} hit is the last command: no 'G', nothing sent after it",
            last_exchange(dump) == ("0003:00", fault))


def test_lost_device(e2e):
    """The device lost after it was identified: its second reading fails (message 3, nothing
    written, then the program ends), the cable pulled and the power lost in the module
    pages."""
    with e2e.session("lost_device") as s:
        s.use_display()
        quiet = s.plug("quiet", 1, "--fault", "shortlen@D#2")
        patu = Patu(s, e2e.exe).start()
        patu.start_update()
        s.wait("message 3 when the second reading fails", 30,
               lambda snap: patu.dialog_shows(COMM_ERROR, False, True, NO_DEVICE_LINES, snap))
        patu.answer(COMM_ERROR, "Cancelar")
        s.check("then pATU.exe ends with status 0", patu.ended() == 0)
        dump = quiet.stop()
        s.check("two readings, nothing written",
                "".join(c.letter for c in dump.commands()) == "DD")
        s.check("the device untouched", dump.untouched())

        lost_at_page_3(s, e2e, "hangup")
        lost_at_page_3(s, e2e, "poweroff")
