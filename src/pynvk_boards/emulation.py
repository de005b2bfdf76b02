"""The emulated board: an FT232H and a PCB_RIX board that exist only inside
this process, presented to the real libftdi1 and libusb through umockdev.

It needs the `ftdi_emulator` package (not part of this distribution) and a
process started under umockdev's preload library, before the first libusb
context: `restart_under_umockdev` starts the command again that way."""

from __future__ import annotations

import gc
import importlib.util
import os
import shutil
import sys
from collections.abc import Iterator, Sequence
from contextlib import contextmanager

from .errors import EmulationUnavailable

# The emulated boards' serial numbers: NVKEMU0001, NVKEMU0002, ...
EMULATED_SERIAL = "NVKEMU{:04d}"
# An emulated board is joined a few bytes into a frame, as a real one may be.
STREAM_POSITION = 5
PRELOAD_LIBRARY = "libumockdev-preload"
MISSING_EMULATOR = ("the emulated board needs the ftdi_emulator package: pip install ./emulator "
                    "from the source tree (needs umockdev)")
MISSING_WRAPPER = ("the emulated board needs umockdev-wrapper, which is missing: "
                   "install umockdev (Debian: apt-get install umockdev)")


def under_umockdev() -> bool:
    return PRELOAD_LIBRARY in os.environ.get("LD_PRELOAD", "")


def missing_for_emulation() -> str | None:
    """What keeps the emulated board from running here, or None."""
    if importlib.util.find_spec("ftdi_emulator") is None:
        return MISSING_EMULATOR
    if not under_umockdev() and shutil.which("umockdev-wrapper") is None:
        return MISSING_WRAPPER
    return None


def restart_under_umockdev(arguments: Sequence[str]) -> None:
    """Replaces this process with `python -m pynvk_boards ARGUMENTS` under
    umockdev-wrapper. Raises EmulationUnavailable instead when the emulator
    or the wrapper is missing."""
    if missing := missing_for_emulation():
        raise EmulationUnavailable(missing)
    sys.stdout.flush()
    sys.stderr.flush()
    os.execvp("umockdev-wrapper", ["umockdev-wrapper", sys.executable, "-m", "pynvk_boards", *arguments])


@contextmanager
def emulated_boards(count: int = 1, waveform: bool = False) -> Iterator[list[str]]:
    """Adds `count` emulated boards for the duration (starting the emulation
    if this process has none yet) and gives their serial numbers, in the
    order they are listed. Their frames count themselves, or with `waveform`
    carry sines plus noise of 12 significant bits, as a real ADC's values
    (which compress as those do). Boards opened on them must be closed
    before leaving."""
    try:
        import ftdi_emulator
    except ImportError:
        raise EmulationUnavailable(MISSING_EMULATOR) from None
    started_here = not ftdi_emulator.Emulator.started()
    try:
        emulator = ftdi_emulator.Emulator()
    except ftdi_emulator.EmulatorError as error:
        raise EmulationUnavailable(str(error)) from None
    serials = [EMULATED_SERIAL.format(number) for number in range(1, count + 1)]
    devices = [emulator.add_device(serial, stream_position=STREAM_POSITION, waveform=waveform) for serial in serials]
    try:
        yield serials
    finally:
        # A board left in a reference cycle would keep its device open.
        gc.collect()
        for device in devices:
            device.remove()
        if started_here:
            emulator.stop()
