"""Opening a board for a script, and reading its blocks in interruptible slices."""

from __future__ import annotations

import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager

import numpy as np

import _pynvk_boards_pp as nvk

from .errors import BoardError, NoBoardError, NoDataError
from .summary import Snapshot

DEFAULT_ROWS = 4096
# `samples` waits at most this long per call, so that Ctrl-C and a caller's
# stop condition are noticed within it.
SLICE_S = 0.1
NO_DATA_S = 5.0
DOCTOR_HINT = "`pcb-rix doctor` tells why"


def attached_boards(listed: Sequence[str]) -> str:
    return f"attached boards: {', '.join(map(repr, listed))} ({DOCTOR_HINT})"


def choose_serial(serial: str | None, listed: Sequence[str]) -> str:
    """The full serial, as listed, of the board that PCB_RIX(serial) opens:
    the first listed board whose serial begins with `serial` (the first board
    when `serial` is None or empty). Refuses a board without a serial: the
    empty serial opens the first FTDI device of any kind, a USB-UART included."""
    if not listed:
        raise NoBoardError(f"no PCB_RIX board is attached ({DOCTOR_HINT})")
    attached = attached_boards(listed)
    matching = [s for s in listed if s.startswith(serial or "")]
    if not matching:
        raise BoardError(f"no board's serial begins with {serial!r}; {attached}")
    chosen = matching[0]
    if not chosen:
        raise BoardError(f"the board listed first has no serial number and cannot be told from other FTDI devices; "
                         f"{attached}")
    return chosen


class Ticker:
    """due() is true at most once every `interval` seconds, the first time at once."""

    def __init__(self, interval: float):
        self.interval = interval
        self.next = time.monotonic()

    def due(self) -> bool:
        now = time.monotonic()
        if now < self.next:
            return False
        self.next = now + self.interval
        return True


class Board:
    """An opened PCB_RIX board (see open_board)."""

    def __init__(self, device: nvk.PCB_RIX, serial: str, rows: int):
        self._device: nvk.PCB_RIX | None = device
        self.serial = serial
        self.rows = rows

    @property
    def device(self) -> nvk.PCB_RIX:
        """The module's board object."""
        if self._device is None:
            raise BoardError(f"board {self.serial!r} was closed")
        return self._device

    def stats(self) -> dict[str, int | bool]:
        return self.device.stats()

    def snapshot(self) -> Snapshot:
        return Snapshot(self.device.stats(), time.monotonic())

    def start(self) -> None:
        self.device.start()

    def stop(self) -> list[np.ndarray]:
        """Stops the reader and returns the blocks it left queued, oldest first.
        A block that the stop cut short keeps only its fresh rows (its others
        hold older data or zeros); one without any is left out."""
        device = self.device
        cut_before = device.stats()["partial_blocks"]
        device.stop()
        stats = device.stats()
        device.timeout = 0.0
        queued = []
        while (block := device.samples) is not None:
            queued.append(block)
        if queued and stats["partial_blocks"] > cut_before:
            queued[-1] = queued[-1][: stats["last_cut_rows"]]
            if not len(queued[-1]):
                queued.pop()
        return queued

    def blocks(self, until: Callable[[], bool] | None = None, no_data_s: float = NO_DATA_S) -> Iterator[np.ndarray]:
        """Starts the board and yields its blocks as they come, until `until()`
        is true (checked at least every SLICE_S). Waits in slices, so Ctrl-C
        raises KeyboardInterrupt within one. Raises NoDataError when no block
        came for `no_data_s` seconds."""
        device = self.device
        device.timeout = SLICE_S
        device.start()
        last_block = time.monotonic()
        while until is None or not until():
            block = device.samples
            if block is not None:
                last_block = time.monotonic()
                yield block
            elif time.monotonic() - last_block >= no_data_s:
                raise NoDataError(f"no data from board {self.serial} for {no_data_s:g} s")

    def close(self) -> None:
        """Stops the board and drops the module's object, which releases it."""
        if self._device is not None:
            self._device.stop()
            self._device = None

    def __repr__(self) -> str:
        return f"Board(serial={self.serial!r}, rows={self.rows})"


@contextmanager
def open_board(serial: str | None = None, rows: int = DEFAULT_ROWS) -> Iterator[Board]:
    """Opens the first listed board whose serial begins with `serial` (the
    first listed board when None) with blocks of `rows` rows. Raises
    BoardError when there is none or it does not open. On leaving, the board
    is stopped and released, also when the body raised."""
    listed = nvk.list_pcb_rix()
    chosen = choose_serial(serial, listed)
    device = nvk.PCB_RIX(chosen, samples_count=rows)
    if not device.opened():
        raise BoardError(f"board {chosen!r} did not open; {attached_boards(listed)}")
    board = Board(device, chosen, rows)
    del device
    try:
        yield board
    finally:
        board.close()
