"""Checks of what a recording or a block holds, against the emulated board's
stream, in which frame i carries its own index (ftdi_emulator.frame_index)."""

import json

import h5py
import numpy as np
from ftdi_emulator import frame_index, frame_values

TAILS = np.array([frame_values(i)[4] for i in range(4)])
STATS_KEYS = ["bytes_read", "frames", "torn_frames", "discarded_bytes", "blocks", "partial_blocks", "last_cut_rows",
              "alignments", "realignments", "purges", "flushes", "failed_reads", "short_reads", "pool_waits",
              "pool_wait_ns", "raw_reads", "raw_bytes", "ready_blocks", "running"]


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


def read_recording(path):
    """The samples, the attributes and the growth of every counter."""
    with h5py.File(path, "r") as file:
        samples = file["samples"][:]
        attributes = dict(file.attrs)
    start, end = json.loads(attributes["stats_start"]), json.loads(attributes["stats_end"])
    assert list(start) == list(end) == STATS_KEYS
    grown = {name: end[name] - start[name] for name in STATS_KEYS if name != "running"}
    return samples, attributes, grown
