"""The API for scripts on emulated boards: opening, blocks in slices, the drain at stop()."""

import os
import signal
import threading
import time

import numpy as np
import pytest
from ftdi_emulator import FAIL_CLAIM

from pynvk_boards import BoardError, NoBoardError, NoDataError, open_board, open_boards
from pynvk_boards.board import choose_serial, choose_serials
from recorded import assert_consecutive_frames


@pytest.mark.parametrize("serial, listed, chosen", [
    (None, ["RIX2", "RIX1"], "RIX2"),
    ("", ["RIX2", "RIX1"], "RIX2"),  # never the empty serial, which opens any FTDI device
    ("RIX1", ["RIX2", "RIX12", "RIX1"], "RIX12"),  # as PCB_RIX("RIX1") would
    ("RIX1", ["", "RIX1"], "RIX1"),
])
def test_the_serial_chosen_is_the_full_listed_one(serial, listed, chosen):
    assert choose_serial(serial, listed) == chosen


@pytest.mark.parametrize("serial, listed, message", [
    (None, [], "no PCB_RIX board is attached (`pcb-rix doctor` tells why)"),
    ("RIX3", ["RIX1", "RIX2"], "no board's serial begins with 'RIX3'; attached boards: 'RIX1', 'RIX2'"),
    (None, ["", "RIX1"], "the board listed first has no serial number"),
])
def test_serials_that_open_no_board_or_the_wrong_device_are_refused(serial, listed, message):
    with pytest.raises(BoardError, match="doctor") as error:
        choose_serial(serial, listed)
    assert message in str(error.value)
    assert isinstance(error.value, NoBoardError) == (not listed)


def test_a_board_that_does_not_open_names_the_attached_ones(ftdi_emulator):
    ftdi_emulator.add_device("RIX1", failing_steps=FAIL_CLAIM)
    with pytest.raises(BoardError, match=r"board 'RIX1' did not open; attached boards: 'RIX1' \(`pcb-rix doctor`"):
        with open_board():
            pass


def test_leaving_stops_and_releases_the_board_even_after_an_error(ftdi_emulator):
    chip = ftdi_emulator.add_device("RIX12")
    with pytest.raises(ZeroDivisionError):
        with open_board("RIX1", rows=64) as board:
            assert (board.serial, board.rows, board.device.read_ahead) == ("RIX12", 64, 1 << 20)
            next(board.blocks())
            1 / 0
    assert chip.wait_value("open_handles", 0)
    with pytest.raises(BoardError, match="closed"):
        board.stats()


@pytest.mark.parametrize("asked, message", [
    (["RIX1", "RIX2"], None),
    (["RIX", "RIX2"], "serial numbers 'RIX' and 'RIX2' both choose board 'RIX2', which can be opened once"),
    (["RIX1", "RIX1"], "serial numbers 'RIX1' and 'RIX1' both choose board 'RIX1'"),
])
def test_several_serials_choose_several_boards_each_once(asked, message):
    listed = ["RIX2", "RIX1"]
    if message is None:
        assert choose_serials(asked, listed) == ["RIX1", "RIX2"]
    else:
        with pytest.raises(BoardError, match=message):
            choose_serials(asked, listed)


def test_blocks_are_consecutive_frames_with_times_and_stop_hands_on_the_fresh_rows_left(ftdi_emulator):
    ftdi_emulator.add_device("RIX1", stream_position=5, bytes_per_second=200_000)
    # Synchronous reads: a block's time is that of the read that completed it.
    with open_board(rows=64, read_ahead=0) as board:
        before = board.stats()
        started = time.time_ns()
        taken = []
        for pair in board.blocks(times=True):
            taken.append(pair)
            if len(taken) == 20:
                break
        time.sleep(0.1)  # the reader queues more, and is in the middle of a block
        left = board.stop(times=True)
        stopped = time.time_ns()
        after = board.stats()
    rows = np.concatenate([block for block, _ in taken + left])
    assert len(rows) == after["frames"] - before["frames"]
    assert after["partial_blocks"] - before["partial_blocks"] == 1
    assert_consecutive_frames(rows)
    times = [time_ns for _, time_ns in taken + left]
    assert started <= times[0] and times[-1] <= stopped and times == sorted(times)
    # A block takes 64 rows of 12 bytes at 200 kB/s, 3.8 ms (longer on a busy
    # machine); blocks that one read completed share its time.
    assert 0.5 <= (times[-1] - times[0]) / (len(times) - 1) / (64 * 12 / 200_000 * 1e9) <= 3


def test_open_boards_opens_each_with_its_read_ahead_and_closes_them_all(ftdi_emulator):
    chips = [ftdi_emulator.add_device(serial) for serial in ("RIX1", "RIX2")]
    with open_boards(["RIX2", "RIX1"], rows=64, read_ahead=1000) as boards:
        assert [(board.serial, board.device.read_ahead) for board in boards] == [("RIX2", 1024), ("RIX1", 1024)]
        assert [len(next(board.blocks())) for board in boards] == [64, 64]
    assert all(chip.wait_value("open_handles", 0) for chip in chips)


def test_no_block_for_too_long_is_an_error_naming_the_board(ftdi_emulator):
    ftdi_emulator.add_device("RIX1").pause()
    with open_board() as board:
        started = time.monotonic()
        with pytest.raises(NoDataError, match="no data from board RIX1 for 0.5 s"):
            next(board.blocks(no_data_s=0.5))
        assert time.monotonic() - started < 5


def test_until_ends_the_blocks_while_none_come(ftdi_emulator):
    ftdi_emulator.add_device("RIX1").pause()
    with open_board() as board:
        stop = threading.Timer(0.3, lambda: None)
        stop.start()
        assert list(board.blocks(until=lambda: not stop.is_alive())) == []


def test_ctrl_c_interrupts_a_wait_for_blocks_within_a_fraction_of_a_second(ftdi_emulator):
    ftdi_emulator.add_device("RIX1").pause()
    sent = []

    def interrupt():
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    with open_board() as board:
        timer = threading.Timer(0.3, interrupt)
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            next(board.blocks())
        timer.join()
    # A slice is 0.1 s; the rest is room for a busy machine.
    assert time.monotonic() - sent[0] < 1.5
