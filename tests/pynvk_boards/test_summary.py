"""The verdict between two stats() snapshots."""

import pytest

import _pynvk_boards_pp as nvk
from pynvk_boards import Snapshot, summarize


def stats(**values):
    counters = dict.fromkeys(nvk.STATS_KEYS, 0)
    counters["running"] = True
    counters.update(values)
    return counters


def between(first, last, seconds=2.0):
    return summarize(Snapshot(first, 10.0), Snapshot(last, 10.0 + seconds))


def test_frames_bytes_and_rate_grow_between_the_snapshots():
    summary = between(stats(frames=100, bytes_read=1_205, ready_blocks=9, last_cut_rows=7),
                      stats(frames=1_100, bytes_read=13_205, ready_blocks=0, last_cut_rows=3))
    assert (summary.frames, summary.bytes, summary.seconds) == (1_000, 12_000, 2.0)
    assert summary.stream_bytes_per_s == 6_000
    assert "ready_blocks" not in summary.counters and "last_cut_rows" not in summary.counters
    assert summary.gapless and summary.reasons == () and summary.warnings == ()


def test_alignments_before_the_first_row_are_no_gap():
    summary = between(stats(), stats(frames=10, alignments=3, purges=3, failed_reads=2))
    assert summary.gapless
    assert summary.counters["alignments"] == 3


@pytest.mark.parametrize("grown, reason", [
    ({"realignments": 2}, "2 realignment(s) after the first row"),
    # Short reads are a quiet board's, kept without a realignment: no cause.
    ({"realignments": 1, "failed_reads": 3, "short_reads": 1}, "realignment(s) after the first row, each a gap in the "
                                                               "stream (after 3 failed reads)"),
    ({"torn_frames": 5}, "5 torn frame(s)"),
])
def test_realignments_and_torn_frames_break_the_verdict_with_the_reason(grown, reason):
    earlier = {name: 4 for name in grown}
    summary = between(stats(**earlier), stats(**{name: 4 + value for name, value in grown.items()}))
    assert not summary.gapless
    assert any(reason in text for text in summary.reasons), summary.reasons


def test_counters_before_the_first_snapshot_do_not_count():
    summary = between(stats(realignments=5, torn_frames=9), stats(realignments=5, torn_frames=9, frames=4))
    assert summary.gapless


def test_pool_dry_spells_are_a_warning_not_a_gap():
    summary = between(stats(pool_waits=1, pool_wait_ns=10**6), stats(pool_waits=4, pool_wait_ns=26 * 10**6))
    assert summary.gapless
    assert summary.warnings == ("the reader found no free block 3 time(s), 25.0 ms in all: "
                                "a board without flow control loses data then",)
