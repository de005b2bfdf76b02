"""Faults of the emulated chip while a board streams: failed reads, a board
that goes quiet, a stream that resumes inside a frame, garbage bytes and a
device that disappears. The reader must neither crash nor hang, stop() must
stay prompt, and only the one device read that carried corrupted bytes may
deliver rows that are no frames."""

import bisect
import datetime
import errno
import gc
import time

import pytest

import _pynvk_boards_pp as nvk
from ftdi_emulator import FRAME_SIZE
from stream_checks import SCALE, add_figures, check_deliveries, drain, record_tally, timed_stop

SAMPLES = 16
POOL = 64
# After a fault, enough blocks to pass the ready queue and the bytes libftdi
# still buffers from before it, so that the fault's read is delivered.
AFTER_FAULT = 2 * POOL
# Long enough for a reader on a busy machine; a block is due every 0.1 ms.
WAIT = datetime.timedelta(seconds=1)
DEADLINE_S = 20.0


class Stream:
    """A board streaming from an emulated chip, and every block it delivered,
    in delivery order."""

    def __init__(self, emulator, serial, bytes_per_second):
        self.device = emulator.add_device(serial, bytes_per_second=bytes_per_second)
        self.board = nvk.PCB_RIX(serial, SAMPLES)
        assert self.board.opened()
        self.board.timeout = WAIT
        self.blocks = []
        self.stops = 0
        self.board.start()

    def read(self, count):
        for _ in range(count):
            purges = self.device.rx_purges
            block = self.board.samples
            assert block is not None, (
                f"no block within {WAIT} after {len(self.blocks)} blocks, while the reader purged the chip "
                f"{self.device.rx_purges - purges} times"
            )
            self.blocks.append(block)

    def read_until(self, condition):
        """Takes blocks until `condition` holds; a failing device may deliver
        none for a while, since the reader backs off from failed reads."""
        end = time.monotonic() + DEADLINE_S
        while not condition():
            assert time.monotonic() < end, "the device was not read to the fault"
            if (block := self.board.samples) is not None:
                self.blocks.append(block)

    def read_while_coming(self):
        """Takes blocks until none comes within the wait."""
        while (block := self.board.samples) is not None:
            self.blocks.append(block)

    def expect_nothing_for(self, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            assert self.board.samples is None, "a block arrived from a device that sends nothing"

    def stop(self):
        timed_stop(self.board)
        self.stops += 1

    def finish(self, corrupt_reads=0, lossless=False):
        """Stops, takes what is left and checks every delivered block; with
        `lossless` (a board that lost nothing), that no frame was skipped."""
        self.stop()
        self.blocks += drain(self.board)
        tally = check_deliveries(
            self.blocks, SAMPLES, in_order=True, corrupt_reads=corrupt_reads, stops=self.stops
        )
        record_tally(tally)
        if lossless:
            assert tally.frames_skipped == 0, f"{tally.frames_skipped} frames lost in {tally.stream_jumps} gaps"
        return tally


@pytest.fixture
def stream(ftdi_emulator, request):
    """A streaming board; an indirect parameter sets the board's pace. The
    board is dropped after the test, so that its device can be removed."""
    stream = Stream(ftdi_emulator, request.node.name[:40], getattr(request, "param", None))
    yield stream
    stream.board = None


# The chip always full (the host is the slower side), or a board slower than
# the host, so that the chip holds a varying count of bytes.
PACES = pytest.mark.parametrize("stream", [None, 2_000_000], indirect=True, ids=["chip-full", "paced-2MBps"])


def one_run_per_fault(tally, fault_rows):
    """Asserts that the rows spoilt by each fault form at most one run: the
    faults happened when `fault_rows` rows had been delivered."""
    faults = [bisect.bisect_right(fault_rows, first) for first, _ in tally.corrupt_runs]
    assert 0 not in faults, "rows spoilt before any fault"
    assert len(set(faults)) == len(faults), f"one fault spoilt rows of more than one read: {tally.corrupt_runs}"


@PACES
def test_bursts_of_failed_reads_cost_no_frame(stream):
    bursts = [1, 2, 5, 20, 100] * SCALE
    statuses = [-errno.EPIPE, -errno.EPROTO]
    for number, burst in enumerate(bursts):
        stream.read(POOL)
        failed_before = stream.device.failed_transfers
        stream.device.fail_reads(burst, statuses[number % 2])
        stream.read_until(lambda: stream.device.failed_transfers == failed_before + burst)
        stream.read(AFTER_FAULT)
    stream.finish()
    assert stream.device.failed_transfers == sum(bursts)
    add_figures(**{"failed device reads injected": sum(bursts), "bursts of failed reads": len(bursts)})


def test_board_gone_quiet_delivers_nothing_until_it_resumes(stream):
    quiet_s = 2.0
    stream.read(POOL)
    stream.device.pause()
    stream.read_while_coming()
    stream.expect_nothing_for(quiet_s)
    # The reader keeps polling a quiet chip; it must still stop and restart.
    # The stop hands over the block the reader had just taken, unchanged.
    stream.stop()
    stream.read_while_coming()
    stream.board.start()
    stream.expect_nothing_for(quiet_s / 4)
    stream.device.resume()
    stream.read(AFTER_FAULT)
    # The board lost nothing: its quiet spells cost no frame either.
    stream.finish(lossless=True)
    assert stream.board.stats()["purges"] == 0
    add_figures(**{"quiet spells of the board [s]": quiet_s * 1.25})


@pytest.mark.parametrize("read_ahead", [0, 1 << 20], ids=["synchronous-reads", "read-ahead"])
def test_a_bursty_board_loses_no_frame(ftdi_emulator, read_ahead):
    # Bursts of about 100 kB that end inside frames, quiet spells of 40 to
    # 60 ms, and one of 1.5 s.
    device = ftdi_emulator.add_device("BURSTY", bytes_per_second=2_000_000, burst_bytes=100_003, quiet_s=0.04)
    board = nvk.PCB_RIX("BURSTY", 4096)
    board.read_ahead = read_ahead
    board.timeout = WAIT
    blocks = []
    board.start()
    for quiet_s, spells in [(0.04, 3), (0.06, 3)]:
        device.set_bursts(100_003, quiet_s)
        spells += device.quiet_spells
        while device.quiet_spells < spells:
            blocks.append(board.samples)
    device.pause()
    time.sleep(1.5)
    device.resume()
    for _ in range(10):
        blocks.append(board.samples)
    timed_stop(board)
    blocks += drain(board)
    tally = check_deliveries(blocks, 4096, in_order=True, stops=1)
    record_tally(tally)
    assert tally.frames_skipped == 0 and device.bytes_dropped == 0
    stats = board.stats()
    assert (stats["realignments"], stats["purges"], stats["torn_frames"]) == (0, 0, 0)
    add_figures(**{"quiet spells of bursty boards": device.quiet_spells})


@PACES
def test_stream_resuming_inside_a_frame_spoils_at_most_the_read_it_lands_in(stream):
    # Forward jumps to positions that are no frame start; the bytes libftdi
    # already holds come first, so the jump lands inside a later read.
    shifts = [1, 5, 6, 11, 7, 2 * FRAME_SIZE + 3] * SCALE
    fault_rows = []
    for shift in shifts:
        stream.read(POOL)
        fault_rows.append(len(stream.blocks) * SAMPLES)
        stream.device.set_stream_position(stream.device.stream_position + 1000 * FRAME_SIZE + shift)
        stream.read(AFTER_FAULT)
    tally = stream.finish(corrupt_reads=len(shifts))
    one_run_per_fault(tally, fault_rows)
    assert tally.stream_jumps >= len(shifts)
    add_figures(**{"stream jumps into a frame injected": len(shifts)})


def test_purges_while_streaming_never_tear_a_frame(stream):
    # A purge drops what the chip holds, 1024 bytes, so the stream goes on
    # inside a frame; the purge waits for the reader's read, which realigns.
    flushes = 20 * SCALE
    purges_before = stream.device.rx_purges
    for _ in range(flushes):
        stream.read(8)
        stream.board.flush()
    stream.read(AFTER_FAULT)
    tally = stream.finish()
    assert stream.device.rx_purges >= purges_before + flushes
    assert tally.stream_jumps >= 1
    add_figures(**{"purges into a frame while streaming": flushes})


@PACES
def test_garbage_spoils_at_most_the_read_that_carries_it(stream):
    # Shorter and longer than a frame and than a read (192 bytes), multiples
    # of a frame or not; 0xA5 bytes hold no sync pair.
    lengths = [1, 5, 11, 12, 13, 24, 100, 191, 192, 193, 1000, 5000] * SCALE
    fault_rows = []
    for length in lengths:
        stream.read(POOL)
        fault_rows.append(len(stream.blocks) * SAMPLES)
        stream.device.inject_garbage(length)
        stream.read_until(lambda: stream.device.garbage_pending == 0)
        stream.read(AFTER_FAULT)
    tally = stream.finish(corrupt_reads=len(lengths))
    one_run_per_fault(tally, fault_rows)
    add_figures(**{"garbage bursts injected": len(lengths), "garbage bytes injected": sum(lengths)})


def test_unplugged_device_stops_the_blocks_and_lets_go_of_the_board(stream):
    stream.read(POOL)
    stream.device.unplug()
    stream.read_while_coming()
    stream.expect_nothing_for(1.0)
    stream.stop()
    stream.read_while_coming()
    stream.board.flush()
    # A failed device read leaves a negative length, which NumPy refuses.
    with pytest.raises(ValueError):
        stream.board._get_raw_data(100)
    stream.board.start()
    stream.expect_nothing_for(0.3)
    stream.finish()
    stream.board = None
    gc.collect()
    assert stream.device.wait_value("open_handles", 0), "the unplugged device is still open"
    add_figures(**{"devices unplugged while streaming": 1})
