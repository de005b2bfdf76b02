"""Checks of sample blocks and raw bytes against the emulated board stream.

Frame i of an emulated board carries its own index (see ftdi_emulator), so a
block tells which frames it holds, whether they are consecutive and whether a
row is a true frame at all."""

import time

import numpy as np
from ftdi_emulator import FRAME_SIZE, frame_index, frame_values, stream_bytes

SYNC = b"\xf0\x0f"


def expected_block(first, rows):
    """The int16 block that frames first .. first + rows - 1 make."""
    values = [frame_values(index) for index in range(first, first + rows)]
    return np.array(values, dtype=np.uint16).view(np.int16)


def first_frame(block):
    """Index of the frame in row 0, after checking that row j holds frame
    first + j, value for value."""
    first = frame_index(block[0])
    assert first >= 0, f"row 0 is no frame: {block[0]}"
    np.testing.assert_array_equal(block, expected_block(first, len(block)))
    return first


def assert_fill_order(blocks, purges):
    """Blocks of consecutive frames, each later in the stream than the one
    before. The stream only jumps ahead where the chip was purged, so at most
    `purges` blocks may start anywhere but right after their predecessor."""
    firsts = [first_frame(block) for block in blocks]
    jumps = 0
    for block, first, following in zip(blocks, firsts, firsts[1:]):
        after = first + len(block)
        assert following >= after, f"a block of frames {following}.. came after one ending at {after - 1}"
        jumps += following != after
    assert jumps <= purges, f"{jumps} jumps in the stream with only {purges} purges"


def drain(board):
    """Every block the board holds ready, taken without waiting (sets its
    timeout to zero). Only for a board that is not acquiring."""
    board.timeout = 0.0
    blocks = []
    while (block := board.samples) is not None:
        blocks.append(block)
    return blocks


def wait_until_idle(chip, settle=0.2, limit=5.0):
    """Waits until the chip has handed out no byte for two `settle` periods in
    a row: a reader that holds the last free block full stops reading."""
    deadline = time.monotonic() + limit
    delivered = chip.bytes_delivered
    quiet = 0
    while quiet < 2:
        assert time.monotonic() < deadline, "the chip never stopped delivering"
        time.sleep(settle)
        now = chip.bytes_delivered
        quiet = quiet + 1 if now == delivered else 0
        delivered = now


def raw_stream_position(raw):
    """Stream position of raw[0], found from the first whole frame in `raw`."""
    data = raw.tobytes()
    offset = data.find(SYNC)
    assert 0 <= offset <= len(data) - FRAME_SIZE, "no whole frame in the raw bytes"
    values = np.frombuffer(data[offset + 2 : offset + FRAME_SIZE], dtype="<u2")
    index = frame_index(values)
    assert index >= 0, f"the bytes after the sync pair are no frame: {values}"
    return index * FRAME_SIZE - offset


def assert_stream_piece(raw, position):
    """raw holds the stream's bytes from `position` on, without a gap."""
    assert raw.tobytes() == stream_bytes(position, len(raw))
