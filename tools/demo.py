"""./run demo: the real pATU.exe updates the emulated device, under Wine.

The device emulator plays a device in update mode on COM 1 of a private Wine prefix
(build/demo/wine). It runs the pATU.exe that ships, the i686 build (build/win32), where this
machine runs 32-bit code (cmake/run-i686 tells); elsewhere it says why and runs the x86-64
build (build/win64). With a display ($DISPLAY set and answering), pATU.exe opens there and
you do the update by hand; this waits for the program to end. Without one, it runs on a private
Xvfb and does what a person would (Atualiza, OK, wait, OK), with a screenshot of each stage
in build/demo/. Either way it ends with the emulator's check of what the device holds: exit
status 0 only when the device holds the complete update.
Builds are ./run's job; PATU_NATIVE_BUILD, PATU_WIN32_BUILD and PATU_WIN64_BUILD name other
build trees.
"""

import glob
import os
import shutil
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tools"))

from winsession import Display, Patu, StepFailed, WineSession, check_image  # noqa: E402
from winsession.builds import shipped_or_fallback  # noqa: E402
from winsession.patu import APP, DONE_LINES, MAIN, MESSAGE, RUNNING  # noqa: E402


def by_hand(s, exe):
    print(f'pATU.exe opens on display {s.display.name}. Keep COM 1, press "Atualiza", then "OK".')
    print('The update takes two to three minutes; it ends with "' + DONE_LINES[0] + '".')
    s.start(exe, log="program").wait(24 * 3600)


def as_a_person(s, exe, out):
    print("No display: pATU.exe runs on a private X display and this script works it.")
    patu = Patu(s, exe).start()
    s.shot("1-main-window", s.window(MAIN))
    print('  the window is up with the package; pressing "Atualiza"')
    patu.press_atualiza()
    s.shot("2-prompt")
    print('  the prompt asks for update mode; pressing "OK"')
    patu.answer(MESSAGE, "OK")
    s.wait("the update under way", 60, lambda snap: patu.shows(MAIN, "Static", RUNNING, snap))
    s.shot("3-running")
    print("  updating (two to three minutes) ...")
    s.until("the update's end", 900, lambda: s.find(MESSAGE) or s.find(APP), every=0.5)
    snap = s.wait("the end's window read", 10,
                  lambda snap: snap.window(MESSAGE) or snap.window(APP))
    s.shot("4-end")
    if snap.window(MESSAGE):
        print(f'  message 7: "{" ".join(snap.window(MESSAGE).memo())}"; pressing "OK"')
        patu.answer(MESSAGE, "OK")
    else:
        box = snap.window(APP)
        texts = [c.text for c in box.controls if c.cls == "Static" and c.text]
        print(f'  the update failed: "{" ".join(texts)}"; pressing "OK"')
        patu.answer(APP, "OK")
    print(f"  pATU.exe ended (status {patu.ended()})")
    print(f"Screenshots: {out}/[1-4]-*.png")


def windows_tree():
    """The build tree whose pATU.exe the demo runs: the i686 one, which ships, where this
    machine runs 32-bit code under Wine; else the x86-64 one, saying why."""
    win32 = os.environ.get("PATU_WIN32_BUILD") or os.path.join(REPO, "build", "win32")
    win64 = os.environ.get("PATU_WIN64_BUILD") or os.path.join(REPO, "build", "win64")
    tree, why = shipped_or_fallback(win32, win64)
    if why is None:
        print(f"Running the i686 pATU.exe, the one that ships ({win32}).")
    else:
        print(f"Running the x86-64 pATU.exe ({win64}), not the i686 one that ships: {why}.")
    return tree


def main():
    native = os.environ.get("PATU_NATIVE_BUILD") or os.path.join(REPO, "build", "native")
    tree = windows_tree()
    out = os.path.join(REPO, "build", "demo")
    emulator = os.path.join(native, "tools", "emulator", "patu-emulator")
    image_check = os.path.join(native, "tools", "emulator", "patu-image-check")
    exe = os.path.join(tree, "pATU.exe")
    wintext = os.path.join(tree, "tests", "e2e", "wintext.exe")
    for f in (emulator, image_check, exe, wintext):
        if not os.path.isfile(f):
            print(f"demo: {f} is missing: run ./run build first", file=sys.stderr)
            return 1

    shutil.rmtree(os.path.join(out, "texts"), ignore_errors=True)
    for pattern in ("*.png", "*.dump", "*.log"):
        for f in glob.glob(os.path.join(out, pattern)):
            os.remove(f)
    session = WineSession(os.path.join(out, "wine"), out, emulator=emulator, wintext=wintext)
    if not os.path.isdir(session.prefix):
        print(f"Making the Wine prefix (once): {session.prefix}")
    try:
        with session as s:
            device = s.plug("device", 1)
            print("The emulated device is in update mode on COM 1 (serial number 0A1BFF).")
            if Display.reachable(os.environ.get("DISPLAY")):
                s.use_display(Display(os.environ["DISPLAY"]))
                by_hand(s, exe)
            else:
                s.use_display()
                as_a_person(s, exe, out)
            dump = device.stop()
    except StepFailed as e:
        print(e, file=sys.stderr)
        return 1

    print(f"What the device received: {len(dump.commands())} commands.")
    status, verdict, differences = check_image(
        image_check, os.path.join(REPO, "resources", "pacote.txt"), device.dump_path)
    with open(os.path.join(out, "image-check.log"), "w") as f:
        f.write("".join(f"{line}\n" for line in [verdict] + differences))
    print(verdict)
    if status == 0:
        print("Outcome: the device holds the complete update.")
        return 0
    for line in differences[:5]:
        print(f"  {line}")
    if len(differences) > 5:
        print(f"  ... (all of them: {out}/image-check.log)")
    print(f"Outcome: the device does NOT hold the complete update (dump: {device.dump_path}).")
    return 1


if __name__ == "__main__":
    sys.exit(main())
