"""Benchmark of _pynvk_boards_pp, reading synchronously and reading ahead,
against a plain Python reader, all on the real libftdi1 over an in-memory
libusb stand-in.

    python bench/run.py [--json PATH] [--smoke] [--standin-build-dir DIR]

Builds the stand-in and the module with and without its stream counting if
needed, re-executes itself with the stand-in in LD_PRELOAD and this tree's
own module build and package on PYTHONPATH, runs every measurement, prints a
table and writes the figures as JSON. --smoke runs every measurement for a
token time (figures meaningless) and writes the JSON to a temporary file
unless --json is given.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from contextlib import AbstractContextManager, contextmanager
from dataclasses import dataclass
from functools import partial
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _pynvk_boards_pp as nvk  # noqa: E402
import builds  # noqa: E402
from frames import FrameChecker  # noqa: E402
import recorder  # noqa: E402
import standin  # noqa: E402
from peer import PeerReader  # noqa: E402
from pynvk_boards.defaults import DEFAULT_READ_AHEAD  # noqa: E402

MB = 1e6
MIB = 1 << 20
THROUGHPUT_ROWS = (1024, 4096, 16384)
TARGET_ROWS = 4096
PACED_RATE = 40e6
# At 40 MB/s a stall of 0..50 ms (mean 25 ms) after every tenth block leaves
# the consumer ahead on average only when ten blocks carry more than 25 ms:
# 16384 rows (4.9 ms per block) gives it 49 ms.
STALL_ROWS = 16384
STALL_EVERY = 10
STALL_MAX_S = 0.050
STALL_SEED = 20240601
RSS_ROWS = 64
# One gap of a few bytes, as a brief FIFO overflow leaves.
GAP_BYTES = 5
# A board that sends in bursts: 100,003 bytes at the paced rate (2.5 ms, and
# no whole number of frames), then 60 ms without data, longer than the
# latency timer.
BURST_BYTES = 100_003
QUIET_S = 0.060
PRELOAD_MARK = "PYNVK_BENCH_PRELOADED"
# The module's reading modes, as readers: synchronous libftdi reads (the
# module's default) and read-ahead as the package and pcb-rix set it.
MODULE_READ_AHEAD = {"ours": 0, "ours_read_ahead": DEFAULT_READ_AHEAD}
# Figures of the repeated paced runs that get a median and range.
CPU_SHARE_FIGURES = (
    "core_share",
    "consumer_core_share",
    "reader_core_share",
    "standin_core_share",
    "standin_wait_core_share",
)
BURSTY_FIGURES = ("delivered_share", "frames_delivered", "frames_sent")
STALL_FIGURES = ("bytes_lost", "gaps_seen", "torn_rows_seen", "device_bytes_overflowed", "device_bytes_purged")


@dataclass(frozen=True)
class Profile:
    throughput_s: float
    warmup_s: float
    cpu_share_s: float
    stall_s: float
    bursty_s: float
    paced_runs: int
    counting_s: float
    counting_rounds: int
    gap_repeats: int
    gap_settle_s: float
    rss_warmup_blocks: int
    rss_blocks: int
    memcpy_bytes: int
    memcpy_repeats: int


FULL = Profile(
    throughput_s=1.5,
    warmup_s=0.2,
    cpu_share_s=4.0,
    stall_s=10.0,
    bursty_s=5.0,
    paced_runs=5,
    counting_s=1.0,
    counting_rounds=16,
    gap_repeats=5,
    gap_settle_s=0.3,
    rss_warmup_blocks=20_000,
    rss_blocks=1_000_000,
    memcpy_bytes=64 * MIB,
    memcpy_repeats=5,
)
SMOKE = Profile(
    throughput_s=0.03,
    warmup_s=0.01,
    cpu_share_s=0.1,
    stall_s=0.25,
    bursty_s=0.3,
    paced_runs=2,
    counting_s=0.03,
    counting_rounds=1,
    gap_repeats=1,
    gap_settle_s=0.05,
    rss_warmup_blocks=100,
    rss_blocks=1_000,
    memcpy_bytes=1 * MIB,
    memcpy_repeats=2,
)


def parse_args(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--json", type=Path, help="where to write the figures (default bench/results.json)")
    parser.add_argument("--smoke", action="store_true", help="exercise every measurement briefly")
    parser.add_argument("--standin-build-dir", type=Path, default=standin.DEFAULT_BUILD_DIR)
    # Internal: one round of the counting cost, run in a process of its own.
    parser.add_argument("--stream-rates", action="store_true", help=argparse.SUPPRESS)
    return parser.parse_args(argv)


def reexec_with_standin(args: argparse.Namespace) -> None:
    """Builds the stand-in and the module variants, and restarts this script
    with the stand-in preloaded, so the libusb symbols of libftdi1 (and of the
    module) resolve to it."""
    library = standin.build(args.standin_build_dir)
    module_dirs = {variant: builds.build_module(variant) for variant in builds.MODULE_BUILD_DIRS}
    env = dict(os.environ)
    env["LD_PRELOAD"] = " ".join(filter(None, [str(library), env.get("LD_PRELOAD", "")]))
    env[PRELOAD_MARK] = str(library)
    # Every figure is of this tree: its module (the counting build, as the
    # wheel builds it) and its package, not whatever the interpreter has
    # installed, which other work may replace while the benchmark runs.
    own = [str(module_dirs[builds.WHEEL_VARIANT]), str(builds.PACKAGE_DIR)]
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [*own, env.get("PYTHONPATH")]))
    # NumPy's BLAS pool would add idle threads to the process CPU figures.
    env.setdefault("OPENBLAS_NUM_THREADS", "1")
    os.execve(sys.executable, [sys.executable, str(Path(__file__).resolve()), *sys.argv[1:]], env)


# ---- measurements ----


def stats_grown(after: dict, before: dict) -> dict:
    """The counters of `after` less those of `before`; states as in `after`."""
    return {name: value if name in nvk.STATS_STATES else value - before[name] for name, value in after.items()}


def spread(values) -> dict:
    """Median and range of the figures of several runs."""
    values = list(values)
    return {"median": statistics.median(values), "min": min(values), "max": max(values)}


def rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure_memcpy(profile: Profile) -> dict:
    source = np.full(profile.memcpy_bytes, 7, np.uint8)
    target = np.zeros_like(source)
    best = float("inf")
    for _ in range(profile.memcpy_repeats):
        start = time.perf_counter()
        np.copyto(target, source)
        best = min(best, time.perf_counter() - start)
    return {"array_bytes": profile.memcpy_bytes, "best_s": best, "bytes_per_s": profile.memcpy_bytes / best}


@dataclass(frozen=True)
class Interval:
    blocks: int
    wall_s: float
    process_cpu_s: float
    consumer_cpu_s: float


def timed_reads(next_block, seconds: float) -> Interval:
    """Calls next_block for `seconds`, timing the wall clock, the process CPU
    and the calling (consumer) thread's CPU."""
    blocks = 0
    cpu_start = time.process_time()
    consumer_start = time.thread_time()
    start = time.perf_counter()
    deadline = start + seconds
    while time.perf_counter() < deadline:
        if next_block() is None:
            raise TimeoutError("no block within the timeout")
        blocks += 1
    return Interval(
        blocks=blocks,
        wall_s=time.perf_counter() - start,
        process_cpu_s=time.process_time() - cpu_start,
        consumer_cpu_s=time.thread_time() - consumer_start,
    )


def warm_up(next_block, seconds: float) -> None:
    deadline = time.perf_counter() + seconds
    while time.perf_counter() < deadline:
        next_block()


def check_one_block(block) -> bool:
    checker = FrameChecker()
    checker.feed(block)
    return checker.missing_frames == 0 and checker.torn_rows == 0


@dataclass(frozen=True)
class Source:
    """A started reader of the stand-in's board: next_block() returns its next
    block of rows (None after a timeout), stats() the module's counters;
    stats is None for the peer, which keeps none."""

    next_block: Callable[[], np.ndarray | None]
    stats: Callable[[], dict] | None


# A reader: opens the board for blocks of the given row count, calls the
# second argument, which sets the stand-in's board up, and yields a started
# Source; on exit it halts the stand-in's board and stops. A paced board
# starts at the reader's first request (paced_board) and is halted before
# the reader stops, so that neither the reader's start nor its stop counts
# as a loss. The module's reading modes are readers too (MODULE_READ_AHEAD):
# each measurement runs the readers it is given.
Reader = Callable[[int, Callable[[], None]], AbstractContextManager[Source]]


def paced_board(device, **options) -> Callable[[], None]:
    """Sets the stand-in's board up to make PACED_RATE from the reader's first
    request on (options: those of StandIn.configure_paced)."""
    return partial(device.configure_paced, PACED_RATE, at_request=True, **options)


@contextmanager
def ours(device, read_ahead: int, rows: int, set_up_board: Callable[[], None]) -> Iterator[Source]:
    """The module's board, with `read_ahead` bytes of transfers queued
    (0: synchronous libftdi reads)."""
    board = nvk.PCB_RIX(standin.SERIAL, rows)
    if not board.opened():
        raise RuntimeError("the module did not open the stand-in's board")
    board.timeout = 1.0
    board.read_ahead = read_ahead
    set_up_board()
    board.start()
    try:
        yield Source(lambda: board.samples, board.stats)
    finally:
        device.halt()
        board.stop()


@contextmanager
def peer(device, rows: int, set_up_board: Callable[[], None]) -> Iterator[Source]:
    """The single-threaded Python reader."""
    reader = PeerReader(standin.SERIAL, rows)
    set_up_board()
    try:
        yield Source(reader.read_block, None)
    finally:
        device.halt()
        reader.close()


def stream_unpaced(source: Source, rows: int, seconds: float, warmup_s: float) -> dict:
    """Reads blocks of `rows` from a started source on the unpaced board for
    `seconds` after a warm-up: the interval's rate and CPU, whether one more
    block holds consecutive frames, and what the source's stats counted
    during the interval."""
    next_block, stats = source.next_block, source.stats
    warm_up(next_block, warmup_s)
    before = stats() if stats else None
    interval = timed_reads(next_block, seconds)
    counted = stats_grown(stats(), before) if stats else None
    frames_valid = check_one_block(next_block())
    gigabytes = interval.blocks * rows * nvk.FRAME_SIZE / 1e9
    figures = {
        "blocks": interval.blocks,
        "seconds": interval.wall_s,
        "bytes_per_s": gigabytes * 1e9 / interval.wall_s,
        "cpu_s_per_gb": interval.process_cpu_s / gigabytes,
        "consumer_cpu_s_per_gb": interval.consumer_cpu_s / gigabytes,
        "frames_valid": frames_valid,
    }
    if counted is not None:
        figures["stats"] = counted
    return figures


def measure_throughput(readers: dict[str, Reader], device, profile: Profile) -> dict:
    results = {name: {} for name in readers}
    for rows in THROUGHPUT_ROWS:
        for name, reader in readers.items():
            with reader(rows, device.configure_unpaced) as source:
                results[name][str(rows)] = stream_unpaced(source, rows, profile.throughput_s, profile.warmup_s)
    return results


# What each round of the counting cost records per row count.
COUNTING_FIGURES = ("bytes_per_s", "cpu_s_per_gb")


def print_stream_rates(profile: Profile) -> None:
    """One round of the counting cost: the module this process imports
    streams each row count for profile.counting_s; prints its rate and CPU
    per GB as JSON."""
    device = standin.StandIn(os.environ[PRELOAD_MARK])
    figures = {}
    frames_counted = 0
    for rows in THROUGHPUT_ROWS:
        with ours(device, MODULE_READ_AHEAD["ours"], rows, device.configure_unpaced) as source:
            run = stream_unpaced(source, rows, profile.counting_s, profile.warmup_s)
        figures[str(rows)] = {name: run[name] for name in COUNTING_FIGURES}
        frames_counted += run["stats"]["frames"]
    print(json.dumps({"module_file": nvk.__file__, "rows": figures, "frames_counted": frames_counted}))


def measure_counting_cost(smoke: bool, profile: Profile) -> dict:
    """The module built with and without its counting, streaming the unpaced
    board: each round runs the two in fresh processes (one process loads only
    one module), in alternating order. The cost at a row count, paired within
    each round, is 1 - counting / not counting in stream rate, and counting /
    not counting - 1 in CPU per GB (which a busy machine skews less)."""
    variants = list(builds.MODULE_BUILD_DIRS)
    rounds = {variant: {str(rows): [] for rows in THROUGHPUT_ROWS} for variant in variants}
    module_files = {}
    frames_counted = dict.fromkeys(variants, 0)
    for number in range(profile.counting_rounds):
        for variant in variants[::-1] if number % 2 else variants:
            module_dir = builds.MODULE_BUILD_DIRS[variant] / "src"
            path = os.pathsep.join(filter(None, [str(module_dir), os.environ.get("PYTHONPATH")]))
            child = subprocess.run(
                [sys.executable, str(Path(__file__).resolve()), "--stream-rates", *(["--smoke"] if smoke else [])],
                env=dict(os.environ, PYTHONPATH=path),
                capture_output=True,
                text=True,
            )
            if child.returncode != 0:
                raise RuntimeError(f"the {variant} round failed:\n{child.stderr}")
            figures = json.loads(child.stdout.splitlines()[-1])
            if Path(figures["module_file"]).parent != module_dir:
                raise RuntimeError(f"the {variant} round imported {figures['module_file']}")
            module_files[variant] = figures["module_file"]
            frames_counted[variant] += figures["frames_counted"]
            for rows, run in figures["rows"].items():
                rounds[variant][rows].append(run)
    results = {
        "rounds": profile.counting_rounds,
        "seconds": profile.counting_s,
        "module_files": module_files,
        "frames_counted": frames_counted,
    }
    for rows in map(str, THROUGHPUT_ROWS):
        counting, not_counting = rounds["counting"][rows], rounds["not_counting"][rows]
        pairs = list(zip(counting, not_counting))
        results[rows] = {
            **{
                name: {variant: spread(run[name] for run in rounds[variant][rows]) for variant in variants}
                for name in COUNTING_FIGURES
            },
            "cost": spread(1 - c["bytes_per_s"] / n["bytes_per_s"] for c, n in pairs),
            "cpu_cost": spread(c["cpu_s_per_gb"] / n["cpu_s_per_gb"] - 1 for c, n in pairs),
            "rounds": {"counting": counting, "not_counting": not_counting},
        }
    return results


def summarize(runs: list[dict], names) -> dict:
    """Median and range of each named figure over `runs`."""
    return {name: spread(run[name] for run in runs) for name in names}


def cpu_share_run(reader: Reader, device, profile: Profile) -> dict:
    """Process CPU while the module keeps up with a paced board, without the
    stand-in's own CPU (its model, copies and waits, all in the reader
    thread's libusb calls), split into the consumer (calling) thread and the
    reader. The stand-in's waits, going to sleep and waking up, are shown
    apart: a real libusb's waits for its transfers would cost the reader
    that too."""
    with reader(TARGET_ROWS, paced_board(device)) as source:
        warm_up(source.next_block, profile.warmup_s)
        before, stats_before = device.counters(), source.stats()
        interval = timed_reads(source.next_block, profile.cpu_share_s)
        after, stats_after = device.counters(), source.stats()

    def grown(name):
        return after[name] - before[name]

    standin_cpu = grown("standin_cpu_ns") * 1e-9
    wall = interval.wall_s
    return {
        "seconds": wall,
        "delivered_bytes_per_s": grown("bytes_delivered") / wall,
        "bytes_lost_device": grown("bytes_lost") + grown("bytes_purged"),
        "process_core_share": interval.process_cpu_s / wall,
        "standin_core_share": standin_cpu / wall,
        "standin_wait_core_share": grown("standin_wait_cpu_ns") * 1e-9 / wall,
        "consumer_core_share": interval.consumer_cpu_s / wall,
        "reader_core_share": (interval.process_cpu_s - interval.consumer_cpu_s - standin_cpu) / wall,
        "core_share": (interval.process_cpu_s - standin_cpu) / wall,
        "stats": stats_grown(stats_after, stats_before),
    }


def in_turns(run: Callable[[Reader], dict], readers: dict[str, Reader], count: int, figures) -> dict:
    """`count` runs of each reader, the readers taking turns, so that the
    machine's own disturbances fall on all of them alike: per reader its runs
    and the median and range of each of their `figures`."""
    runs = {name: [] for name in readers}
    for _ in range(count):
        for name, reader in readers.items():
            runs[name].append(run(reader))
    return {name: {"runs": reader_runs, **summarize(reader_runs, figures)} for name, reader_runs in runs.items()}


def measure_cpu_share(readers: dict[str, Reader], device, profile: Profile) -> dict:
    return {
        "rate_bytes_per_s": PACED_RATE,
        "samples_count": TARGET_ROWS,
        **in_turns(partial(cpu_share_run, device=device, profile=profile), readers, profile.paced_runs,
                   CPU_SHARE_FIGURES),
    }


def account_for_missed(bytes_missed: int, device: dict, stats: dict) -> dict:
    """How the counters account for the bytes the consumer missed: bytes the
    board never sent (FIFO overflow, and gaps made on purpose) or purged from
    its FIFO (`device`: the stand-in's counters), bytes delivered in
    completed transfers that the reader never counted as read (bytes
    delivered less its `bytes_read`: what libftdi's read buffer held at a
    purge or holds at the end; with read-ahead, the transfers a flush
    drops), bytes the reader read but wrote into no row, and rows it
    wrote from torn frames. What is left unaccounted lies at the edges of the
    measurement (counted, but before the first or after the last row the
    consumer saw)."""
    parts = {
        "device_overflowed": device["bytes_lost"],
        "device_purged": device["bytes_purged"],
        "delivered_unread": device["bytes_delivered"] - stats["bytes_read"],
        "discarded": stats["discarded_bytes"],
        "torn_rows": nvk.FRAME_SIZE * stats["torn_frames"],
    }
    accounted = sum(parts.values())
    return {**parts, "accounted": accounted, "bytes_missed": bytes_missed, "unaccounted": bytes_missed - accounted}


def consume_with_stalls(source: Source, seconds: float) -> dict:
    """Reads blocks for `seconds`, sleeping a seeded 0..50 ms after every
    tenth. Bytes lost are the frames the consumer never saw as whole rows."""
    stalls = random.Random(STALL_SEED)
    checker = FrameChecker()
    blocks = 0
    stalled = 0.0
    start = time.perf_counter()
    while time.perf_counter() - start < seconds:
        block = source.next_block()
        if block is None:
            raise TimeoutError("no block within the timeout")
        checker.feed(block)
        blocks += 1
        if blocks % STALL_EVERY == 0:
            pause = stalls.uniform(0.0, STALL_MAX_S)
            time.sleep(pause)
            stalled += pause
    wall = time.perf_counter() - start
    return {
        "seconds": wall,
        "stalled_s": stalled,
        "blocks": blocks,
        "delivered_bytes_per_s": checker.rows * nvk.FRAME_SIZE / wall,
        "bytes_lost": checker.missing_frames * nvk.FRAME_SIZE,
        "gaps_seen": checker.gaps,
        "torn_rows_seen": checker.torn_rows,
    }


def where_lost(bytes_lost: int, device, source: Source) -> dict:
    """Where the board lost what a stopped reader missed, by the stand-in's
    counters over the whole run, and, for the module, how its stats account
    for it. Taken after the stop, so that the two sets of counters agree."""
    counters = device.counters()
    figures = {
        "device_bytes_sent": counters["bytes_sent"],
        "device_bytes_delivered": counters["bytes_delivered"],
        "device_transfers": counters["transfers"],
        "device_bytes_overflowed": counters["bytes_lost"],
        "device_bytes_purged": counters["bytes_purged"],
        "device_purges": counters["purges"],
    }
    if source.stats is not None:
        stats = source.stats()
        figures["stats"] = stats
        figures["accounting"] = account_for_missed(bytes_lost, counters, stats)
    return figures


def stall_run(reader: Reader, device, profile: Profile) -> dict:
    with reader(STALL_ROWS, paced_board(device)) as source:
        run = consume_with_stalls(source, profile.stall_s)
    return run | where_lost(run["bytes_lost"], device, source)


def measure_stall_loss(readers: dict[str, Reader], device, profile: Profile) -> dict:
    return {
        "rate_bytes_per_s": PACED_RATE,
        "fifo_bytes": standin.DEFAULT_FIFO_BYTES,
        "samples_count": STALL_ROWS,
        "stall_every_blocks": STALL_EVERY,
        "stall_max_s": STALL_MAX_S,
        "seed": STALL_SEED,
        **in_turns(partial(stall_run, device=device, profile=profile), readers, profile.paced_runs, STALL_FIGURES),
    }


def consume_checked(source: Source, checker: FrameChecker, seconds: float) -> None:
    """Feeds the blocks of `seconds` to `checker`."""
    deadline = time.perf_counter() + seconds
    while time.perf_counter() < deadline:
        block = source.next_block()
        if block is None:
            raise TimeoutError("no block within the timeout")
        checker.feed(block)


def gap_recovery_run(reader: Reader, device, profile: Profile) -> dict:
    """What one small gap in the stream costs the module at a paced 40 MB/s:
    GAP_BYTES are dropped `gap_repeats` times, each followed by gap_settle_s
    of reading; every frame the consumer then misses is a cost of the gap
    (beyond the dropped bytes themselves) unless the FIFO overflowed too."""
    checker = FrameChecker()
    with reader(TARGET_ROWS, paced_board(device)) as source:
        consume_checked(source, checker, profile.warmup_s)
        before, stats_before = device.counters(), source.stats()
        missing_before = checker.missing_frames
        torn_before = checker.torn_rows
        for _ in range(profile.gap_repeats):
            device.drop(GAP_BYTES)
            consume_checked(source, checker, profile.gap_settle_s)
        after, stats = device.counters(), stats_grown(source.stats(), stats_before)
    dropped = GAP_BYTES * profile.gap_repeats
    bytes_lost = (checker.missing_frames - missing_before) * nvk.FRAME_SIZE
    device_grown = {name: after[name] - before[name] for name in after}
    return {
        "bytes_lost": bytes_lost,
        "torn_rows_seen": checker.torn_rows - torn_before,
        "device_bytes_overflowed": device_grown["bytes_lost"] - dropped,
        "device_bytes_purged": device_grown["bytes_purged"],
        "device_purges": device_grown["purges"],
        "stats": stats,
        "accounting": account_for_missed(bytes_lost, device_grown, stats),
    }


def bursty_run(reader: Reader, device, profile: Profile) -> dict:
    """Reads profile.bursty_s from a board sending bursts of BURST_BYTES with
    QUIET_S between them. Frames sent are those the board made from the first
    to the last frame the consumer got as a whole row (by index), so that
    what is still in flight at the end does not count; the stand-in's
    counters cover the whole run."""
    checker = FrameChecker()
    bursty = paced_board(device, burst_bytes=BURST_BYTES, quiet_s=QUIET_S)
    with reader(TARGET_ROWS, bursty) as source:
        start = time.perf_counter()
        consume_checked(source, checker, profile.bursty_s)
        wall = time.perf_counter() - start
    delivered = checker.rows - checker.torn_rows
    sent = delivered + checker.missing_frames
    return {
        "seconds": wall,
        "frames_delivered": delivered,
        "frames_sent": sent,
        "delivered_share": delivered / sent,
        "gaps_seen": checker.gaps,
        "torn_rows_seen": checker.torn_rows,
        **where_lost(checker.missing_frames * nvk.FRAME_SIZE, device, source),
    }


def measure_gap_recovery(readers: dict[str, Reader], device, profile: Profile) -> dict:
    return {
        "rate_bytes_per_s": PACED_RATE,
        "samples_count": TARGET_ROWS,
        "gaps": profile.gap_repeats,
        "gap_bytes": GAP_BYTES,
        **{name: gap_recovery_run(reader, device, profile) for name, reader in readers.items()},
    }


def measure_bursty_board(readers: dict[str, Reader], device, profile: Profile) -> dict:
    return {
        "rate_bytes_per_s": PACED_RATE,
        "burst_bytes": BURST_BYTES,
        "quiet_s": QUIET_S,
        "samples_count": TARGET_ROWS,
        **in_turns(partial(bursty_run, device=device, profile=profile), readers, profile.paced_runs,
                   BURSTY_FIGURES),
    }


def rss_run(reader: Reader, device, profile: Profile) -> dict:
    with reader(RSS_ROWS, device.configure_unpaced) as source:
        for _ in range(profile.rss_warmup_blocks):
            source.next_block()
        before, stats_before = rss_bytes(), source.stats()
        start = time.perf_counter()
        for _ in range(profile.rss_blocks):
            if source.next_block() is None:
                raise TimeoutError("no block within the timeout")
        wall = time.perf_counter() - start
        after, stats = rss_bytes(), stats_grown(source.stats(), stats_before)
    return {
        "seconds": wall,
        "rss_before_bytes": before,
        "rss_after_bytes": after,
        "rss_growth_bytes": after - before,
        "max_rss_bytes": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
        "stats": stats,
    }


def measure_rss(readers: dict[str, Reader], device, profile: Profile) -> dict:
    return {
        "samples_count": RSS_ROWS,
        "blocks": profile.rss_blocks,
        **{name: rss_run(reader, device, profile) for name, reader in readers.items()},
    }


def target(value, limit: str, passed: bool, note: str = "") -> dict:
    return {"value": value, "target": limit, "pass": bool(passed), "note": note}


def evaluate_targets(results: dict) -> dict:
    """Each target per reading mode of the module: {name: {reader: target}}
    (the counting cost is of the synchronous reads only)."""
    memcpy = results["memcpy"]["bytes_per_s"]
    peer = results["throughput"]["peer"][str(TARGET_ROWS)]["bytes_per_s"]
    peer_lost = results["stall_loss"]["peer"]["bytes_lost"]["median"]
    cost = results["counting_cost"][str(TARGET_ROWS)]["cost"]["median"]
    targets = {
        name: {}
        for name in (
            "bandwidth_vs_memcpy",
            "speedup_vs_peer",
            "core_share_at_40MBps",
            "bytes_lost_stalling_consumer",
            "frames_delivered_bursty_board",
            "rss_growth",
        )
    }
    for name in MODULE_READ_AHEAD:
        rate = results["throughput"][name][str(TARGET_ROWS)]["bytes_per_s"]
        share = results["cpu_share"][name]["core_share"]["median"]
        lost = results["stall_loss"][name]["bytes_lost"]["median"]
        delivered = results["bursty_board"][name]["delivered_share"]["median"]
        growth = results["rss"][name]["rss_growth_bytes"]
        targets["bandwidth_vs_memcpy"][name] = target(rate / memcpy, ">= 0.25", rate / memcpy >= 0.25,
                                                      f"{TARGET_ROWS} rows")
        targets["speedup_vs_peer"][name] = target(rate / peer, ">= 1.5", rate / peer >= 1.5, f"{TARGET_ROWS} rows")
        targets["core_share_at_40MBps"][name] = target(share, "<= 0.02", share <= 0.02, "median")
        targets["bytes_lost_stalling_consumer"][name] = target(lost, "== 0", lost == 0,
                                                               f"median; peer lost {peer_lost:,.0f}")
        targets["frames_delivered_bursty_board"][name] = target(delivered, "== 1", delivered == 1,
                                                                f"median, {TARGET_ROWS} rows")
        targets["rss_growth"][name] = target(growth, "<= 1 MiB", growth <= MIB)
    targets["counting_cost"] = {"ours": target(cost, "<= 0.05", cost <= 0.05, f"median, {TARGET_ROWS} rows")}
    return targets


# ---- report ----


def shown_spread(figure: dict, form: str) -> str:
    """A median and its range, each formatted with `form`."""
    return f"{figure['median']:{form}} ({figure['min']:{form}} to {figure['max']:{form}})"


def shown_stats(stats: dict) -> str:
    """The stats() counters that tell whether a stream was whole."""
    return (
        f"frames {stats['frames']:,}, torn {stats['torn_frames']:,}, discarded {stats['discarded_bytes']:,} B, "
        f"realignments {stats['realignments']:,}, purges {stats['purges']:,}, "
        f"pool waits {stats['pool_waits']:,} ({stats['pool_wait_ns'] * 1e-9:.2f} s)"
    )


def shown_accounting(accounting: dict) -> str:
    return (
        f"missed {accounting['bytes_missed']:,} B; counted {accounting['accounted']:,} B = "
        f"device overflow {accounting['device_overflowed']:,} + purged {accounting['device_purged']:,} + "
        f"delivered unread {accounting['delivered_unread']:,} + "
        f"discarded {accounting['discarded']:,} + torn rows {accounting['torn_rows']:,}; "
        f"unaccounted {accounting['unaccounted']:,} B"
    )


def table_rows(results: dict) -> list[str]:
    readers = list(MODULE_READ_AHEAD)
    rows = ["SMOKE RUN: token durations, figures meaningless", ""] if results["smoke"] else []
    rows += [
        f"module: {results['module_file']}; package: {results['package_dir']}",
        "readers: " + ", ".join(f"{name} (read_ahead {read_ahead:,} B)" for name, read_ahead in
                                MODULE_READ_AHEAD.items()) + ", peer (ctypes + NumPy)",
        f"memory copy (np.copyto, {results['memcpy']['array_bytes'] / MIB:g} MiB): "
        f"{results['memcpy']['bytes_per_s'] / MB:,.0f} MB/s",
        "",
        "unpaced stream, MB/s and process CPU s/GB (the consumer's):",
    ]
    throughput = results["throughput"]
    rows.append(f"{'rows':>6} | " + " | ".join(f"{name:>32}" for name in throughput))
    for size in map(str, THROUGHPUT_ROWS):
        cells = []
        for name in throughput:
            figures = throughput[name][size]
            cells.append(f"{figures['bytes_per_s'] / MB:>10,.0f} {figures['cpu_s_per_gb']:>9.3f} "
                         f"({figures['consumer_cpu_s_per_gb']:.3f})")
        rows.append(f"{size:>6} | " + " | ".join(f"{cell:>32}" for cell in cells))
    for name in readers:
        for size in map(str, THROUGHPUT_ROWS):
            rows.append(f"{size:>6}   {name}: {shown_stats(throughput[name][size]['stats'])}")

    cost = results["counting_cost"]
    rows += [
        "",
        f"cost of the counting (synchronous reads): {cost['rounds']} alternating rounds of {cost['seconds']:g} s "
        "per row count, median (range):",
        f"{'rows':>6} | {'counting MB/s':>24} | {'not counting MB/s':>24} | {'cost in rate':>26} | cost in CPU/GB",
    ]
    for size in map(str, THROUGHPUT_ROWS):
        figures = cost[size]
        rates = {variant: {k: v / MB for k, v in rate.items()} for variant, rate in figures["bytes_per_s"].items()}
        rows.append(
            f"{size:>6} | {shown_spread(rates['counting'], ',.0f'):>24} | "
            f"{shown_spread(rates['not_counting'], ',.0f'):>24} | {shown_spread(figures['cost'], '+.1%'):>26} | "
            f"{shown_spread(figures['cpu_cost'], '+.1%')}"
        )

    share = results["cpu_share"]
    rows += ["", f"paced {share['rate_bytes_per_s'] / MB:.0f} MB/s, {share['samples_count']} rows, share of a core, "
                 "median (range):"]
    for name in readers:
        side = share[name]
        rows.append(
            f"  {name}, {len(side['runs'])} runs: {shown_spread(side['core_share'], '.2%')}; "
            f"consumer {shown_spread(side['consumer_core_share'], '.2%')}, "
            f"reader {shown_spread(side['reader_core_share'], '.2%')}; "
            f"stand-in {shown_spread(side['standin_core_share'], '.2%')} left out, "
            f"of which its waits {shown_spread(side['standin_wait_core_share'], '.2%')}"
        )
        for number, run in enumerate(side["runs"], 1):
            rows.append(f"    run {number}: {shown_stats(run['stats'])}")

    loss = results["stall_loss"]
    rows.append(
        f"stalling consumer ({loss['samples_count']} rows, 0..{loss['stall_max_s'] * 1e3:.0f} ms "
        f"every {loss['stall_every_blocks']} blocks, {loss['fifo_bytes'] // 1024} KiB FIFO), median (range):"
    )
    for name in [*readers, "peer"]:
        side = loss[name]
        rows.append(
            f"  {name}, {len(side['runs'])} runs: lost {shown_spread(side['bytes_lost'], ',.0f')} B in "
            f"{shown_spread(side['gaps_seen'], ',.0f')} gaps over {side['runs'][0]['seconds']:.1f} s, "
            f"torn rows {shown_spread(side['torn_rows_seen'], ',.0f')}; "
            f"device overflowed {shown_spread(side['device_bytes_overflowed'], ',.0f')} B, "
            f"purged {shown_spread(side['device_bytes_purged'], ',.0f')} B"
        )
    for name in readers:
        for number, run in enumerate(loss[name]["runs"], 1):
            rows.append(f"  {name} run {number}: {shown_accounting(run['accounting'])}")
            rows.append(f"      {shown_stats(run['stats'])}")

    gap = results["gap_recovery"]
    rows.append(f"{gap['gaps']} gaps of {gap['gap_bytes']} B at {gap['rate_bytes_per_s'] / MB:.0f} MB/s, "
                f"{gap['samples_count']} rows:")
    for name in readers:
        side = gap[name]
        rows += [
            f"  {name} lost {side['bytes_lost']:,} B ({side['bytes_lost'] / gap['gaps']:,.0f} B per gap), torn rows "
            f"{side['torn_rows_seen']} (device: {side['device_purges']} purges, overflowed "
            f"{side['device_bytes_overflowed']:,} B besides the gaps)",
            f"    {shown_accounting(side['accounting'])}",
            f"    {shown_stats(side['stats'])}",
        ]
    bursty = results["bursty_board"]
    rows.append(
        f"board sending bursts of {bursty['burst_bytes']:,} B at {bursty['rate_bytes_per_s'] / MB:.0f} MB/s, "
        f"{bursty['quiet_s'] * 1e3:.0f} ms quiet between them, {bursty['samples_count']} rows, median (range) "
        "of the frames sent that were delivered:"
    )
    for name in readers:
        side = bursty[name]
        rows.append(f"  {name}, {len(side['runs'])} runs: {shown_spread(side['delivered_share'], '.1%')}")
        for number, run in enumerate(side["runs"], 1):
            rows.append(
                f"    run {number}: {run['frames_delivered']:,} of {run['frames_sent']:,} frames in "
                f"{run['gaps_seen']:,} gaps; device purged {run['device_bytes_purged']:,} B in "
                f"{run['device_purges']:,} purges, overflowed {run['device_bytes_overflowed']:,} B; "
                f"{shown_stats(run['stats'])}"
            )
    rss = results["rss"]
    rows.append(f"RSS over {rss['blocks']:,} blocks of {rss['samples_count']} rows:")
    for name in readers:
        side = rss[name]
        rows.append(
            f"  {name}: {side['rss_before_bytes'] / MIB:.1f} -> {side['rss_after_bytes'] / MIB:.1f} MiB "
            f"({side['rss_growth_bytes'] / 1024:+.0f} KiB) in {side['seconds']:.1f} s; {shown_stats(side['stats'])}"
        )
    load = results["load_average_1min"]
    rows.append(
        f"load average (1 min): {load['before']:.2f} before, {load['after']:.2f} after, "
        f"{max(load['between']):.2f} at most between measurements"
    )
    rows += ["", "targets:"]
    for name, per_reader in results["targets"].items():
        for reader, result in per_reader.items():
            value = result["value"]
            shown = f"{value:,.3f}" if isinstance(value, float) else f"{value:,}"
            verdict = "pass" if result["pass"] else "MISS"
            rows.append(f"  {verdict:4} {name} [{reader}]: {shown} (target {result['target']}) {result['note']}")
    return rows


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    library = os.environ.get(PRELOAD_MARK)
    if library is None or library not in os.environ.get("LD_PRELOAD", ""):
        reexec_with_standin(args)

    profile = SMOKE if args.smoke else FULL
    if args.stream_rates:
        print_stream_rates(profile)
        return 0

    import pynvk_boards

    own_module_dir = builds.MODULE_BUILD_DIRS[builds.WHEEL_VARIANT] / "src"
    package_dir = Path(pynvk_boards.__file__).parent
    if Path(nvk.__file__).parent != own_module_dir or package_dir.parent != builds.PACKAGE_DIR:
        raise RuntimeError(f"imported {nvk.__file__} and {package_dir}, not this tree's build and package")
    device = standin.StandIn(library)
    if nvk.list_pcb_rix() != [standin.SERIAL]:
        raise RuntimeError("the module does not see the stand-in's board; is the libusb stand-in preloaded?")
    module_readers: dict[str, Reader] = {name: partial(ours, device, read_ahead)
                                         for name, read_ahead in MODULE_READ_AHEAD.items()}
    readers: dict[str, Reader] = {**module_readers, "peer": partial(peer, device)}

    json_path = args.json
    if json_path is None:
        json_path = (
            Path(tempfile.mkdtemp(prefix="pynvk_bench_")) / "results.json"
            if args.smoke
            else Path(__file__).resolve().parent / "results.json"
        )

    # Other work on the machine skews every figure; the load shows how busy it was.
    load = {"before": os.getloadavg()[0], "between": []}
    measurements = {
        "memcpy": lambda: measure_memcpy(profile),
        "throughput": lambda: measure_throughput(readers, device, profile),
        "counting_cost": lambda: measure_counting_cost(args.smoke, profile),
        "cpu_share": lambda: measure_cpu_share(module_readers, device, profile),
        "stall_loss": lambda: measure_stall_loss(readers, device, profile),
        "gap_recovery": lambda: measure_gap_recovery(module_readers, device, profile),
        "bursty_board": lambda: measure_bursty_board(module_readers, device, profile),
        "rss": lambda: measure_rss(module_readers, device, profile),
        "recorder": lambda: recorder.measure(device, args.smoke),
    }
    results = {"smoke": args.smoke, "module_file": nvk.__file__, "package_dir": str(package_dir)}
    for name, measure in measurements.items():
        results[name] = measure()
        load["between"].append(os.getloadavg()[0])
    load["after"] = load["between"][-1]
    results["load_average_1min"] = load
    results["targets"] = evaluate_targets(results)
    print("\n".join(table_rows(results)))
    print(recorder.report(results["recorder"]))
    json_path.parent.mkdir(parents=True, exist_ok=True)
    json_path.write_text(json.dumps(results, indent=2) + "\n")
    print(f"\nwrote {json_path}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
