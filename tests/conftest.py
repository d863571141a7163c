"""What every pytest run of the tests shares: the harness package on the path, and a run
that passed nothing never reading as a pass."""

import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tools"))


def pytest_sessionfinish(session, exitstatus):
    # CTest reads the exit status alone: a run in which no test passed (all skipped, none
    # selected) must not read as a pass.
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    if exitstatus == 0 and reporter is not None and not reporter.stats.get("passed"):
        session.exitstatus = pytest.ExitCode.NO_TESTS_COLLECTED
