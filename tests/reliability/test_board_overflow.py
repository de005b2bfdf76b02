"""A board that cannot pause its stream, behind a consumer that stops taking
blocks for a while: the pool runs dry, the reader stops reading the chip, and
the board drops what its buffer cannot hold. The loss must show, and add up,
in stats(), in the emulator's count of dropped bytes and in the frames the
consumer receives."""

import datetime
import time
import types

import pytest

import _pynvk_boards_pp as nvk
from ftdi_emulator import CHIP_BUFFER, FRAME_SIZE
from stream_checks import add_figures, check_deliveries, drain, record_tally, timed_stop

RATE = 200_000  # bytes per second, well within what the emulation passes
# A third of a second of the stream: a reader on a busy machine keeps up.
BOARD_BUFFER = 64 * 1024
SAMPLES = 64
POOL = 64
# A purge also discards what libftdi keeps of its last 4096-byte transfer.
LIBFTDI_KEPT = 4080
STALL_S = 1.5
WAIT = datetime.timedelta(seconds=2)


def take(board, count):
    blocks = []
    for _ in range(count):
        block = board.samples
        assert block is not None, f"no block within {WAIT} after {len(blocks)} blocks"
        blocks.append(block)
    return blocks


@pytest.fixture
def stream(ftdi_emulator):
    """A board that cannot pause, and the module's board streaming from it.
    Only the fixture holds the module's board, so that a failed test's
    traceback cannot keep its device open."""
    chip = ftdi_emulator.add_device("OVERFLOW", bytes_per_second=RATE, board_buffer=BOARD_BUFFER)
    held = types.SimpleNamespace(chip=chip, board=nvk.PCB_RIX("OVERFLOW", SAMPLES))
    assert held.board.opened()
    held.board.timeout = WAIT
    held.board.start()
    yield held
    held.board.stop()
    del held.board


def test_stalled_consumer_shows_as_one_counted_gap(stream):
    chip = stream.chip
    blocks = take(stream.board, POOL)
    assert chip.bytes_dropped == 0, "the board overflowed while the consumer kept up"
    before = stream.board.stats()

    # The reader fills the pool in a quarter of a second, the board buffer
    # fills in a third more, and the rest of the stall is dropped.
    time.sleep(STALL_S)
    assert chip.bytes_dropped > 0
    # Past the ready queue, the bytes the chip and the board held, and the
    # realignment after the gap.
    blocks += take(stream.board, 4 * POOL)
    dropped = chip.bytes_dropped
    timed_stop(stream.board)
    blocks += drain(stream.board)
    after = stream.board.stats()

    def grown(name):
        return after[name] - before[name]

    assert after["bytes_read"] == FRAME_SIZE * after["frames"] + after["discarded_bytes"]
    assert grown("pool_waits") > 0
    assert grown("pool_wait_ns") > STALL_S / 3 * 1e9
    assert after["purges"] == chip.rx_purges

    # One read carries the gap, and the rows it copied from behind it are no
    # frames. The row that spans the gap begins with a true sync pair, so it
    # is no torn frame to the reader, which checks only that pair.
    tally = check_deliveries(blocks, SAMPLES, in_order=True, corrupt_reads=1, stops=1)
    record_tally(tally)
    assert after["torn_frames"] <= tally.corrupt_rows <= after["torn_frames"] + 1
    skipped = tally.frames_skipped * FRAME_SIZE
    # Every dropped byte lies between two received frames; besides them the
    # consumer misses only rows that are no frames, bytes the reader discarded
    # and what its purges took from the chip and from libftdi.
    assert dropped <= skipped
    purged = (CHIP_BUFFER + LIBFTDI_KEPT) * after["purges"]
    explained = FRAME_SIZE * tally.corrupt_rows + after["discarded_bytes"] + purged
    assert skipped <= dropped + explained
    assert skipped - dropped <= BOARD_BUFFER
    # A drop of whole frames leaves the stream aligned: only the frame indexes
    # show it, as the counters cannot.
    if dropped % FRAME_SIZE:
        assert grown("realignments") + grown("torn_frames") > 0, "nothing marks a gap that tore the frames"
    add_figures(**{"bytes dropped by a board that cannot pause": dropped, "bytes missed around them": skipped})
