"""Checks the counter stream's frames as rows of int16 (emulator/board_stream.h:
frame i carries index i mod standin.RING_FRAMES), wherever they were
delivered: in blocks from a reader, or read back from a recording."""

from __future__ import annotations

import numpy as np

import standin


class FrameChecker:
    """Follows the frame indexes of delivered int16 rows. Rows that are no
    frame of the stream are torn; the frames skipped between consecutive
    whole rows are missing (indexes repeat every RING_FRAMES frames, over
    twice as long as any gap a run makes). With `first_index`, frames
    before the first row's are missing too."""

    def __init__(self, first_index: int | None = None):
        self.tails = np.array([0x7FFF, 0x8000, 0xFFFF, 0x0001], np.uint16)
        self.previous = None if first_index is None else (first_index - 1) % standin.RING_FRAMES
        self.gaps = 0
        self.missing_frames = 0
        self.torn_rows = 0
        self.rows = 0

    def _decode(self, rows):
        """Frame indexes of int16 rows and which rows are torn."""
        values = rows.view(np.uint16)
        index_bytes = values[:, :4].view(np.uint8)
        low = index_bytes[:, :3].astype(np.int64)
        index = low[:, 0] | (low[:, 1] << 7) | (low[:, 2] << 14)
        torn = (low >= 0x80).any(1) | index_bytes[:, 3:].any(1) | (values[:, 4] != self.tails[index & 3])
        return index, torn

    def _follow(self, whole) -> None:
        """Counts the frames skipped before and between whole-row indexes."""
        if self.previous is not None:
            whole = np.concatenate(([self.previous], whole))
        if whole.size:
            # Signed, so that a stray row that slips through cancels out.
            half = standin.RING_FRAMES // 2
            skipped = (np.diff(whole) - 1 + half) % standin.RING_FRAMES - half
            self.gaps += int(np.count_nonzero(skipped))
            self.missing_frames += int(skipped.sum())
            self.previous = int(whole[-1])

    def feed(self, block) -> None:
        self.rows += len(block)
        # A block whose end rows are whole and exactly len-1 frames apart holds
        # consecutive frames; only other blocks need every row decoded.
        end_index, end_torn = self._decode(block[[0, -1]])
        if not end_torn.any() and (end_index[1] - end_index[0]) % standin.RING_FRAMES == len(block) - 1:
            self._follow(end_index[:1])
            self.previous = int(end_index[1])
            return
        index, torn = self._decode(block)
        self.torn_rows += int(torn.sum())
        # A torn row can decode as some frame by chance; a row counts only when
        # a neighbour in the block confirms it as one step of the stream.
        step = (np.diff(index) % standin.RING_FRAMES == 1) & ~torn[:-1] & ~torn[1:]
        confirmed = np.zeros(len(index), bool)
        confirmed[:-1] |= step
        confirmed[1:] |= step
        self._follow(index[confirmed])
