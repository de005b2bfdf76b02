"""The module on emulated boards: listing, opening, streaming, purging."""

import datetime
import os
import re
import subprocess
import sys
import time

import numpy as np

import _pynvk_boards_pp as nvk
from ftdi_emulator import FRAME_SIZE, frame_bytes, frame_index, frame_values, stream_bytes

TIMEOUT = datetime.timedelta(seconds=10)


def consecutive(indexes):
    return indexes == list(range(indexes[0], indexes[0] + len(indexes)))


def test_boards_are_listed_in_enumeration_order(ftdi_emulator):
    ftdi_emulator.add_device("SN-B")
    ftdi_emulator.add_device("SN-X", manufacturer="Other")
    ftdi_emulator.add_device("SN-A", manufacturer="NVK GmbH", description="PCB_RIX rev 2")
    ftdi_emulator.add_device("SN-Y", description="PCB_ADC")
    assert nvk.list_pcb_rix() == ["SN-B", "SN-A"]


def test_opened_board_streams_consecutive_frames(ftdi_emulator):
    # The stream begins inside frame 5, so the reader has to realign first.
    chip = ftdi_emulator.add_device("SN1", stream_position=5 * FRAME_SIZE + 3)
    board = nvk.PCB_RIX("SN1", 64)
    assert board.opened()
    assert (chip.bitmode, chip.bitmask) == (0x40, 0xFF)
    board.timeout = TIMEOUT
    board.start()
    try:
        blocks = [board.samples for _ in range(4)]
    finally:
        board.stop()
    assert all(block.shape == (64, 5) and block.dtype == np.int16 for block in blocks)
    indexes = [frame_index(row) for block in blocks for row in block]
    assert indexes[0] > 5
    assert consecutive(indexes)


def test_raw_data_is_the_board_stream(ftdi_emulator):
    ftdi_emulator.add_device("SN1", stream_position=7)
    board = nvk.PCB_RIX("SN1")
    raw = board._get_raw_data(5000)
    assert raw.tobytes() == stream_bytes(7, 5000)


def test_wrapper_controls_shape_the_raw_stream(ftdi_emulator):
    chip = ftdi_emulator.add_device("SN1", stream_position=3)
    board = nvk.PCB_RIX("SN1")

    def raw(count):
        return board._get_raw_data(count).tobytes()

    # 4080 bytes are one whole transfer, so libftdi keeps nothing back.
    assert raw(4080) == stream_bytes(3, 4080)
    chip.pause()
    assert raw(4080) == b""
    chip.resume()
    chip.inject_garbage(2)
    chip.inject_garbage(b"\x01\x02")
    assert raw(4080) == b"\xa5\xa5\x01\x02" + stream_bytes(4083, 4076)
    # A paced board starts with this read and makes no byte ahead of its pace.
    rate = 200_000
    chip.set_pace(rate)
    start = time.monotonic()
    assert raw(4080) == stream_bytes(8159, 4080)
    assert time.monotonic() - start >= 4080 / rate
    chip.set_pace(None)
    assert raw(4080) == stream_bytes(8159 + 4080, 4080)
    assert chip.bytes_delivered == 4 * 4080
    chip.remove()
    assert nvk.list_pcb_rix() == []


def test_flush_purges_the_chip(ftdi_emulator):
    chip = ftdi_emulator.add_device("SN1")
    board = nvk.PCB_RIX("SN1")
    board.flush()
    assert (chip.rx_purges, chip.tx_purges) == (1, 1)
    assert board._get_raw_data(12).tobytes() == stream_bytes(1024, 12)


def test_dropped_board_closes_its_device(ftdi_emulator):
    chip = ftdi_emulator.add_device("SN1")
    board = nvk.PCB_RIX("SN1")
    assert chip.claimed_interfaces == 1
    del board
    assert chip.wait_value("open_handles", 0)
    assert chip.claimed_interfaces == 0


def test_frame_index_recognises_true_frames_only():
    for index in (0, 1, 127, 128, 2**28 + 3, 2**56 - 1):
        values = frame_values(index)
        assert frame_index(values) == index
        # As the module hands them out: int16 with the sign bit set.
        assert frame_index(np.array(values, dtype=np.uint16).view(np.int16)) == index
    torn = np.frombuffer(frame_bytes(9)[1:] + frame_bytes(10)[:1], dtype="<u2")[1:6]
    assert frame_index(torn) == -1
    assert frame_index([0, 0, 0, 0, 0x8000]) == -1


def test_emulator_refuses_to_start_without_umockdev_preload():
    # Other preloads (a sanitizer runtime) stay: the library may need them.
    preloads = re.split(r"[: ]", os.environ.get("LD_PRELOAD", ""))
    env = dict(os.environ, LD_PRELOAD=" ".join(p for p in preloads if p and "libumockdev-preload" not in p))
    code = (
        "import ftdi_emulator\n"
        "try:\n"
        "    ftdi_emulator.Emulator()\n"
        "except ftdi_emulator.EmulatorError as error:\n"
        "    print(error)\n"
    )
    result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    assert "umockdev-wrapper" in result.stdout
