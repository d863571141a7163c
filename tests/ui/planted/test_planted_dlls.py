"""No DLL planted beside pATU.exe is loaded. Under Wine, on a private Xvfb and a Wine prefix
of its own, each program runs from a folder of its own holding a copy of it named pATU.exe
and the planted DLL as version.dll, imm32.dll, uxtheme.dll and msimg32.dll; Wine is told to
take those from the program's folder first, as Windows does for a DLL that is not a known
DLL. A planted DLL that is loaded leaves NAME.dll.loaded beside itself.
  start_only  pATU.exe's start (imports, manifest, load configuration, first step), ending
              before any window: what the loader loads before a program can act
  unhardened  pATU.exe as it was before its DLL loads were confined
  pATU        the real one
The last two run up to their idle main window; then the planted DLL that came first loads
msimg32.dll by its bare name, standing in for any run-time load of the process
(PATU_PLANTED_PROBE). unhardened must load every planted DLL, or the test shows nothing;
pATU must load none beyond start_only's.
Environment: PATU_EXE, PATU_START_ONLY, PATU_UNHARDENED, PATU_PLANTED_DLL, PATU_WINTEXT,
PATU_OBJDUMP, PATU_PLANTED_WINE (the Wine directory for cmake/wine-run) and
PATU_PLANTED_ARTIFACTS (the programs' folders, screenshots, logs).
"""

import os
import shutil
import subprocess

from winsession import Patu, WineSession

PLANTED = ["version", "imm32", "uxtheme", "msimg32"]
PROBED = "msimg32"


def imports(exe):
    """The DLLs a program imports from, sorted."""
    dump = subprocess.run([os.environ["PATU_OBJDUMP"], "-p", exe], check=True, text=True,
                          stdout=subprocess.PIPE).stdout
    return sorted(line.split("DLL Name:", 1)[1].strip() for line in dump.splitlines()
                  if "DLL Name:" in line)


def test_pATU_loads_no_planted_dll():
    env = os.environ
    art = env["PATU_PLANTED_ARTIFACTS"]
    shutil.rmtree(art, ignore_errors=True)

    def plant(name, program):
        """art/name with the program as pATU.exe and the planted DLLs."""
        folder = os.path.join(art, name)
        os.makedirs(folder)
        shutil.copy(program, os.path.join(folder, "pATU.exe"))
        for dll in PLANTED:
            shutil.copy(env["PATU_PLANTED_DLL"], os.path.join(folder, dll + ".dll"))
        return folder

    def loaded(name):
        """The planted DLLs in art/name that were loaded."""
        return [dll for dll in PLANTED
                if os.path.exists(os.path.join(art, name, dll + ".dll.loaded"))]

    def up_to_idle_window(s, name, program):
        """Runs it until its main window is idle, has the probe load msimg32.dll, and ends
        it; returns the path of the module the probe got."""
        folder = plant(name, program)
        patu = Patu(s, os.path.join(folder, "pATU.exe"), log=name,
                    env={"PATU_PLANTED_PROBE": PROBED + ".dll"}).start()
        s.shot(name)
        open(os.path.join(folder, "load-now"), "w").close()
        done = os.path.join(folder, "load-done")
        s.until(f"{name}: the probe loading {PROBED}.dll", 30,
                lambda: os.path.exists(done) and os.path.getsize(done) > 0)
        s.stop_wine()
        if patu.program.wait(30) is None:
            s.fail(f"{name} ending")
        with open(done, "rb") as f:
            return f.read().replace(b"\0", b"").decode("utf-8", "replace")

    with WineSession(env["PATU_PLANTED_WINE"], art, wintext=env["PATU_WINTEXT"],
                     environment={"WINEDLLOVERRIDES": ",".join(PLANTED) + "=n,b"}) as s:
        s.use_display()
        s.check("start_only imports from the DLLs that pATU.exe imports from",
                imports(env["PATU_START_ONLY"]) == imports(env["PATU_EXE"]))

        folder = plant("start_only", env["PATU_START_ONLY"])
        status = s.start(os.path.join(folder, "pATU.exe"), log="start_only").wait(60)
        if status is None:
            s.fail("start_only ending within 60 s")
        s.check("start_only ended with status 0", status == 0)
        at_start = loaded("start_only")
        unhardened_probe = up_to_idle_window(s, "unhardened", env["PATU_UNHARDENED"])
        unhardened = loaded("unhardened")
        hardened_probe = up_to_idle_window(s, "pATU", env["PATU_EXE"])
        hardened = loaded("pATU")

        s.say("planted DLLs loaded:")
        s.say(f"  before a program can act (start_only): {' '.join(at_start) or 'none'}")
        s.say(f"  by pATU.exe without its hardening:     {' '.join(unhardened) or 'none'} "
              f"({PROBED}.dll: {unhardened_probe})")
        s.say(f"  by pATU.exe:                           {' '.join(hardened) or 'none'} "
              f"({PROBED}.dll: {hardened_probe})")
        s.check("all of them loaded without the hardening", unhardened == PLANTED)
        s.check("some of them loaded without the hardening beyond those loaded before a "
                "program acts", [dll for dll in unhardened if dll not in at_start])
        s.check("none loaded by pATU.exe beyond those loaded before a program acts",
                not [dll for dll in hardened if dll not in at_start])
        if at_start:
            s.say(f"note: this loader takes {' '.join(at_start)} from the program's folder "
                  "before the program can act; it ignores the load configuration's "
                  "DependentLoadFlags, and whether Windows applies them to these is for a run "
                  "there")
