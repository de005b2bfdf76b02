"""What a board's counters say about the stream between two moments."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, field

import _pynvk_boards_pp as nvk


@dataclass(frozen=True)
class Snapshot:
    """A board's stats() and the time (seconds, on any one clock) it was taken."""

    stats: Mapping[str, int | bool]
    time: float


@dataclass(frozen=True)
class Summary:
    """The stream between two snapshots.

    gapless: no realignment after a run's first row and no torn frame, so the
    rows are consecutive frames of the board's stream (realignments before a
    run's first row, such as joining the board mid-frame, are no gap).
    reasons say why it is not gapless; warnings name the pool's dry spells,
    during which a board without flow control loses data."""

    frames: int
    bytes: int
    seconds: float
    gapless: bool
    reasons: tuple[str, ...]
    warnings: tuple[str, ...]
    counters: dict[str, int] = field(repr=False)

    @property
    def stream_bytes_per_s(self) -> float:
        """Stream bytes per second that became rows (a frame per row)."""
        return self.frames * nvk.FRAME_SIZE / self.seconds if self.seconds > 0 else 0.0


def counter_growth(first: Mapping[str, int | bool], last: Mapping[str, int | bool]) -> dict[str, int]:
    """How much each running total grew from `first` to `last` (counters that
    tell a state, such as ready_blocks, are left out)."""
    return {name: int(last[name]) - int(first[name]) for name in last if name not in nvk.STATS_STATES}


def summarize(first: Snapshot, last: Snapshot) -> Summary:
    grown = counter_growth(first.stats, last.stats)
    reasons = []
    if grown["realignments"]:
        after = f" (after {grown['failed_reads']} failed reads)" if grown["failed_reads"] else ""
        reasons.append(f"{grown['realignments']} realignment(s) after the first row, each a gap in the stream{after}")
    if grown["torn_frames"]:
        reasons.append(f"{grown['torn_frames']} torn frame(s): rows whose {nvk.FRAME_SIZE} bytes did not begin with 0xF0 0x0F")
    warnings = []
    if grown["pool_waits"]:
        warnings.append(f"the reader found no free block {grown['pool_waits']} time(s), "
                        f"{grown['pool_wait_ns'] / 1e6:.1f} ms in all: a board without flow control loses data then")
    return Summary(
        frames=grown["frames"],
        bytes=grown["bytes_read"],
        seconds=last.time - first.time,
        gapless=not reasons,
        reasons=tuple(reasons),
        warnings=tuple(warnings),
        counters=grown,
    )
