"""Checks of what a recording or a block holds, against the emulated board's
stream, in which frame i carries its own index (ftdi_emulator.frame_index)."""

import json
from datetime import datetime

import h5py
import numpy as np
from ftdi_emulator import frame_index, frame_values

import _pynvk_boards_pp as nvk

TAILS = np.array([frame_values(i)[4] for i in range(4)])


def frame_indexes(rows):
    """ftdi_emulator.frame_index of every row at once: -1 for a row that is no frame."""
    values = np.asarray(rows).view(np.uint16).astype(np.int64)
    index = np.zeros(len(values), np.int64)
    torn = np.zeros(len(values), bool)
    for j in range(8):
        byte = (values[:, j // 2] >> (8 * (j % 2))) & 0xFF
        torn |= byte >= 0x80
        index |= (byte & 0x7F) << (7 * j)
    indexes = np.where(~torn & (values[:, 4] == TAILS[index % 4]), index, -1)
    assert [frame_index(row) for row in rows[:3]] == list(indexes[:3])
    return indexes


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
