"""PCB_RIX.stats() on emulated boards: the counters name exactly the fresh
rows a consumer received and mark every gap in what it received."""

import datetime
import threading

import numpy as np
import pytest
from ftdi_emulator import frame_index

import _pynvk_boards_pp as nvk

ROWS = 16
BLOCK_WAIT = datetime.timedelta(seconds=2)
KEYS = [
    "bytes_read", "frames", "torn_frames", "discarded_bytes", "blocks", "partial_blocks", "last_cut_rows",
    "alignments", "realignments", "purges", "flushes", "failed_reads", "short_reads", "pool_waits",
    "pool_wait_ns", "raw_reads", "raw_bytes", "ready_blocks", "running",
]
GAP_COUNTERS = ("realignments", "torn_frames", "failed_reads")


def assert_every_byte_accounted_for(stats):
    assert stats["bytes_read"] == 12 * stats["frames"] + stats["discarded_bytes"], stats


class Consumer:
    """Takes the blocks of a board and keeps only their fresh rows: all rows of
    a full block, and of the block that stop() cut short the first
    last_cut_rows."""

    def __init__(self, board):
        self.board = board
        self.runs = []  # per run: the fresh rows, in delivery order

    def run(self, blocks):
        before = self.board.stats()
        self.board.timeout = BLOCK_WAIT
        self.board.start()
        taken = []
        for _ in range(blocks):
            block = self.board.samples
            assert block is not None, f"no block within {BLOCK_WAIT}"
            taken.append(block)
        self.board.stop()
        self.board.timeout = 0.0
        while (block := self.board.samples) is not None:
            taken.append(block)
        after = self.board.stats()
        if after["partial_blocks"] > before["partial_blocks"]:
            taken[-1] = taken[-1][: after["last_cut_rows"]]
        self.runs.append(np.concatenate(taken))
        return before, after


def frame_indexes(rows):
    return np.array([frame_index(row) for row in rows])


def test_keys_come_in_order_and_an_unopened_board_reports_zeros():
    stats = nvk.PCB_RIX("no such board").stats()
    assert list(stats) == KEYS
    assert stats.pop("running") is False
    assert all(type(value) is int and value == 0 for value in stats.values()), stats


@pytest.mark.parametrize("stream_position", [0, 5], ids=["aligned", "joined-inside-a-frame"])
def test_counted_frames_are_exactly_the_fresh_rows_received_over_start_stop_cycles(ftdi_emulator, stream_position):
    ftdi_emulator.add_device("RIX-1", stream_position=stream_position)
    board = nvk.PCB_RIX("RIX-1", ROWS)
    consumer = Consumer(board)
    seen = []
    done = threading.Event()

    def watch():
        while not done.is_set():
            seen.append(board.stats())

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        for blocks in (0, 3, 70, 1, 10):
            before, after = consumer.run(blocks)
            assert_every_byte_accounted_for(after)
            assert not after["running"]
            assert all(after[name] == 0 for name in GAP_COUNTERS), after
    finally:
        done.set()
        watcher.join()

    fresh = np.concatenate(consumer.runs)
    assert board.stats()["frames"] == len(fresh)
    for rows in consumer.runs:
        indexes = frame_indexes(rows)
        assert (indexes >= 0).all(), "a fresh row is no frame"
        assert (np.diff(indexes) == 1).all(), "the fresh rows of a run are not consecutive frames"
    assert (board.stats()["alignments"] > 0) == (stream_position != 0)
    # Seen from another thread while the board ran, the counters only grew.
    for name in ("bytes_read", "frames", "blocks", "discarded_bytes"):
        values = [stats[name] for stats in seen]
        assert values == sorted(values), name


def test_garbage_in_the_stream_is_counted_as_torn_rows_and_a_realignment(ftdi_emulator):
    chip = ftdi_emulator.add_device("RIX-2")
    board = nvk.PCB_RIX("RIX-2", ROWS)
    consumer = Consumer(board)
    consumer.run(5)
    chip.inject_garbage(bytes(range(0x20, 0x20 + 29)))
    before, after = consumer.run(100)
    assert chip.garbage_pending == 0

    assert_every_byte_accounted_for(after)
    assert after["realignments"] - before["realignments"] >= 1
    delivered_torn = int((frame_indexes(consumer.runs[-1]) < 0).sum())
    assert after["torn_frames"] - before["torn_frames"] == delivered_torn
    assert after["failed_reads"] == 0


def test_flushes_and_raw_reads_are_counted_apart_from_the_stream(ftdi_emulator):
    ftdi_emulator.add_device("RIX-3")
    board = nvk.PCB_RIX("RIX-3", ROWS)
    board.flush()
    raw = board._get_raw_data(100)
    stats = board.stats()
    assert (stats["flushes"], stats["raw_reads"], stats["raw_bytes"]) == (1, 1, len(raw))
    assert stats["bytes_read"] == 0
