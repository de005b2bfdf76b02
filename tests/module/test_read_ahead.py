"""Read-ahead end to end on the emulated chip, whose host controller fills
queued bulk transfers while the process sleeps: a board that cannot pause
against a frozen process, jumps and garbage in the stream, failing and
vanishing devices, and the control calls."""

import json
import time

import numpy as np
import pytest
from ftdi_emulator import FRAME_SIZE, frame_indexes

import _pynvk_boards_pp as nvk

ROWS = 256
READ_AHEAD = 1 << 20

FROZEN_READER = """
    import json
    import sys
    import time

    import ftdi_emulator
    import numpy as np
    import _pynvk_boards_pp as nvk

    emulator = ftdi_emulator.Emulator()
    chip = emulator.add_device("RIX-FROZEN", bytes_per_second=2_000_000, board_buffer=32 * 1024)
    board = nvk.PCB_RIX("RIX-FROZEN", 4096)
    board.read_ahead = int(sys.argv[1])
    board.start()
    print("streaming", flush=True)
    rows = []
    end = time.monotonic() + 2.5
    while time.monotonic() < end:
        taken = board.take_block(1.0)
        if taken is not None:
            rows.append(ftdi_emulator.frame_indexes(taken[0]))
    # Once stopped, nothing takes the board's data: it overflows then.
    dropped = chip.bytes_dropped
    board.stop()
    rows = np.concatenate(rows)
    stats = board.stats()
    print(json.dumps({"dropped": dropped, "rows": len(rows), "not_frames": int((rows < 0).sum()),
                      "gaps": int(np.count_nonzero(np.diff(rows) != 1)), "first": int(rows[0]),
                      **{name: stats[name] for name in ("realignments", "torn_frames", "purges")}}))
    del board
    emulator.stop()
"""


@pytest.mark.parametrize("read_ahead", [READ_AHEAD, 0], ids=["read-ahead", "synchronous-reads"])
def test_a_board_that_cannot_pause_loses_nothing_while_the_process_is_frozen_only_with_read_ahead(run_frozen,
                                                                                                  read_ahead):
    # 160 kB of stream per freeze, five times the board's FIFO.
    result = json.loads(run_frozen(FROZEN_READER, read_ahead))
    if read_ahead:
        # 2.5 s of a 2 MB/s board: some 100 blocks.
        assert result["rows"] >= 50 * 4096, result
        assert (result["dropped"], result["gaps"], result["not_frames"]) == (0, 0, 0), result
        assert (result["realignments"], result["purges"], result["torn_frames"]) == (0, 0, 0), result
        assert result["first"] == 0, "the run did not begin with the board's first frame"
    else:
        # One transfer in flight at most: the FIFO overflows while frozen,
        # and the stream breaks where it did.
        assert result["dropped"] > 0 and result["gaps"] + result["not_frames"] > 0, result


def streaming_board(emulator, serial, rows=ROWS, read_ahead=READ_AHEAD, **chip):
    device = emulator.add_device(serial, **chip)
    board = nvk.PCB_RIX(serial, rows)
    assert board.opened()
    board.read_ahead = read_ahead
    board.start()
    return device, board


def take(board, count, into):
    for _ in range(count):
        taken = board.take_block(2.0)
        assert taken is not None, f"no block within 2 s after {len(into)} blocks"
        into.append(taken[0])


def gaps(blocks):
    """(last frame before, first frame after) of every break in the frames."""
    indexes = frame_indexes(np.concatenate(blocks))
    assert (indexes >= 0).all(), "a delivered row is no frame"
    breaks = np.flatnonzero(np.diff(indexes) != 1)
    return [(int(indexes[b]), int(indexes[b + 1])) for b in breaks]


def test_jumps_and_garbage_cost_the_frames_skipped_and_at_most_two_more_and_no_purge(ftdi_emulator):
    # Little read-ahead: the blocks taken after each fault pass what the
    # transfers held before it.
    device, board = streaming_board(ftdi_emulator, "RIX-JUMPS", read_ahead=64 * 1024)
    blocks = []
    allowed = []
    for fault, size in [("jump", 1), ("jump", 5), ("garbage", 7), ("jump", 11), ("garbage", 12), ("jump", 30),
                        ("garbage", 100), ("jump", 4096 * 12 + 6), ("garbage", 5000)]:
        take(board, 40, blocks)
        position = device.stream_position
        if fault == "jump":
            device.set_stream_position(position + size)
            # Frames wholly inside the bytes skipped.
            skipped = (position + size) // FRAME_SIZE - -(-position // FRAME_SIZE)
        else:
            device.inject_garbage(size)
            skipped = 0
        allowed.append(max(skipped, 0) + 2)
        take(board, 80, blocks)
    board.stop()
    found = gaps(blocks)
    assert len(found) == len(allowed), found
    for (before, after), most in zip(found, allowed):
        assert after - before - 1 <= most, f"lost {after - before - 1} frames at a fault that allows {most}"
    stats = board.stats()
    assert (stats["realignments"], stats["purges"], stats["torn_frames"]) == (len(allowed), 0, 0)
    assert stats["bytes_read"] == FRAME_SIZE * stats["frames"] + stats["discarded_bytes"]


def test_bursty_quiet_and_failing_boards_lose_no_frame(ftdi_emulator):
    device, board = streaming_board(ftdi_emulator, "RIX-BURSTS", rows=4096, bytes_per_second=3_000_000,
                                    burst_bytes=100_003, quiet_s=0.05)
    blocks = []
    take(board, 12, blocks)
    # Failed transfers lose no data of the chip's; a long quiet spell neither.
    device.fail_reads(10)
    take(board, 12, blocks)
    device.pause()
    time.sleep(1.5)
    device.resume()
    take(board, 12, blocks)
    board.stop()
    assert gaps(blocks) == []
    stats = board.stats()
    assert device.quiet_spells >= 2 and device.bytes_dropped == 0
    assert stats["failed_reads"] >= 10 and stats["short_reads"] > 0
    assert (stats["realignments"], stats["purges"], stats["alignments"]) == (0, 0, 0)
    assert device.urbs_queued == 0, "transfers left queued after stop()"


def test_stop_returns_promptly_on_a_quiet_board_and_leaves_nothing_queued(ftdi_emulator):
    device, board = streaming_board(ftdi_emulator, "RIX-QUIET")
    assert board.take_block(2.0) is not None
    device.pause()
    time.sleep(0.3)
    assert device.urbs_queued > 0
    began = time.monotonic()
    board.stop()
    assert time.monotonic() - began < 0.5
    assert device.urbs_queued == 0
    # start() queues anew.
    device.resume()
    board.start()
    assert board.take_block(2.0) is not None
    board.stop()
    assert device.urbs_queued == 0


def test_flushes_while_reading_ahead_drop_what_was_queued_and_keep_rows_whole(ftdi_emulator):
    device, board = streaming_board(ftdi_emulator, "RIX-FLUSH", bytes_per_second=2_000_000)
    blocks = []
    for _ in range(5):
        take(board, 20, blocks)
        purges = device.rx_purges
        board.flush()
        assert device.rx_purges == purges + 1
    take(board, 20, blocks)
    board.stop()
    # A flush drops what the transfers held, so the frames jump ahead there.
    breaks = gaps(blocks)
    assert 1 <= len(breaks) <= 5 and all(before < after for before, after in breaks)
    stats = board.stats()
    assert (stats["flushes"], stats["torn_frames"], stats["purges"], stats["realignments"]) == (5, 0, 0, 0)
    assert stats["bytes_read"] == FRAME_SIZE * stats["frames"] + stats["discarded_bytes"]
    assert device.urbs_queued == 0


def test_an_unplugged_board_stops_delivering_and_lets_go(ftdi_emulator):
    device, board = streaming_board(ftdi_emulator, "RIX-GONE")
    assert board.take_block(2.0) is not None
    device.unplug()
    while board.take_block(0.3) is not None:
        pass
    failed = board.stats()["failed_reads"]
    time.sleep(0.3)
    # Refused submissions are backed off from, not retried in a busy loop.
    assert board.stats()["failed_reads"] - failed < 40
    began = time.monotonic()
    board.stop()
    assert time.monotonic() - began < 0.5
    del board
    assert device.wait_value("open_handles", 0)
