"""`pcb-rix record` on emulated boards: what the file holds, how a recording
ends (by count, time, signal or a full disk) and what it refuses."""

import os
import re
import resource
import signal
import socket
import subprocess
import time
from datetime import datetime, timezone
from importlib import metadata

import h5py
import numpy as np
import pytest

from pynvk_boards.cli import main
from recorded import assert_consecutive_frames, frame_indexes, once_streaming, read_recording, utc_ns

ROWS = 256


def record(tmp_path, *options, name="run.h5"):
    out = tmp_path / name
    return main(["record", str(out), "--rows", str(ROWS), *options]), out


def test_a_recording_holds_consecutive_frames_and_says_what_it_holds(ftdi_emulator, tmp_path, capsys):
    ftdi_emulator.add_device("NVK1")
    ftdi_emulator.add_device("NVK43", stream_position=7)  # joined mid-frame
    before = datetime.now(timezone.utc)
    status, out = record(tmp_path, "--serial", "NVK4", "--blocks", "300")
    assert status == 0, capsys.readouterr().err
    samples, attributes, grown = read_recording(out)
    assert samples.shape == (300 * ROWS, 5) and samples.dtype == np.int16
    assert_consecutive_frames(samples)
    with h5py.File(out) as file:
        chunks, maxshape = file["samples"].chunks, file["samples"].maxshape
        times = file["block_time_ns"][:]
    assert chunks[0] % ROWS == 0 and chunks[1] == 5 and maxshape == (None, 5)
    started = datetime.fromisoformat(attributes["started_utc"])
    stopped = datetime.fromisoformat(attributes["stopped_utc"])
    assert before <= started <= stopped <= datetime.now(timezone.utc)
    # A time per block, taken while the recording ran, never going back.
    assert times.dtype == np.int64 and len(times) == 300
    assert utc_ns(attributes["started_utc"]) <= times[0] and times[-1] <= utc_ns(attributes["stopped_utc"])
    assert np.all(np.diff(times) >= 0)
    assert {name: attributes[name] for name in ("serial_number", "samples_count", "module_version", "host",
                                                "read_ahead", "compression")} == {
        "serial_number": "NVK43", "samples_count": ROWS, "module_version": metadata.version("pynvk-boards-pp"),
        "host": socket.gethostname(), "read_ahead": 1 << 20, "compression": "none"}
    assert attributes["emulated"] == False  # noqa: E712 (a NumPy bool)
    # Joining mid-frame takes alignments, which are no gap.
    assert grown["alignments"] >= 1 and grown["realignments"] == grown["torn_frames"] == 0
    assert attributes["gapless"] == True  # noqa: E712
    # Exactly the blocks asked for; frames the reader took beyond them are told.
    left_out = grown["frames"] - len(samples)
    assert left_out >= 0
    output = capsys.readouterr().out
    assert "gapless: yes" in output
    assert f"wrote {300 * ROWS:,} rows (300.00 blocks of {ROWS})" in output
    # Not on a terminal, progress is a plain log line, the last one the final state.
    progress = [line for line in output.splitlines() if line.startswith("recording: ")]
    assert progress and f" {300 * ROWS:,} rows, " in progress[-1]
    assert "━" not in output


def test_a_garbage_burst_is_a_gap_with_its_reason_and_counters(ftdi_emulator, tmp_path, capsys):
    chip = ftdi_emulator.add_device("NVK1")
    once_streaming(chip, lambda: chip.inject_garbage(100), blocks=300, rows=ROWS)
    status, out = record(tmp_path, "--blocks", "600")
    assert status == 0
    samples, attributes, grown = read_recording(out)
    assert attributes["gapless"] == False  # noqa: E712
    assert grown["realignments"] >= 1
    indexes = frame_indexes(samples)
    whole = indexes[indexes >= 0]
    assert np.count_nonzero(np.diff(whole) != 1) >= 1, "the file shows no gap"
    assert np.count_nonzero(indexes < 0) <= grown["torn_frames"]
    assert re.search(r"gapless: NO: \d+ realignment\(s\) after the first row", capsys.readouterr().out)


def test_seconds_end_the_recording_with_every_frame_read_in_the_file(ftdi_emulator, tmp_path):
    ftdi_emulator.add_device("NVK1", bytes_per_second=300_000)
    status, out = record(tmp_path, "--seconds", "1")
    assert status == 0
    samples, attributes, grown = read_recording(out)
    assert len(samples) == grown["frames"]
    assert_consecutive_frames(samples)
    duration = datetime.fromisoformat(attributes["stopped_utc"]) - datetime.fromisoformat(attributes["started_utc"])
    assert 1 <= duration.total_seconds() < 10


@pytest.mark.parametrize("emulate_first", [False, True], ids=["OUT.h5 --emulate", "--emulate OUT.h5"])
def test_emulate_starts_again_under_umockdev_for_a_user(pcb_rix, tmp_path, emulate_first):
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    out = tmp_path / "run.h5"
    arguments = ["--emulate", str(out)] if emulate_first else [str(out), "--emulate"]
    run = subprocess.run([pcb_rix, "record", *arguments, "--blocks", "3"], env=env,
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    samples, attributes, _ = read_recording(out)
    assert samples.shape == (3 * 4096, 5)
    assert attributes["serial_number"] == "NVKEMU0001" and attributes["emulated"] == True  # noqa: E712


SMALL_BYTES = 3 << 20


@pytest.fixture(params=["tmpfs", "file size limit"])
def small_space(request, tmp_path):
    """A directory in which a file can grow to about SMALL_BYTES only: on a
    size-limited tmpfs, or under RLIMIT_FSIZE (with SIGXFSZ ignored)."""
    directory = tmp_path / "small"
    directory.mkdir()
    if request.param == "tmpfs":
        mount = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={SMALL_BYTES}", "tmpfs", str(directory)],
                               capture_output=True)
        if mount.returncode:
            pytest.skip(f"cannot mount a tmpfs here: {mount.stderr.decode().strip()}")
        yield directory, "no space left on device (ENOSPC)"
        subprocess.run(["umount", str(directory)], check=True)
    else:
        limit = resource.getrlimit(resource.RLIMIT_FSIZE)
        handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (SMALL_BYTES, limit[1]))
        try:
            yield directory, "file size limit reached (EFBIG)"
        finally:
            resource.setrlimit(resource.RLIMIT_FSIZE, limit)
            signal.signal(signal.SIGXFSZ, handler)


def test_a_full_disk_ends_the_recording_with_one_line_and_a_readable_file(ftdi_emulator, small_space, capsys):
    directory, reason = small_space
    ftdi_emulator.add_device("NVK1")
    status, out = record(directory, "--seconds", "60")
    errors = capsys.readouterr().err
    assert status == 1
    assert errors.count("\n") == 1 and reason in errors, errors
    kept = int(re.search(r"keeps the ([\d,]+) rows written before", errors).group(1).replace(",", ""))
    samples, attributes, grown = read_recording(out)
    assert len(samples) == kept > 0
    assert_consecutive_frames(samples)
    assert grown["frames"] >= kept


def test_an_existing_file_is_kept_without_force_and_replaced_with_it(ftdi_emulator, tmp_path, capsys):
    ftdi_emulator.add_device("NVK1")
    out = tmp_path / "run.h5"
    out.write_text("precious")
    assert record(tmp_path, "--blocks", "1")[0] == 1
    assert capsys.readouterr().err == f"pcb-rix record: {out} exists: pass --force to overwrite it\n"
    assert out.read_text() == "precious"
    assert record(tmp_path, "--blocks", "1", "--force")[0] == 0
    assert len(read_recording(out)[0]) == ROWS


@pytest.mark.parametrize("devices, message", [
    ([], "no PCB_RIX board is attached (`pcb-rix doctor` tells why); "
         "with --emulate, `pcb-rix record` uses the emulated board"),
    (["NVK1"], "cannot create {out}: no such directory {out.parent}"),
])
def test_a_recording_that_cannot_start_leaves_no_file(ftdi_emulator, tmp_path, capsys, devices, message):
    for serial in devices:
        ftdi_emulator.add_device(serial)
    directory = tmp_path / ("missing" if devices else "")
    status, out = record(directory, "--blocks", "1")
    assert status == 1
    assert capsys.readouterr().err == f"pcb-rix record: {message.format(out=out)}\n"
    assert not out.exists()


FROZEN_RECORDER = """
    import ftdi_emulator
    import sys
    from pynvk_boards.cli import main

    emulator = ftdi_emulator.Emulator()
    emulator.add_device("RIX-FROZEN", bytes_per_second=2_000_000, board_buffer=32 * 1024)
    print("streaming", flush=True)
    status = main(["record", sys.argv[1], "--serial", "RIX-FROZEN", "--seconds", "2.5", "--rows", "4096"])
    emulator.stop()
    print(status)
"""


def test_a_recording_of_a_board_that_cannot_pause_loses_nothing_while_the_process_is_frozen(run_frozen, tmp_path):
    # pcb-rix reads ahead by default: freezes of 80 ms, five times what the
    # board's FIFO holds, cost no frame.
    out = tmp_path / "frozen.h5"
    assert run_frozen(FROZEN_RECORDER, out) == "0"
    samples, attributes, grown = read_recording(out)
    assert attributes["read_ahead"] == 1 << 20 and attributes["gapless"] == True  # noqa: E712
    assert len(samples) == grown["frames"] >= 50 * 4096
    assert_consecutive_frames(samples)
    assert frame_indexes(samples[:1])[0] == 0, "the recording did not begin with the board's first frame"


def test_a_board_that_stops_sending_ends_the_recording_with_its_rows_kept(ftdi_emulator, tmp_path, capsys):
    chip = ftdi_emulator.add_device("NVK1", bytes_per_second=100_000)
    once_streaming(chip, chip.pause)
    status, out = record(tmp_path)
    assert status == 1
    assert "no data from board NVK1 for 5 s" in capsys.readouterr().err
    samples, attributes, grown = read_recording(out)
    assert len(samples) == grown["frames"] > 0
