"""Opening boards for a script, and reading their blocks in interruptible slices."""

from __future__ import annotations

import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import ExitStack, contextmanager

import numpy as np

import _pynvk_boards_pp as nvk

from .defaults import DEFAULT_READ_AHEAD, DEFAULT_ROWS, NO_DATA_S
from .errors import BoardError, NoBoardError, NoDataError
from .summary import Snapshot

# A wait for a block lasts at most this long, so that Ctrl-C and a caller's
# stop condition are noticed within it.
SLICE_S = 0.1
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


def choose_serials(serials: Sequence[str], listed: Sequence[str]) -> list[str]:
    """choose_serial of each of `serials` (of None when there are none),
    refusing two that choose the same board."""
    if not serials:
        return [choose_serial(None, listed)]
    chosen: dict[str, str] = {}
    for serial in serials:
        board = choose_serial(serial, listed)
        if board in chosen:
            raise BoardError(f"serial numbers {chosen[board]!r} and {serial!r} both choose board {board!r}, "
                             f"which can be opened once")
        chosen[board] = serial
    return list(chosen)


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
        # When the latest block came, or the board started (time.monotonic()).
        self.last_block = 0.0

    @property
    def device(self) -> nvk.PCB_RIX:
        """The module's board object."""
        if self._device is None:
            raise BoardError(f"board {self.serial!r} was closed")
        return self._device

    def stats(self) -> dict[str, int]:
        return self.device.stats()

    def snapshot(self) -> Snapshot:
        return Snapshot(self.device.stats(), time.monotonic())

    def start(self) -> None:
        self.device.start()
        self.last_block = time.monotonic()

    def take(self, timeout: float) -> tuple[np.ndarray, int] | None:
        """The oldest ready block and the UTC nanoseconds when its last row was
        read (PCB_RIX.take_block), or None when none came within `timeout` seconds."""
        taken = self.device.take_block(timeout)
        if taken is not None:
            self.last_block = time.monotonic()
        return taken

    def check_flow(self, no_data_s: float) -> None:
        """Raises NoDataError when no block came for `no_data_s` seconds since
        the latest one or the start."""
        if time.monotonic() - self.last_block >= no_data_s:
            raise NoDataError(f"no data from board {self.serial} for {no_data_s:g} s")

    def stop(self, times: bool = False) -> list:
        """Stops the reader and returns the blocks it left queued, oldest first,
        as (block, time_ns) pairs with `times`. A block that the stop cut short
        keeps only its fresh rows (its others hold older data or zeros); one
        without any is left out."""
        device = self.device
        cut_before = device.stats()["partial_blocks"]
        device.stop()
        stats = device.stats()
        queued = []
        while (taken := device.take_block(0)) is not None:
            queued.append(taken)
        if queued and stats["partial_blocks"] > cut_before:
            block, time_ns = queued.pop()
            if stats["last_cut_rows"]:
                queued.append((block[: stats["last_cut_rows"]], time_ns))
        return queued if times else [block for block, _ in queued]

    def blocks(self, until: Callable[[], bool] | None = None, no_data_s: float = NO_DATA_S,
               times: bool = False) -> Iterator:
        """Starts the board and yields its blocks as they come (with `times`,
        as (block, time_ns) pairs, see take), until `until()` is true (checked
        at least every SLICE_S). Waits in slices, so Ctrl-C raises
        KeyboardInterrupt within one. Raises NoDataError when no block came
        for `no_data_s` seconds."""
        self.start()
        while until is None or not until():
            taken = self.take(SLICE_S)
            if taken is not None:
                yield taken if times else taken[0]
            else:
                self.check_flow(no_data_s)

    def close(self) -> None:
        """Stops the board and drops the module's object, which releases it."""
        if self._device is not None:
            self._device.stop()
            self._device = None

    def __repr__(self) -> str:
        return f"Board(serial={self.serial!r}, rows={self.rows})"


def open_listed(serial: str, listed: Sequence[str], rows: int, read_ahead: int) -> Board:
    """Opens the board of the full, listed `serial`; BoardError when it does not open."""
    try:
        device = nvk.PCB_RIX(serial, samples_count=rows)
    except MemoryError as error:  # a pool of blocks larger than the computer's memory
        raise BoardError(f"board {serial!r}: {error}") from None
    if not device.opened():
        raise BoardError(f"board {serial!r} did not open; {attached_boards(listed)}")
    try:
        device.read_ahead = read_ahead
    except ValueError as error:  # more than the module takes
        raise BoardError(f"board {serial!r}: {error}") from None
    return Board(device, serial, rows)


@contextmanager
def open_board(serial: str | None = None, rows: int = DEFAULT_ROWS,
               read_ahead: int = DEFAULT_READ_AHEAD) -> Iterator[Board]:
    """Opens the first listed board whose serial begins with `serial` (the
    first listed board when None) with blocks of `rows` rows and `read_ahead`
    bytes of USB transfers queued while it runs. Raises BoardError when there
    is none or it does not open. On leaving, the board is stopped and
    released, also when the body raised."""
    with open_boards([serial] if serial else [], rows, read_ahead) as (board,):
        yield board


@contextmanager
def open_boards(serials: Sequence[str], rows: int = DEFAULT_ROWS,
                read_ahead: int = DEFAULT_READ_AHEAD) -> Iterator[list[Board]]:
    """open_board for each of `serials` (the first listed board when there are
    none), refusing two that choose the same board; all are closed on leaving."""
    listed = nvk.list_pcb_rix()
    chosen = choose_serials(serials, listed)
    with ExitStack() as stack:
        boards = []
        for serial in chosen:
            board = open_listed(serial, listed, rows, read_ahead)
            stack.callback(board.close)
            boards.append(board)
        yield boards
