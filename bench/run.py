"""Benchmark of _pynvk_boards_pp against a plain Python reader, on an
in-memory libftdi stand-in.

    python bench/run.py [--json PATH] [--smoke] [--standin-build-dir DIR]

Builds the stand-in if needed, re-executes itself with it in LD_PRELOAD, runs
every measurement, prints a table and writes the figures as JSON. --smoke runs
every measurement for a token time (figures meaningless) and writes the JSON
to a temporary file unless --json is given.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import resource
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import recorder  # noqa: E402
import standin  # noqa: E402
from peer import PeerReader  # noqa: E402

FRAME_SIZE = 12
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
# One gap of a few bytes, as a brief device buffer overflow leaves.
GAP_BYTES = 5
PRELOAD_MARK = "PYNVK_BENCH_PRELOADED"


@dataclass(frozen=True)
class Profile:
    throughput_s: float
    warmup_s: float
    cpu_share_s: float
    stall_s: float
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
    return parser.parse_args(argv)


def reexec_with_standin(args: argparse.Namespace) -> None:
    """Builds the stand-in and restarts this script with it preloaded, so the
    module's libftdi symbols resolve to it."""
    library = standin.build(args.standin_build_dir)
    env = dict(os.environ)
    env["LD_PRELOAD"] = " ".join(filter(None, [str(library), env.get("LD_PRELOAD", "")]))
    env[PRELOAD_MARK] = str(library)
    # NumPy's BLAS pool would add idle threads to the process CPU figures.
    env.setdefault("OPENBLAS_NUM_THREADS", "1")
    os.execve(sys.executable, [sys.executable, str(Path(__file__).resolve()), *sys.argv[1:]], env)


# ---- measurements ----


def rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class FrameChecker:
    """Follows the frame indexes of delivered int16 rows. Rows that are no
    frame of the stream are torn; the frames skipped between consecutive
    whole rows are missing (indexes repeat every RING_FRAMES frames, over
    twice as long as any gap a run makes)."""

    def __init__(self):
        self.tails = np.array([0x7FFF, 0x8000, 0xFFFF, 0x0001], np.uint16)
        self.previous = None
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


class OurBoard:
    """A started module board on the stand-in, stopped on exit."""

    def __init__(self, module, rows: int):
        self.board = module.PCB_RIX(standin.SERIAL, rows)
        if not self.board.opened():
            raise RuntimeError("the module did not open the stand-in's board")
        self.board.timeout = 1.0

    def __enter__(self):
        self.board.start()
        return self.board

    def __exit__(self, *exc):
        self.board.stop()


class PeerBoard:
    """The peer reader on the stand-in's board, closed on exit."""

    def __init__(self, device: standin.StandIn, rows: int):
        self.reader = PeerReader(device.lib, standin.SERIAL, rows)

    def __enter__(self):
        return self.reader

    def __exit__(self, *exc):
        self.reader.close()


def measure_throughput(module, device, profile: Profile) -> dict:
    results = {"ours": {}, "peer": {}}
    for rows in THROUGHPUT_ROWS:
        for name, make in (("ours", lambda: OurBoard(module, rows)), ("peer", lambda: PeerBoard(device, rows))):
            device.configure_unpaced()
            with make() as source:
                next_block = (lambda: source.samples) if name == "ours" else source.read_block
                warm_up(next_block, profile.warmup_s)
                interval = timed_reads(next_block, profile.throughput_s)
                frames_valid = check_one_block(next_block())
            gigabytes = interval.blocks * rows * FRAME_SIZE / 1e9
            results[name][str(rows)] = {
                "blocks": interval.blocks,
                "seconds": interval.wall_s,
                "bytes_per_s": gigabytes * 1e9 / interval.wall_s,
                "cpu_s_per_gb": interval.process_cpu_s / gigabytes,
                "consumer_cpu_s_per_gb": interval.consumer_cpu_s / gigabytes,
                "frames_valid": frames_valid,
            }
    return results


def measure_cpu_share(module, device, profile: Profile) -> dict:
    """Process CPU while the module keeps up with a paced board, without the
    stand-in's own CPU (its pacing sleeps and copies, all on the reader
    thread), split into the consumer (calling) thread and the reader."""
    device.configure_paced(PACED_RATE)
    with OurBoard(module, TARGET_ROWS) as board:
        warm_up(lambda: board.samples, profile.warmup_s)
        before = device.counters()
        interval = timed_reads(lambda: board.samples, profile.cpu_share_s)
        after = device.counters()

    def grown(name):
        return after[name] - before[name]

    standin_cpu = grown("standin_cpu_ns") * 1e-9
    wall = interval.wall_s
    return {
        "rate_bytes_per_s": PACED_RATE,
        "samples_count": TARGET_ROWS,
        "seconds": wall,
        "delivered_bytes_per_s": grown("bytes_delivered") / wall,
        "bytes_lost_device": grown("bytes_lost") + grown("bytes_purged"),
        "process_core_share": interval.process_cpu_s / wall,
        "standin_core_share": standin_cpu / wall,
        "consumer_core_share": interval.consumer_cpu_s / wall,
        "reader_core_share": (interval.process_cpu_s - interval.consumer_cpu_s - standin_cpu) / wall,
        "core_share": (interval.process_cpu_s - standin_cpu) / wall,
    }


def consume_with_stalls(next_block, seconds: float, device) -> dict:
    """Reads blocks for `seconds`, sleeping a seeded 0..50 ms after every
    tenth. Bytes lost are the frames the consumer never saw as whole rows;
    the stand-in's counters (whole run) show where the board lost them."""
    stalls = random.Random(STALL_SEED)
    checker = FrameChecker()
    blocks = 0
    stalled = 0.0
    start = time.perf_counter()
    while time.perf_counter() - start < seconds:
        block = next_block()
        if block is None:
            raise TimeoutError("no block within the timeout")
        checker.feed(block)
        blocks += 1
        if blocks % STALL_EVERY == 0:
            pause = stalls.uniform(0.0, STALL_MAX_S)
            time.sleep(pause)
            stalled += pause
    wall = time.perf_counter() - start
    counters = device.counters()
    return {
        "seconds": wall,
        "stalled_s": stalled,
        "blocks": blocks,
        "delivered_bytes_per_s": checker.rows * FRAME_SIZE / wall,
        "bytes_lost": checker.missing_frames * FRAME_SIZE,
        "gaps_seen": checker.gaps,
        "torn_rows_seen": checker.torn_rows,
        "device_bytes_overflowed": counters["bytes_lost"],
        "device_bytes_purged": counters["bytes_purged"],
        "device_purges": counters["purges"],
    }


def measure_stall_loss(module, device, profile: Profile) -> dict:
    results = {
        "rate_bytes_per_s": PACED_RATE,
        "device_buffer_bytes": standin.DEFAULT_DEVICE_BUFFER,
        "samples_count": STALL_ROWS,
        "stall_every_blocks": STALL_EVERY,
        "stall_max_s": STALL_MAX_S,
        "seed": STALL_SEED,
    }
    board = OurBoard(module, STALL_ROWS)
    device.configure_paced(PACED_RATE)
    with board as started:
        results["ours"] = consume_with_stalls(lambda: started.samples, profile.stall_s, device)
    peer = PeerBoard(device, STALL_ROWS)
    device.configure_paced(PACED_RATE)
    with peer as reader:
        results["peer"] = consume_with_stalls(reader.read_block, profile.stall_s, device)
    return results


def measure_gap_recovery(module, device, profile: Profile) -> dict:
    """What one small gap in the stream costs the module at a paced 40 MB/s:
    GAP_BYTES are dropped `gap_repeats` times, each followed by gap_settle_s
    of reading; every frame the consumer then misses is a cost of the gap
    (beyond the dropped bytes themselves) unless the device overflowed too."""
    checker = FrameChecker()

    def consume(seconds: float) -> None:
        deadline = time.perf_counter() + seconds
        while time.perf_counter() < deadline:
            block = board.samples
            if block is None:
                raise TimeoutError("no block within the timeout")
            checker.feed(block)

    device.configure_paced(PACED_RATE)
    with OurBoard(module, TARGET_ROWS) as board:
        consume(profile.warmup_s)
        before = device.counters()
        missing_before = checker.missing_frames
        torn_before = checker.torn_rows
        for _ in range(profile.gap_repeats):
            device.drop(GAP_BYTES)
            consume(profile.gap_settle_s)
        after = device.counters()
    dropped = GAP_BYTES * profile.gap_repeats
    return {
        "rate_bytes_per_s": PACED_RATE,
        "samples_count": TARGET_ROWS,
        "gaps": profile.gap_repeats,
        "gap_bytes": GAP_BYTES,
        "bytes_lost": (checker.missing_frames - missing_before) * FRAME_SIZE,
        "torn_rows_seen": checker.torn_rows - torn_before,
        "device_bytes_overflowed": after["bytes_lost"] - before["bytes_lost"] - dropped,
        "device_bytes_purged": after["bytes_purged"] - before["bytes_purged"],
        "device_purges": after["purges"] - before["purges"],
    }


def measure_rss(module, device, profile: Profile) -> dict:
    device.configure_unpaced()
    with OurBoard(module, RSS_ROWS) as board:
        for _ in range(profile.rss_warmup_blocks):
            board.samples
        before = rss_bytes()
        start = time.perf_counter()
        for _ in range(profile.rss_blocks):
            if board.samples is None:
                raise TimeoutError("no block within the timeout")
        wall = time.perf_counter() - start
        after = rss_bytes()
    return {
        "samples_count": RSS_ROWS,
        "blocks": profile.rss_blocks,
        "seconds": wall,
        "rss_before_bytes": before,
        "rss_after_bytes": after,
        "rss_growth_bytes": after - before,
        "max_rss_bytes": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
    }


def evaluate_targets(results: dict) -> dict:
    ours = results["throughput"]["ours"][str(TARGET_ROWS)]["bytes_per_s"]
    peer = results["throughput"]["peer"][str(TARGET_ROWS)]["bytes_per_s"]
    memcpy = results["memcpy"]["bytes_per_s"]
    loss = results["stall_loss"]

    def target(value, limit, passed, note=""):
        return {"value": value, "target": limit, "pass": bool(passed), "note": note}

    return {
        "bandwidth_vs_memcpy": target(ours / memcpy, ">= 0.25", ours / memcpy >= 0.25, f"{TARGET_ROWS} rows"),
        "speedup_vs_peer": target(ours / peer, ">= 1.5", ours / peer >= 1.5, f"{TARGET_ROWS} rows"),
        "core_share_at_40MBps": target(
            results["cpu_share"]["core_share"], "<= 0.02", results["cpu_share"]["core_share"] <= 0.02
        ),
        "bytes_lost_stalling_consumer": target(
            loss["ours"]["bytes_lost"],
            "== 0",
            loss["ours"]["bytes_lost"] == 0,
            f"peer lost {loss['peer']['bytes_lost']}",
        ),
        "rss_growth": target(
            results["rss"]["rss_growth_bytes"], "<= 1 MiB", results["rss"]["rss_growth_bytes"] <= MIB
        ),
    }


# ---- report ----


def print_table(results: dict) -> None:
    rows = ["SMOKE RUN: token durations, figures meaningless", ""] if results["smoke"] else []
    rows += [
        f"memory copy (np.copyto, {results['memcpy']['array_bytes'] / MIB:g} MiB): "
        f"{results['memcpy']['bytes_per_s'] / MB:,.0f} MB/s",
        "",
    ]
    rows.append(
        f"{'rows':>6} | {'ours MB/s':>10} {'CPU s/GB (consumer)':>20} | {'peer MB/s':>10} {'CPU s/GB':>9} | "
        f"{'ours/peer':>9}"
    )
    for size in map(str, THROUGHPUT_ROWS):
        ours, peer = results["throughput"]["ours"][size], results["throughput"]["peer"][size]
        rows.append(
            f"{size:>6} | {ours['bytes_per_s'] / MB:>10,.0f} "
            f"{ours['cpu_s_per_gb']:>11.3f} ({ours['consumer_cpu_s_per_gb']:.3f}) | "
            f"{peer['bytes_per_s'] / MB:>10,.0f} {peer['cpu_s_per_gb']:>9.3f} | "
            f"{ours['bytes_per_s'] / peer['bytes_per_s']:>9.2f}"
        )
    share = results["cpu_share"]
    rows += [
        "",
        f"paced {share['rate_bytes_per_s'] / MB:.0f} MB/s, {share['samples_count']} rows: "
        f"{share['core_share']:.2%} of a core (consumer {share['consumer_core_share']:.2%}, "
        f"reader {share['reader_core_share']:.2%}; stand-in {share['standin_core_share']:.2%} left out), "
        f"delivered {share['delivered_bytes_per_s'] / MB:.1f} MB/s",
    ]
    loss = results["stall_loss"]
    rows.append(
        f"stalling consumer ({loss['samples_count']} rows, 0..{loss['stall_max_s'] * 1e3:.0f} ms "
        f"every {loss['stall_every_blocks']} blocks, {loss['device_buffer_bytes'] // 1024} KiB device buffer):"
    )
    for name in ("ours", "peer"):
        run = loss[name]
        rows.append(
            f"  {name}: lost {run['bytes_lost']:,} B in {run['gaps_seen']} gaps over {run['seconds']:.1f} s, "
            f"torn rows {run['torn_rows_seen']}, delivered {run['delivered_bytes_per_s'] / MB:.1f} MB/s "
            f"(device: overflowed {run['device_bytes_overflowed']:,} B, purged {run['device_bytes_purged']:,} B "
            f"in {run['device_purges']} purges)"
        )
    gap = results["gap_recovery"]
    rows.append(
        f"{gap['gaps']} gaps of {gap['gap_bytes']} B at {gap['rate_bytes_per_s'] / MB:.0f} MB/s, "
        f"{gap['samples_count']} rows: ours lost {gap['bytes_lost']:,} B "
        f"({gap['bytes_lost'] / gap['gaps']:,.0f} B per gap), torn rows {gap['torn_rows_seen']} "
        f"(device: {gap['device_purges']} purges, purged {gap['device_bytes_purged']:,} B, "
        f"overflowed {gap['device_bytes_overflowed']:,} B besides the gaps)"
    )
    rss = results["rss"]
    rows.append(
        f"RSS over {rss['blocks']:,} blocks of {rss['samples_count']} rows: "
        f"{rss['rss_before_bytes'] / MIB:.1f} -> {rss['rss_after_bytes'] / MIB:.1f} MiB "
        f"({rss['rss_growth_bytes'] / 1024:+.0f} KiB) in {rss['seconds']:.1f} s"
    )
    load = results["load_average_1min"]
    rows.append(f"load average (1 min): {load['before']:.2f} before, {load['after']:.2f} after")
    rows += ["", "targets:"]
    for name, result in results["targets"].items():
        value = result["value"]
        shown = f"{value:.3f}" if isinstance(value, float) else f"{value:,}"
        verdict = "pass" if result["pass"] else "MISS"
        rows.append(f"  {verdict:4} {name}: {shown} (target {result['target']}) {result['note']}")
    print("\n".join(rows))


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    library = os.environ.get(PRELOAD_MARK)
    if library is None or library not in os.environ.get("LD_PRELOAD", ""):
        reexec_with_standin(args)

    import _pynvk_boards_pp as module

    device = standin.StandIn(library)
    if module.list_pcb_rix() != [standin.SERIAL]:
        raise RuntimeError("the module does not see the stand-in's board; is libftdi preloaded?")

    profile = SMOKE if args.smoke else FULL
    json_path = args.json
    if json_path is None:
        json_path = (
            Path(tempfile.mkdtemp(prefix="pynvk_bench_")) / "results.json"
            if args.smoke
            else Path(__file__).resolve().parent / "results.json"
        )

    load_before = os.getloadavg()[0]
    results = {
        "smoke": args.smoke,
        "module_file": module.__file__,
        "memcpy": measure_memcpy(profile),
        "throughput": measure_throughput(module, device, profile),
        "cpu_share": measure_cpu_share(module, device, profile),
        "stall_loss": measure_stall_loss(module, device, profile),
        "gap_recovery": measure_gap_recovery(module, device, profile),
        "rss": measure_rss(module, device, profile),
        "recorder": recorder.measure(device, args.smoke),
    }
    # Other work on the machine skews every figure; this shows how busy it was.
    results["load_average_1min"] = {"before": load_before, "after": os.getloadavg()[0]}
    results["targets"] = evaluate_targets(results)
    print_table(results)
    print(recorder.report(results["recorder"]))
    json_path.parent.mkdir(parents=True, exist_ok=True)
    json_path.write_text(json.dumps(results, indent=2) + "\n")
    print(f"\nwrote {json_path}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
