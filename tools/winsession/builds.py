"""Which Windows build of pATU.exe this machine can run under Wine."""

import os
import subprocess

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def shipped_or_fallback(win32, win64):
    """(tree, why): the i686 build tree win32, the one that ships, where this machine runs
    32-bit code under Wine (cmake/run-i686 tells); else the x86-64 tree win64, with the reason
    the i686 one cannot run. why is None for the i686 tree."""
    guard = subprocess.run([os.path.join(REPO, "cmake", "run-i686"), "true"],
                           capture_output=True, text=True)
    if guard.returncode == 0:
        return win32, None
    return win64, guard.stderr.strip().removeprefix("SKIPPED: ")
