"""Checks of what a recording or a block holds, against the emulated board's
stream, in which frame i carries its own index (ftdi_emulator.frame_index)."""

import json
import threading
import time
from datetime import datetime

import h5py
import numpy as np
from ftdi_emulator import frame_indexes

import _pynvk_boards_pp as nvk


def assert_consecutive_frames(rows):
    """Every row is a true frame, each the one after its predecessor."""
    indexes = frame_indexes(rows)
    assert len(indexes) and indexes[0] >= 0, "the first row is no frame"
    breaks = np.flatnonzero(np.diff(indexes) != 1)
    assert not breaks.size, f"{breaks.size} breaks, the first after row {breaks[0]}: {indexes[breaks[0]:breaks[0] + 2]}"


def board_part(group):
    """The samples, the block times (None when absent), the attributes and
    the growth of every counter of a board's part of a recording."""
    samples = group["samples"][:]
    times = group["block_time_ns"][:] if "block_time_ns" in group else None
    attributes = dict(group.attrs)
    start, end = json.loads(attributes["stats_start"]), json.loads(attributes["stats_end"])
    assert list(start) == list(end) == list(nvk.STATS_KEYS)
    grown = {name: end[name] - start[name] for name in nvk.STATS_KEYS if name not in nvk.STATS_STATES}
    return samples, times, attributes, grown


def read_recording(path):
    """A one-board recording's samples, attributes and counter growth."""
    with h5py.File(path, "r") as file:
        samples, _, attributes, grown = board_part(file)
    return samples, attributes, grown


def read_boards(path):
    """A recording of several boards: its root attributes, and per serial
    number (in the recorded order) what board_part gives."""
    with h5py.File(path, "r") as file:
        return dict(file.attrs), {serial: board_part(file[f"boards/{serial}"]) for serial in file.attrs["boards"]}


def utc_ns(text):
    moment = datetime.fromisoformat(text)
    return int(moment.timestamp()) * 10**9 + moment.microsecond * 1000


def once_streaming(chip, fault, blocks=4, rows=256):
    """Calls `fault` (e.g. chip.pause) in a thread once the emulated chip has
    delivered `blocks` blocks: a fixed delay may pass before a loaded machine
    has even opened the board."""
    def wait_then_fail():
        deadline = time.monotonic() + 30
        while chip.bytes_delivered < blocks * rows * nvk.FRAME_SIZE and time.monotonic() < deadline:
            time.sleep(0.01)
        fault()

    threading.Thread(target=wait_then_fail, daemon=True).start()
