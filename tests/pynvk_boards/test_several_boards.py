"""`pcb-rix record` of several emulated boards into one file: the layout,
each board's rows and block times, a board that fails mid-recording, and
the signals that end a recording."""

import json
import os
import re
import signal
import subprocess
import time

import h5py
import numpy as np
import pytest

from pynvk_boards import open_recording
from pynvk_boards.cli import main
from recorded import assert_consecutive_frames, once_streaming, read_boards, utc_ns

ROWS = 256
RATE = 300_000  # bytes per second of each paced board
BOARD_ATTRIBUTES = {"serial_number", "samples_count", "emulated", "gapless", "stats_start", "stats_end", "read_ahead",
                    "compression"}


def record(tmp_path, *options):
    out = tmp_path / "run.h5"
    return main(["record", str(out), "--rows", str(ROWS), *options]), out


def test_two_boards_record_into_one_file_each_with_consecutive_frames_and_block_times(ftdi_emulator, tmp_path,
                                                                                      capsys):
    ftdi_emulator.add_device("NVK1", bytes_per_second=RATE)
    ftdi_emulator.add_device("NVK2", bytes_per_second=RATE, stream_position=7)
    ftdi_emulator.add_device("NVK3", bytes_per_second=RATE)  # not asked for
    status, out = record(tmp_path, "--serial", "NVK2", "--serial", "NVK1", "--seconds", "1.5")
    assert status == 0, capsys.readouterr().err
    root, boards = read_boards(out)
    assert list(boards) == list(root["boards"]) == ["NVK2", "NVK1"]
    assert set(root) == {"started_utc", "stopped_utc", "module_version", "host", "boards", "gapless"}
    assert root["gapless"] == True  # noqa: E712 (a NumPy bool)
    started, stopped = utc_ns(root["started_utc"]), utc_ns(root["stopped_utc"])
    block_ns = ROWS * 12 / RATE * 1e9
    for serial, (samples, times, attributes, grown) in boards.items():
        assert set(attributes) == BOARD_ATTRIBUTES and attributes["serial_number"] == serial
        assert attributes["gapless"] == True  # noqa: E712
        # Ended by time: every frame read is in the file, in order.
        assert len(samples) == grown["frames"] > 10 * ROWS
        assert_consecutive_frames(samples)
        # A time per block, the last block perhaps cut short, none going back,
        # all within the recording.
        assert len(times) == -(-len(samples) // ROWS)
        assert np.all(np.diff(times) >= 0)
        assert started <= times[0] and times[-1] <= stopped
    first_blocks = [times[0] for _, times, _, _ in boards.values()]
    assert max(first_blocks) - min(first_blocks) <= 100e6 + block_ns

    output = capsys.readouterr().out
    for serial, (samples, *_) in boards.items():
        assert f"{serial}: wrote {len(samples):,} rows" in output and f"{serial}: gapless: yes" in output

    # What the reading helpers and `pcb-rix info --json` make of it.
    with open_recording(out) as recording:
        assert [board.serial for board in recording.boards] == ["NVK2", "NVK1"] and recording.gapless
        board = recording.boards[0]
        times = board.block_time_ns[:]
        last_rows = np.minimum(np.arange(1, len(times) + 1) * ROWS, board.rows) - 1
        # Each block's last row was read by its block time; the last block of
        # those one USB transfer completed, at that time.
        row_ns = board.row_times(last_rows)
        completed = np.append(times[1:] != times[:-1], True)
        assert np.all(row_ns <= times) and np.array_equal(row_ns[completed], times[completed])
        assert np.all(np.diff(board.row_times(np.arange(board.rows))) >= 0)
    assert main(["info", str(out), "--json"]) == 0
    data = json.loads(capsys.readouterr().out)
    assert set(data) == {"attributes", "counters", "gapless", "boards"} and data["gapless"] is True
    assert data["attributes"]["boards"] == ["NVK2", "NVK1"]
    assert set(data["boards"]) == {"NVK1", "NVK2"}
    assert all(set(part) == {"attributes", "counters", "gapless"} for part in data["boards"].values())
    assert data["counters"]["frames"] == sum(len(samples) for samples, *_ in boards.values())


def test_all_records_every_listed_board_and_info_tells_each(ftdi_emulator, tmp_path, capsys):
    for serial in ("NVK1", "NVK2", "NVK3"):
        ftdi_emulator.add_device(serial)
    status, out = record(tmp_path, "--all", "--blocks", "20", "--compress", "lz4")
    assert status == 0, capsys.readouterr().err
    root, boards = read_boards(out)
    assert list(boards) == ["NVK1", "NVK2", "NVK3"]
    for samples, times, attributes, grown in boards.values():
        assert samples.shape == (20 * ROWS, 5) and len(times) == 20 and attributes["compression"] == "lz4"
        assert_consecutive_frames(samples)
    capsys.readouterr()
    assert main(["info", str(out)]) == 0
    output = capsys.readouterr().out
    assert [line for line in output.splitlines() if line.startswith("board ")] == ["board NVK1", "board NVK2",
                                                                                  "board NVK3"]
    assert output.count("lz4 (ratio ") == 3


@pytest.mark.parametrize("fault", ["unplug", "pause"])
def test_a_board_failing_mid_recording_ends_it_naming_the_board_with_every_board_kept(ftdi_emulator, tmp_path,
                                                                                      capsys, fault):
    ftdi_emulator.add_device("NVK1", bytes_per_second=RATE)
    failing = ftdi_emulator.add_device("NVK2", bytes_per_second=RATE)
    once_streaming(failing, getattr(failing, fault), rows=ROWS)
    started = time.monotonic()
    status, out = record(tmp_path, "--all", "--no-data-timeout", "1")
    errors = capsys.readouterr().err
    assert status == 1 and errors.count("\n") == 1
    assert errors.startswith("pcb-rix record: no data from board NVK2 for 1 s; ")
    kept = dict(re.findall(r"(NVK\d): ([\d,]+)", errors))
    assert time.monotonic() - started < 10
    root, boards = read_boards(out)
    assert "stopped_utc" in root and "gapless" in root  # the file was finished
    for serial, (samples, times, attributes, grown) in boards.items():
        assert len(samples) == grown["frames"] == int(kept[serial].replace(",", "")) > 0
        assert len(times) == -(-len(samples) // ROWS)
        assert_consecutive_frames(samples)
    # The board that went on delivered for longer than the one that failed.
    assert len(boards["NVK1"][0]) > len(boards["NVK2"][0])


@pytest.mark.parametrize("boards, signum, status", [
    (1, signal.SIGINT, 130),
    (2, signal.SIGINT, 130),
    (2, signal.SIGTERM, 143),
])
def test_a_signal_ends_the_recording_with_a_whole_file(pcb_rix, tmp_path, boards, signum, status):
    out = tmp_path / "run.h5"
    # The child inherits umockdev's preload and runs the emulated boards itself.
    process = subprocess.Popen([pcb_rix, "record", str(out), "--emulate", str(boards), "--rows", str(ROWS)],
                               env=dict(os.environ), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert process.stdout.readline().startswith(f"recording board{'s' if boards > 1 else ''} NVKEMU0001")
        time.sleep(1.0)
        process.send_signal(signum)
        output, errors = process.communicate(timeout=60)
    finally:
        process.kill()
    assert (process.returncode, errors) == (status, "")
    with h5py.File(out, "r") as file:
        parts = [file] if boards == 1 else [file[f"boards/NVKEMU000{number}"] for number in range(1, boards + 1)]
        for part in parts:
            samples = part["samples"][:]
            end, start = (json.loads(part.attrs[name]) for name in ("stats_end", "stats_start"))
            # The blocks queued at the stop, and the fresh rows of the block it cut, are in.
            assert len(samples) == end["frames"] - start["frames"] > 0
            assert end["partial_blocks"] - start["partial_blocks"] <= 1
            assert_consecutive_frames(samples)
            assert part.attrs["emulated"] == True and part.attrs["gapless"] == True  # noqa: E712
    assert output.count("gapless: yes") == boards
