"""Fixtures shared by the Python tests.

``ftdi_emulator`` gives a test emulated FTDI chips with PCB_RIX boards behind
them (the ``ftdi_emulator`` package, built from emulator/ and installed beside
the module by scripts/setup.sh). The process has to run under umockdev's
preload library:

    umockdev-wrapper python -m pytest tests/emulator

One emulation serves the whole session: it has to exist before libusb makes
a context, and the boards of one test may live on in reference cycles until a
collection. Each test gets it empty and leaves it empty.
"""

import gc
import importlib.util
import signal
import subprocess
import sys
import textwrap
import time

import pytest


def pytest_configure(config):
    # Nearly every test module imports the emulator: one clear message instead
    # of a collection error per module.
    if importlib.util.find_spec("ftdi_emulator") is None:
        raise pytest.UsageError(
            "the tests need the emulated FTDI chip, the ftdi_emulator package: pip install ./emulator "
            "from the source tree (needs umockdev; scripts/setup.sh installs it)")


def pytest_report_header():
    import numpy

    import _pynvk_boards_pp

    return [f"numpy {numpy.__version__}, module {_pynvk_boards_pp.__file__}"]


@pytest.fixture(scope="session")
def _ftdi_emulation():
    import ftdi_emulator

    emulator = ftdi_emulator.Emulator()
    yield emulator
    gc.collect()
    emulator.stop()


@pytest.fixture
def ftdi_emulator(_ftdi_emulation):
    """The running emulator (ftdi_emulator.Emulator); add devices with
    ``add_device(serial, ...)``. They are removed after the test, once the
    boards it dropped are collected and their devices closed."""
    yield _ftdi_emulation
    gc.collect()
    _ftdi_emulation.remove_all()


@pytest.fixture
def run_frozen():
    """Runs a Python script in a child process (with its own emulator) and
    freezes the child for 80 ms every 400 ms, as a busy host may leave a
    process, once it has printed "streaming"; returns its stdout's last line
    after asserting that it succeeded."""
    def run(script, *arguments):
        child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(script), *map(str, arguments)],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            assert child.stdout.readline() == "streaming\n", child.stderr.read()[-2000:]
            while child.poll() is None:
                time.sleep(0.32)
                child.send_signal(signal.SIGSTOP)
                time.sleep(0.08)
                child.send_signal(signal.SIGCONT)
            out, err = child.communicate(timeout=30)
        finally:
            child.send_signal(signal.SIGCONT)
            child.kill()
        assert child.returncode == 0, err[-2000:]
        return out.splitlines()[-1]

    return run
