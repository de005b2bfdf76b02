"""Checks of what a board delivers from an emulated chip, shared by the
reliability tests, and the figures those tests report at the end of a run.

The emulated board numbers its frames (ftdi_emulator.frame_index), so every
delivered row tells which frame it holds, if any. A delivered block may hold:
- true frames, in stream order: the stream only moves forward (a purge or a
  realignment skips bytes, nothing goes back), so fresh frames never repeat;
- after a stop() that interrupted a block, a tail of rows not written since
  the block was taken: what those rows held at the block's previous delivery,
  or zeros on its first use;
- after bytes were corrupted inside one device read, rows of that read that
  are no frames, since later frames of a read are copied without a look at
  their sync bytes. One read fills at most samples_count rows, possibly across
  two blocks. (A shifted row cannot pass for a frame while frame indexes stay
  below 2**49: its tail value would have to be one of the four frame tails.
  The row in which the corruption begins is another matter: it starts as a
  true frame and ends with other bytes, and may pass for some frame by chance;
  when it does not follow the row before it, it counts with the rows after.)
"""

import collections
import dataclasses
import datetime
import os
import threading
import time

import numpy as np

from ftdi_emulator import FRAME_SIZE, frame_index, frame_indexes, stream_bytes

# Counts of the tests are multiplied by this for a longer soak.
SCALE = int(os.environ.get("RELIABILITY_SCALE", "1"))

# libftdi's USB read time-out: the longest a device read in progress may hold
# up stop(). The margin covers scheduling on a loaded machine.
USB_READ_TIMEOUT_S = 5.0
STOP_MARGIN_S = 1.0

# Figures printed in the terminal summary (see conftest.py).
FIGURES = collections.Counter()
_figures_lock = threading.Lock()


def add_figures(**counts):
    with _figures_lock:
        FIGURES.update(counts)


def record_max(name, value):
    with _figures_lock:
        FIGURES[name] = max(FIGURES[name], value)


@dataclasses.dataclass
class Tally:
    blocks: int
    rows: int
    fresh_rows: int
    repeated_rows: int
    zero_rows: int
    corrupt_rows: int
    blocks_with_tail: int
    stream_jumps: int
    frames_skipped: int
    # [first, last] delivered row (counted over all blocks in order) of each
    # run of rows that are no frames.
    corrupt_runs: list


def check_deliveries(blocks, samples_count, *, in_order, corrupt_reads=0, stops=0):
    """Asserts that `blocks` (every block a board delivered in its life) hold
    only what the module docstring allows, and returns the tally.

    in_order: the blocks come in delivery order (one consumer), so fresh
    frames must rise across blocks too; otherwise only within a block.
    corrupt_reads: device reads that carried corrupted bytes; rows that are no
    frames must fit, per read, in samples_count consecutive delivered rows.
    stops: stop() calls (direct or inside a raw read), which bound the blocks
    that carry a stale tail.
    """
    rows = np.stack(blocks)
    count, size = rows.shape[:2]
    assert size == samples_count and rows.shape[2] == 5
    indexes = frame_indexes(rows.reshape(-1, 5)).reshape(count, size)
    zero = ~rows.any(axis=2)
    no_frame = (indexes < 0) & ~zero
    is_frame = indexes >= 0
    _, inverse, occurrences = np.unique(indexes[is_frame], return_inverse=True, return_counts=True)
    repeated = np.zeros_like(is_frame)
    repeated[is_frame] = occurrences[inverse] > 1
    _assert_repeats_keep_their_row(indexes, repeated)

    tail_like = repeated | zero
    in_tail = _suffixes(tail_like)
    with_tail = int(in_tail[:, -1].sum())
    # A stale tail may also repeat rows that were no frames when the block was
    # delivered before: a tail so extended must be rows another delivery
    # holds too, and within it only the first delivery of a row is corrupt.
    holders = _holders(rows, repeated | no_frame)
    repeated_no_frame, later_copies = _repeated_rows(rows, no_frame)
    extended = _suffixes(tail_like | repeated_no_frame)
    for block in np.flatnonzero((extended != in_tail).any(axis=1)).tolist():
        start = size - int(extended[block].sum())
        if _held_elsewhere(rows, holders, block, start):
            in_tail[block] = extended[block]
    if (tail_like & ~in_tail).any():
        block = int(np.flatnonzero((tail_like & ~in_tail).any(axis=1))[0])
        raise AssertionError(
            f"block {block} has a repeated frame or a zero row before its tail: {indexes[block].tolist()}"
        )
    corrupt = no_frame & ~(later_copies & in_tail)
    if in_order:
        _mark_rows_where_corruption_begins(indexes.reshape(-1), corrupt.reshape(-1))

    corrupt_positions = np.flatnonzero(corrupt)
    assert in_order or corrupt_positions.size == 0, "rows that are no frames without any corruption"
    clusters = _clusters(corrupt_positions, samples_count)
    assert len(clusters) <= corrupt_reads, (
        f"rows that are no frames at delivered rows {clusters}: more than {corrupt_reads} read(s) of "
        f"{samples_count} rows"
    )

    _assert_tails_are_earlier_contents(rows, zero, holders, size - in_tail.sum(axis=1))
    # A stop leaves a tail in the block it interrupts and makes the rows it
    # kept repeats of the block's previous delivery: at most two per stop.
    assert with_tail <= 2 * stops, f"{with_tail} blocks carry repeated or zero tails after {stops} stop(s)"

    fresh = ~in_tail & ~corrupt
    if in_order:
        steps = np.diff(indexes[fresh])
    else:
        steps = np.concatenate([np.diff(indexes[b][fresh[b]]) for b in range(count)] or [np.empty(0, int)])
    if (steps <= 0).any():
        raise AssertionError(f"fresh frames out of stream order: step {int(steps[steps <= 0][0])}")
    # Every frame delivered, once: a frame repeated in a stale tail was fresh
    # in the delivery before.
    jumps = np.diff(np.unique(indexes[(indexes >= 0) & ~corrupt]))
    return Tally(
        blocks=count,
        rows=count * size,
        fresh_rows=int(fresh.sum()),
        repeated_rows=int((occurrences - 1).sum()),
        zero_rows=int(zero.sum()),
        corrupt_rows=int(corrupt.sum()),
        blocks_with_tail=with_tail,
        stream_jumps=int((jumps > 1).sum()),
        frames_skipped=int((jumps - 1).sum()),
        corrupt_runs=clusters,
    )


def _mark_rows_where_corruption_begins(indexes, corrupt):
    """Marks as corrupt (in place, over rows in delivery order) a row that
    passes for a frame right before a run of rows that are no frames, when it
    is not the frame that follows the row before it."""
    starts = np.flatnonzero(corrupt[1:] & ~corrupt[:-1]) + 1
    for start in starts[starts >= 2].tolist():
        before = start - 1
        if indexes[before] >= 0 and indexes[before] != indexes[before - 1] + 1:
            corrupt[before] = True


def _clusters(positions, samples_count):
    """Groups sorted row positions into [first, last] runs, each no longer
    than one read's worth of rows."""
    clusters = []
    for position in positions.tolist():
        if clusters and position - clusters[-1][0] < samples_count:
            clusters[-1][1] = position
        else:
            clusters.append([position, position])
    return clusters


def _assert_repeats_keep_their_row(indexes, repeated):
    # A row left from an earlier delivery stays at its row in the block.
    rows_of_repeats = np.nonzero(repeated)[1]
    pairs = np.unique(np.stack([indexes[repeated], rows_of_repeats]), axis=1)
    distinct = np.unique(indexes[repeated])
    assert pairs.shape[1] == distinct.size, "a frame was delivered at two different rows"


def _suffixes(marks):
    """The longest run of marked rows that ends each block."""
    return np.cumprod(marks[:, ::-1], axis=1)[:, ::-1].astype(bool)


def _repeated_rows(rows, candidates):
    """Marks the candidate rows that another candidate row repeats byte for
    byte at the same row of a block: all of them, and those of them that
    repeat one in an earlier block."""
    positions = np.argwhere(candidates)  # in delivery order
    keys = np.column_stack([positions[:, 1], rows[positions[:, 0], positions[:, 1]].astype(np.int64)])
    _, first, inverse, counts = np.unique(keys, axis=0, return_index=True, return_inverse=True,
                                          return_counts=True)
    later = np.ones(len(positions), dtype=bool)
    later[first] = False
    marks = []
    for chosen in (counts[inverse.reshape(-1)] > 1, later):
        mask = np.zeros_like(candidates)
        mask[tuple(positions[chosen].T)] = True
        marks.append(mask)
    return marks


def _holders(rows, marks):
    """The blocks that hold each marked row, by its row and bytes."""
    holders = collections.defaultdict(list)
    for block, row in zip(*np.nonzero(marks)):
        holders[(int(row), rows[block, row].tobytes())].append(int(block))
    return holders


def _held_elsewhere(rows, holders, block, start):
    """Whether another delivery holds exactly the rows start.. of `block`."""
    partners = [other for other in holders[(start, rows[block, start].tobytes())] if other != block]
    return any(np.array_equal(rows[other, start:], rows[block, start:]) for other in partners)


def _assert_tails_are_earlier_contents(rows, zero, holders, tail_starts):
    """A tail beginning at row t is zeros, or rows t.. of another delivery
    (of the same block) hold exactly the same: a row keeps its contents only
    while no fill reaches it, and fills write from row 0 on."""
    for block, start in enumerate(tail_starts.tolist()):
        if start == rows.shape[1]:
            continue
        if zero[block, start]:
            assert zero[block, start:].all(), f"block {block}: a frame after zero rows in its tail"
            continue
        assert _held_elsewhere(rows, holders, block, start), (
            f"block {block}: tail from row {start} matches no other delivery: {rows[block, start:].tolist()}"
        )


def assert_stream_bytes(raw):
    """Asserts that raw bytes (at least two frames long) are one gapless piece
    of the board's stream, and returns the stream position they began at."""
    data = raw.tobytes()
    assert len(data) >= 2 * FRAME_SIZE - 1
    sync = data.find(b"\xf0\x0f")
    assert 0 <= sync < FRAME_SIZE, f"no sync pair where a frame must begin: {data[:24].hex()}"
    values = np.frombuffer(data[sync + 2 : sync + FRAME_SIZE], dtype="<u2")
    index = frame_index(values)
    assert index >= 0, f"no frame after the sync pair: {data[:24].hex()}"
    position = index * FRAME_SIZE - sync
    assert data == stream_bytes(position, len(data)), "raw bytes are not one piece of the stream"
    return position


def timed_stop(board):
    """stop(), asserted to return within a device read's time-out plus a
    margin; the slowest is recorded."""
    began = time.monotonic()
    board.stop()
    took = time.monotonic() - began
    record_max("slowest stop() [ms]", round(took * 1000, 1))
    assert took < USB_READ_TIMEOUT_S + STOP_MARGIN_S, f"stop() took {took:.2f} s"
    return took


def drain(board):
    """Every block the ready queue holds now, taken without waiting."""
    board.timeout = datetime.timedelta(0)
    blocks = []
    while (block := board.samples) is not None:
        blocks.append(block)
    return blocks


def record_tally(tally):
    add_figures(
        **{
            "blocks checked": tally.blocks,
            "rows checked": tally.rows,
            "fresh frames": tally.fresh_rows,
            "rows repeated in stale tails (after a stop)": tally.repeated_rows,
            "zero rows (first use, after a stop)": tally.zero_rows,
            "rows spoilt inside a corrupted read": tally.corrupt_rows,
            "stream jumps (purge or realignment)": tally.stream_jumps,
        }
    )
