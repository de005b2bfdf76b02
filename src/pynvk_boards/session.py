"""A recording session: one board or several recorded into one file.

The boards are started one right after the other. One writer, the calling
thread, takes each board's blocks in turn (a few at a time) and appends
them with their times to the board's part of the file, so that no board
waits long for another's writes. The session ends after a time, after a
number of blocks of every board, when asked to, when a board delivers
nothing for too long or when the file cannot be written further. Then every
board is stopped, the blocks still queued are written (of a block the stop
cut short only its fresh rows) and the file is finished with each board's
verdict."""

from __future__ import annotations

import time
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from functools import partial

import numpy as np

from .board import SLICE_S, Board, Ticker
from .defaults import NO_DATA_S, TICK_S
from .errors import NoDataError
from .recording_file import BoardWriter, RecordingFile, WriteError, utc_now
from .summary import Snapshot, Summary, summarize

# How long the writer waits for a block of one of several boards while none
# has any: far less than a pool of blocks lasts (64 blocks of 4096 rows last
# 78 ms at 40 MB/s), so that it looks at every board often enough. A single
# board is waited for in slices of SLICE_S.
SEVERAL_WAIT_S = 0.002
# Once it has taken the blocks that were ready, the writer rests, so that it
# wakes for a batch of blocks rather than for each one (a wake-up costs about
# as much as taking a block): at most NAP_S, and no longer than the time
# NAP_BLOCKS blocks of the fastest board take, a quarter of its pool.
NAP_S = 0.02
NAP_BLOCKS = 16
# How often the file on disk is brought up to date.
FLUSH_S = 1.0


@dataclass(frozen=True)
class BoardProgress:
    """A board's stream so far, its latest stats() and the rows the writer took."""

    serial: str
    summary: Summary
    stats: Mapping[str, int]
    rows: int


@dataclass(frozen=True)
class BoardOutcome:
    """How a board's recording ended: what its counters say, the rows in the
    file and the frames left out (read past the asked number of blocks, or
    after a write error)."""

    serial: str
    summary: Summary
    rows: int
    frames_left_out: int


@dataclass(frozen=True)
class Outcome:
    """How a recording ended: per board, and the error that ended it, if any."""

    boards: list[BoardOutcome]
    error: Exception | None


class Stream:
    """A board being recorded by its writer, up to `limit` rows (None: no limit)."""

    def __init__(self, board: Board, writer: BoardWriter, limit: int | None,
                 on_block: Callable[[np.ndarray, int], None] | None):
        self.board = board
        self.writer = writer
        self.limit = limit
        self.on_block = on_block
        self.first = board.snapshot()
        self.last: Snapshot | None = None
        # Blocks taken, and when the first came (time.monotonic()).
        self.taken = 0
        self.first_taken_at = 0.0

    @property
    def full(self) -> bool:
        return self.writer.appended == self.limit

    def add(self, block: np.ndarray, time_ns: int) -> None:
        """Appends the block, or what of it fits under the limit."""
        if self.limit is not None:
            room = self.limit - self.writer.appended
            if room <= 0:
                return
            block = block[:room]
        self.writer.append(block, time_ns)

    def take(self, timeout: float) -> bool:
        """Takes a block into the writer, if one comes within `timeout`
        seconds; whether one came."""
        taken = self.board.take(timeout)
        if taken is None:
            return False
        if not self.taken:
            self.first_taken_at = self.board.last_block
        self.taken += 1
        self.add(*taken)
        if self.on_block is not None:
            self.on_block(*taken)
        return True

    def take_ready(self) -> int:
        """Takes every block that is ready, without waiting; how many."""
        count = 0
        while self.take(0):
            count += 1
        return count

    def block_seconds(self) -> float:
        """How long the board takes to fill a block, as far as seen (0 before
        two blocks came)."""
        return (self.board.last_block - self.first_taken_at) / (self.taken - 1) if self.taken > 1 else 0.0

    def stop(self) -> list[tuple[np.ndarray, int]]:
        """Stops the board; returns the blocks it left queued."""
        queued = self.board.stop(times=True)
        self.last = self.board.snapshot()
        return queued

    def progress(self) -> BoardProgress:
        now = self.last or self.board.snapshot()
        return BoardProgress(self.board.serial, summarize(self.first, now), now.stats, self.writer.appended)


def write_until_done(streams: Sequence[Stream], done: Callable[[], bool], no_data_s: float,
                     on_tick: Callable[[], None]) -> None:
    """Takes the boards' blocks into their writers until done(): every block
    that is ready, board after board, then a rest (see NAP_S); when none was
    ready, it waits for the next block of one board after the other."""
    wait_s = SEVERAL_WAIT_S if len(streams) > 1 else SLICE_S
    turn = 0
    while not done():
        if sum(stream.take_ready() for stream in streams):
            time.sleep(min([NAP_S] + [NAP_BLOCKS * stream.block_seconds() for stream in streams]))
        else:
            streams[turn % len(streams)].take(wait_s)
            turn += 1
        for stream in streams:
            stream.board.check_flow(no_data_s)
        on_tick()


def record(boards: Sequence[Board], file: RecordingFile, *, seconds: float | None = None, blocks: int | None = None,
           no_data_s: float = NO_DATA_S, stopping: Callable[[], bool] = lambda: False,
           on_block: Callable[[int, np.ndarray, int], None] | None = None,
           on_tick: Callable[[list[BoardProgress]], None] = lambda progress: None) -> Outcome:
    """Records `boards` into `file` (whose writers are theirs, in order) until
    `seconds` passed, `blocks` blocks of every board were written,
    `stopping()` is true, a board delivered nothing for `no_data_s` seconds
    (NoDataError) or the file could not be written (WriteError); the error
    is in the outcome. Every row a board delivered goes into the file, up to
    `blocks` blocks: the blocks queued at the stop too, and of a block the
    stop cut short its fresh rows. on_block gets each block taken with its
    board's index and its time; about ten times a second and once at the end on_tick gets
    every board's progress."""
    streams = [Stream(board, writer, None if blocks is None else blocks * board.rows,
                      None if on_block is None else partial(on_block, index))
               for index, (board, writer) in enumerate(zip(boards, file.writers))]
    ticks, flushes = Ticker(TICK_S), Ticker(FLUSH_S)

    def tick() -> None:
        if ticks.due():
            on_tick([stream.progress() for stream in streams])
        if flushes.due():
            file.flush()

    error: Exception | None = None
    try:
        file.begin(utc_now(), [stream.first.stats for stream in streams])
        for stream in streams:
            stream.board.start()
        deadline = None if seconds is None else time.monotonic() + seconds
        write_until_done(streams, lambda: stopping() or (deadline is not None and time.monotonic() >= deadline)
                         or all(stream.full for stream in streams), no_data_s, tick)
    except (NoDataError, WriteError) as failure:
        error = failure
    finally:
        queued = [stream.stop() for stream in streams]
    if not isinstance(error, WriteError):
        try:
            for stream, left in zip(streams, queued):
                for block, time_ns in left:
                    stream.add(block, time_ns)
        except WriteError as failure:
            error = failure
    progress = [stream.progress() for stream in streams]
    on_tick(progress)
    try:
        file.finish([board.stats for board in progress], [board.summary.gapless for board in progress])
    except WriteError as failure:
        error = error or failure
    return Outcome([BoardOutcome(stream.board.serial, board.summary, stream.writer.rows,
                                 board.summary.frames - stream.writer.rows)
                    for stream, board in zip(streams, progress)], error)
