"""Prints the figures of the reliability tests after the run, and lets go of
the boards that a failed test's traceback would keep."""

import traceback

import pytest

import stream_checks


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(call):
    yield
    if call.excinfo is not None:
        # The report has been made. A board kept alive by the traceback's
        # frames would hold its emulated device open past the emulation.
        traceback.clear_frames(call.excinfo.tb)


def pytest_terminal_summary(terminalreporter):
    if not stream_checks.FIGURES:
        return
    terminalreporter.section("reliability figures")
    for name, value in sorted(stream_checks.FIGURES.items()):
        terminalreporter.write_line(f"{name}: {value}")
