"""Streaming from emulated boards end to end: the module, the real libftdi and
libusb, and an emulated FT232H with a board behind it."""

import datetime
import faulthandler
import threading
import time

import numpy as np
import pytest
from ftdi_emulator import FRAME_SIZE, stream_bytes
from streams import (
    assert_fill_order,
    assert_stream_piece,
    drain,
    first_frame,
    raw_stream_position,
    wait_until_idle,
)

import _pynvk_boards_pp as nvk

ROWS = 16
POOL = 64
SERIAL = "RIX-000123"
# Long enough for any block that has to come; only a broken board waits it out.
BLOCK_WAIT = datetime.timedelta(seconds=2)


@pytest.fixture
def open_board(ftdi_emulator):
    """Adds an emulated board and opens it by its serial number. Boards still
    acquiring are stopped after the test, before their chips go away."""
    boards = []

    def open_(stream_position=0):
        chip = ftdi_emulator.add_device(SERIAL, stream_position=stream_position)
        board = nvk.PCB_RIX(SERIAL, samples_count=ROWS)
        assert board.opened()
        boards.append(board)
        return board, chip

    yield open_
    for board in boards:
        board.stop()
    boards.clear()


def read_blocks(board, count):
    board.timeout = BLOCK_WAIT
    blocks = []
    for _ in range(count):
        block = board.samples
        assert block is not None, f"block {len(blocks)} did not come within {BLOCK_WAIT}"
        blocks.append(block)
    return blocks


def assert_no_reader(board, chip):
    """Nothing reads the chip and no block comes for a while."""
    delivered = chip.bytes_delivered
    board.timeout = 0.2
    assert board.samples is None
    assert chip.bytes_delivered == delivered


class TestOpeningBySerial:
    def test_serial_prefix_opens_the_chip_in_synchronous_fifo_mode(self, ftdi_emulator):
        chip = ftdi_emulator.add_device(SERIAL)
        board = nvk.PCB_RIX(SERIAL[:4], samples_count=ROWS)
        assert board.opened() is True
        assert (chip.bitmode, chip.bitmask) == (0x40, 0xFF)
        assert board.serial_number() == SERIAL[:4]

    @pytest.mark.parametrize("serial", [SERIAL + "4", "RIX-9", SERIAL.lower()])
    def test_unmatched_serial_leaves_the_board_unopened(self, ftdi_emulator, serial):
        chip = ftdi_emulator.add_device(SERIAL)
        board = nvk.PCB_RIX(serial, samples_count=ROWS)
        assert board.opened() is False
        assert chip.bitmode_requests == 0

    def test_same_serial_twice_is_listed_twice_and_opens_the_first(self, ftdi_emulator):
        first = ftdi_emulator.add_device(SERIAL)
        second = ftdi_emulator.add_device(SERIAL)
        ftdi_emulator.add_device(SERIAL, manufacturer="ACME")
        assert nvk.list_pcb_rix() == [SERIAL, SERIAL]
        board = nvk.PCB_RIX(SERIAL, samples_count=ROWS)
        assert board.opened()
        assert (first.bitmode, second.bitmode) == (0x40, -1)


class TestSamples:
    def test_block_is_an_owned_contiguous_int16_copy_of_consecutive_frames(self, open_board):
        board, _ = open_board()
        board.start()
        block = read_blocks(board, 1)[0]
        assert block.shape == (ROWS, 5) and block.dtype == np.int16
        assert block.flags.c_contiguous and block.flags.owndata and block.flags.writeable
        # The first block of a board that streams from frame 0.
        assert first_frame(block) == 0

    def test_top_bit_values_read_as_negative_numbers(self, open_board):
        board, _ = open_board()
        board.start()
        block = read_blocks(board, 1)[0]
        assert first_frame(block) == 0
        # Column 4 cycles through 0x7FFF, 0x8000, 0xFFFF, 0x0001.
        assert block[:4, 4].tolist() == [32767, -32768, -1, 1]

    def test_blocks_come_in_fill_order_and_the_pool_never_shrinks(self, open_board):
        board, chip = open_board()
        board.start()
        # Far more blocks than the pool holds, so every block is recycled.
        blocks = read_blocks(board, 200)
        board.stop()
        assert_fill_order(blocks, chip.rx_purges)

        board.start()
        wait_until_idle(chip)
        board.stop()
        # The reader filled every free block and handed over the one it held.
        assert len(drain(board)) == POOL

    @pytest.mark.parametrize("stream_position", [1, 5, 11, 5 * FRAME_SIZE + 7])
    def test_stream_starting_inside_a_frame_yields_only_true_frames(self, open_board, stream_position):
        board, chip = open_board(stream_position)
        board.start()
        blocks = read_blocks(board, 3)
        board.stop()
        assert_fill_order(blocks, chip.rx_purges)
        assert first_frame(blocks[0]) > stream_position // FRAME_SIZE


class TestTakeBlock:
    def test_blocks_carry_times_that_never_go_back_and_lie_within_the_run(self, open_board):
        board, _ = open_board()
        started = time.time_ns()
        board.start()
        taken = []
        for number in range(12):
            # take_block and samples share the one ready queue.
            if number % 3 == 2:
                taken.append((board.samples, None))
            else:
                block, time_ns = board.take_block(timeout=2)
                taken.append((block, time_ns))
                assert started <= time_ns <= time.time_ns()
        board.stop()
        stopped = time.time_ns()
        assert_fill_order([block for block, _ in taken], purges=0)
        times = [time_ns for _, time_ns in taken if time_ns is not None]
        assert times == sorted(times)
        # The block stop() handed on carries the time of its last fresh row.
        rest = []
        while (item := board.take_block(0)) is not None:
            rest.append(item)
        assert rest and all(times[-1] <= time_ns <= stopped for _, time_ns in rest)

    def test_times_of_a_later_run_start_from_the_clock_again(self, open_board):
        board, _ = open_board()
        board.start()
        _, first = board.take_block(timeout=2)
        board.stop()
        drain(board)
        time.sleep(0.05)
        restarted = time.time_ns()
        board.start()
        _, second = board.take_block(timeout=2)
        board.stop()
        assert restarted <= second and second - first >= 50_000_000


class TestTimeout:
    def test_without_timeout_waits_until_another_thread_starts_the_board(self, open_board, capfd):
        board, _ = open_board()

        def start_later():
            time.sleep(0.2)
            board.start()

        starter = threading.Thread(target=start_later)
        starter.start()
        # A wait that never ends (or keeps the interpreter lock, holding the
        # starter off) would hang the run; this watchdog needs no lock and
        # ends it with the threads' tracebacks on the uncaptured stderr.
        with capfd.disabled():
            faulthandler.dump_traceback_later(20, exit=True)
            began = time.monotonic()
            try:
                block = board.samples
            finally:
                faulthandler.cancel_dump_traceback_later()
        waited = time.monotonic() - began
        starter.join()
        assert 0.15 <= waited < 2
        assert first_frame(block) == 0

    def test_zero_returns_none_at_once_on_an_empty_queue(self, open_board):
        board, _ = open_board()
        board.timeout = datetime.timedelta(0)
        began = time.monotonic()
        assert board.samples is None
        assert time.monotonic() - began < 0.05

    def test_zero_returns_the_oldest_ready_block(self, open_board):
        board, chip = open_board()
        board.start()
        wait_until_idle(chip)
        board.stop()
        board.timeout = datetime.timedelta(0)
        assert first_frame(board.samples) == 0

    def test_hundred_milliseconds_returns_none_after_about_that(self, open_board):
        board, _ = open_board()
        board.timeout = datetime.timedelta(milliseconds=100)
        began = time.monotonic()
        assert board.samples is None
        assert 0.09 <= time.monotonic() - began < 2

    def test_other_threads_run_while_samples_waits(self, open_board):
        board, _ = open_board()
        board.timeout = 0.3
        ticks = []
        done = threading.Event()

        def tick():
            while not done.is_set():
                ticks.append(time.monotonic())
                time.sleep(0.001)

        ticker = threading.Thread(target=tick)
        ticker.start()
        try:
            began = time.monotonic()
            block = board.samples
            ended = time.monotonic()
        finally:
            done.set()
            ticker.join()
        assert block is None
        # Away from both ends of the wait, where the ticker may run anyway.
        during = [tick for tick in ticks if began + 0.05 < tick < ended - 0.05]
        assert len(during) >= 10


class TestStop:
    def test_ready_blocks_survive_stop(self, open_board):
        board, chip = open_board()
        board.start()
        wait_until_idle(chip)
        board.stop()
        blocks = drain(board)
        assert len(blocks) == POOL
        assert first_frame(blocks[0]) == 0
        assert_fill_order(blocks, chip.rx_purges)

    def test_reading_resumes_with_true_frames_after_stop_and_start(self, open_board):
        board, _ = open_board()
        board.start()
        before = read_blocks(board, 1)[0]
        board.stop()
        drain(board)
        board.start()
        # The ready queue is empty, so this block is the new reader's.
        after = read_blocks(board, 1)[0]
        board.stop()
        assert first_frame(after) >= first_frame(before) + ROWS


class TestRawData:
    @pytest.mark.parametrize("count", [0, 100])
    def test_acquiring_board_goes_on_delivering_blocks(self, open_board, count):
        board, _ = open_board()
        board.start()
        read_blocks(board, 1)
        raw = board._get_raw_data(count)
        assert raw.dtype == np.uint8 and raw.shape == (count,)
        # Everything ready before the raw read, and the block the stopped
        # reader handed over, come first; the last block is a new reader's.
        latest = read_blocks(board, POOL + 1)[-1]
        board.stop()
        first = first_frame(latest)
        if count:
            assert first * FRAME_SIZE >= raw_stream_position(raw) + count

    @pytest.mark.parametrize("count", [0, 100])
    def test_never_started_board_reads_the_device_and_starts_no_reader(self, open_board, count):
        board, chip = open_board()
        raw = board._get_raw_data(count)
        assert raw.dtype == np.uint8 and raw.shape == (count,)
        assert raw.tobytes() == stream_bytes(0, count)
        assert_no_reader(board, chip)

    def test_stopped_board_reads_on_from_where_the_reader_left(self, open_board):
        board, chip = open_board()
        board.start()
        filled = read_blocks(board, 1)[0]
        board.stop()
        drain(board)
        raw = board._get_raw_data(100)
        position = raw_stream_position(raw)
        assert_stream_piece(raw, position)
        assert position >= (first_frame(filled) + ROWS) * FRAME_SIZE
        assert_no_reader(board, chip)

    def test_raw_bytes_of_an_acquiring_board_are_a_piece_of_the_stream(self, open_board):
        board, _ = open_board()
        board.start()
        read_blocks(board, 1)
        raw = board._get_raw_data(500)
        board.stop()
        assert len(raw) == 500
        assert_stream_piece(raw, raw_stream_position(raw))


class TestFlush:
    def test_flush_purges_the_chip_and_keeps_ready_blocks(self, open_board):
        board, chip = open_board()
        board.start()
        wait_until_idle(chip)
        purges = chip.rx_purges
        assert board.flush() is None
        assert chip.rx_purges == purges + 1
        board.stop()
        blocks = drain(board)
        assert len(blocks) == POOL
        assert first_frame(blocks[0]) == 0
        assert_fill_order(blocks, purges)

    def test_acquisition_goes_on_through_flushes(self, open_board):
        board, chip = open_board()
        board.start()
        blocks = []
        for _ in range(20):
            blocks += read_blocks(board, 1)
            board.flush()
        # More than the pool holds: the last ones were filled after the flushes.
        blocks += read_blocks(board, POOL + 1)
        board.stop()
        assert chip.rx_purges >= 20
        assert_fill_order(blocks, chip.rx_purges)
