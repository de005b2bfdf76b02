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
