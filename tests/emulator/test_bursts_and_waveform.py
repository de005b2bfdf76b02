"""The module on a bursty board, whose reads end inside frames, and on a board
that sends a waveform instead of counter frames."""

import datetime
import time

import numpy as np

import _pynvk_boards_pp as nvk
from ftdi_emulator import FRAME_SIZE, stream_bytes

WAIT = datetime.timedelta(seconds=2)


def test_raw_reads_end_where_the_bursts_do_and_the_stream_goes_on(ftdi_emulator):
    burst = 10_001  # no multiple of a frame
    chip = ftdi_emulator.add_device("SN1", burst_bytes=burst, quiet_s=0.1)
    board = nvk.PCB_RIX("SN1")
    pieces = []
    deadline = time.monotonic() + 10
    while len(pieces) < 3 and time.monotonic() < deadline:
        # A read in a quiet spell brings nothing.
        if piece := board._get_raw_data(3 * burst).tobytes():
            pieces.append(piece)
    assert [len(piece) for piece in pieces] == [burst] * 3
    assert b"".join(pieces) == stream_bytes(0, 3 * burst)
    assert chip.quiet_spells == 3


def test_waveform_frames_reach_the_samples_unchanged(ftdi_emulator):
    start = 7
    ftdi_emulator.add_device("SN1", stream_position=start, waveform=True)
    board = nvk.PCB_RIX("SN1", 256)
    assert board._get_raw_data(5000).tobytes() == stream_bytes(start, 5000, waveform=True)
    board.timeout = WAIT
    board.start()
    try:
        rows = np.concatenate([board.samples for _ in range(8)])
    finally:
        board.stop()

    frames = np.frombuffer(stream_bytes(0, 4000 * FRAME_SIZE, waveform=True), dtype="<u2").reshape(-1, 6)
    values = frames[:, 1:].view(np.int16)
    first = int(np.flatnonzero((values == rows[0]).all(axis=1))[0])
    assert first * FRAME_SIZE > start + 5000
    np.testing.assert_array_equal(rows, values[first : first + len(rows)])
    assert rows.min() >= -2048 and rows.max() <= 2047
