"""The end-to-end runs' setting: which pATU.exe, tools and package, from the environment that
the CTest registration gives (defaults: this checkout's build/native and build/win64)."""

import os
import shutil

import pytest

from winsession import WineSession, check_image

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

NATIVE = os.path.join(REPO, "build", "native")
WIN64 = os.path.join(REPO, "build", "win64")
DEFAULTS = {
    "PATU_EXE": os.path.join(WIN64, "pATU.exe"),
    "PATU_WINTEXT": os.path.join(WIN64, "tests", "e2e", "wintext.exe"),
    "PATU_EMULATOR": os.path.join(NATIVE, "tools", "emulator", "patu-emulator"),
    "PATU_IMAGE_CHECK": os.path.join(NATIVE, "tools", "emulator", "patu-image-check"),
    "PATU_PACKAGE": os.path.join(REPO, "resources", "pacote.txt"),
    "PATU_E2E_WINE": os.path.join(WIN64, "e2e-wine"),
    "PATU_E2E_ARTIFACTS": os.path.join(WIN64, "e2e-artifacts"),
}


class Setting:
    """The program under test and what judges it."""

    def __init__(self):
        for key, default in DEFAULTS.items():
            value = os.environ.get(key) or default
            if key not in ("PATU_E2E_WINE", "PATU_E2E_ARTIFACTS") and not os.path.exists(value):
                raise FileNotFoundError(f"{key}: {value} is missing (build it first)")
            setattr(self, key[5:].lower(), value)

    def session(self, scenario, ports=(1, 2, 3, 4, 5, 6)):
        """A WineSession with those COM ports, whose artifacts go to e2e_artifacts/scenario
        (emptied first)."""
        artifacts = os.path.join(self.e2e_artifacts, scenario)
        shutil.rmtree(artifacts, ignore_errors=True)
        return WineSession(self.e2e_wine, artifacts, emulator=self.emulator,
                           wintext=self.wintext, ports=ports)

    def check_image(self, dump_path):
        """(exit status, the differences one a line) of patu-image-check on a dump."""
        status, _, differences = check_image(self.image_check, self.package, dump_path)
        return status, differences


@pytest.fixture
def e2e():
    return Setting()

