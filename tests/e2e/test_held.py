"""The window held in each of Windows' own modal loops in turn during the module pages: the
window menu, the contents' scroll bar, the title bar dragged. The update runs on through each
hold, the window answers another program throughout, and the run ends with message 7 and the
complete image. One whole update, in a Wine prefix of its own, serves the three holds: each
is a few seconds of the module pages' two minutes."""

import time

from winsession import Patu
from winsession.patu import DONE_LINES, MAIN, MESSAGE, RUNNING

from test_scenarios import bar_past, first_page_step


def page_frames_between(device, dump, start, end):
    """The module-page frames ('F') that the device took between start and end
    (time.monotonic())."""
    return [c for c in dump.commands()
            if c.letter == "F" and c.t_frame != "-"
            and start <= device.started + int(c.t_frame) / 1000 <= end]


def test_held(e2e):
    with e2e.session("held") as s:
        s.use_display()
        device = s.plug("device", 1)
        patu = Patu(s, e2e.exe).start()
        patu.start_update()
        s.wait("the status line naming the device", 60,
               lambda snap: patu.shows(MAIN, "Static", RUNNING, snap))
        s.wait("the module pages under way", 120,
               bar_past(patu, first_page_step(e2e.package) + 10))
        holds = []
        for how in ("menu", "scroll", "drag"):
            asker = s.ask(MAIN, 6000)
            time.sleep(0.5)
            holds.append((how, *patu.hold(how)))
            asks, longest = s.asked(asker)
            s.say(f"measured: held ({how}), the longest wait for the window's answer was "
                  f"{longest} ms ({asks} asks every 50 ms)")
            s.expect(f"the window answered within 100 ms while held ({how})", longest <= 100)
        s.wait("message 7", 600,
               lambda snap: patu.dialog_shows(MESSAGE, True, False, DONE_LINES, snap))
        patu.answer(MESSAGE, "OK")
        s.check("pATU.exe ends with status 0 after message 7", patu.ended() == 0)

        dump = device.stop()
        for how, start, end in holds:
            # A second of the hold at either end is left out: the device's clock and ours
            # agree only to a few milliseconds, and a loop takes a moment to open and close.
            frames = page_frames_between(device, dump, start + 1, end - 1)
            s.say(f"measured: {len(frames)} page frames written in the middle 2 s of the "
                  f"hold ({how})")
            s.check(f"pages written while the window was held ({how})", len(frames) >= 4)
        status, differences = e2e.check_image(device.dump_path)
        s.check("the device holds the complete image"
                + "".join("\n  " + d for d in differences[:6]), status == 0)
