"""Prints the figures of the reliability tests after the run."""

import stream_checks


def pytest_terminal_summary(terminalreporter):
    if not stream_checks.FIGURES:
        return
    terminalreporter.section("reliability figures")
    for name, value in sorted(stream_checks.FIGURES.items()):
        terminalreporter.write_line(f"{name}: {value}")
