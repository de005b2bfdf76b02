"""The recorder of `pcb-rix record` (pynvk_boards.session.record into a
RecordingFile) on the stand-in's board, writing HDF5 to local disk at 4096
rows per block, in variants (VARIANTS): as the command runs it (read-ahead
1 MiB, the package's default) uncompressed on the counter stream, and with
lz4 and zstd on the waveform stream (a realistic signal: the counter frames
would compress far better); and uncompressed with the module's synchronous
reads (read_ahead 0) beside them.

- unpaced: how fast each variant writes when the board is never the limit,
  as stream MB/s (12 bytes per row), beside the disk's own sequential write
  rate measured in the same run (buffered, and with fsync);
- paced at the link's 40 MB/s: the rate written, the share of a core for
  the whole process (reader thread, writer and compression) less the
  stand-in's own CPU, the compression ratio, and whether the run was
  lossless: no overflow or purge in the stand-in, the module's gapless
  verdict, and every frame read in the file. The runs take turns with
  control runs of each reading mode, which read the blocks and drop them:
  a loss the machine causes (a reader not back within the 1.6 ms the
  stand-in's 64 KiB FIFO lasts) shows in both, one the writing causes (the
  pool running dry: pool waits) only in the recording.

Each figure is the median and range over several runs. Used by run.py.
"""

from __future__ import annotations

import os
import statistics
import time
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

import _pynvk_boards_pp as nvk
import standin
from frames import FrameChecker
from pynvk_boards.board import Board, open_board
from pynvk_boards.defaults import CODECS, DEFAULT_READ_AHEAD, NO_COMPRESSION
from pynvk_boards.recording_file import BoardSetup, RecordingFile, open_recording
from pynvk_boards.session import record
from pynvk_boards.summary import summarize

ROWS = 4096
MB = 1e6
MIB = 1 << 20
LINK_RATE = 40e6
DIRECTORY = Path(__file__).resolve().parents[1] / "build" / "bench_recorder"
# Rows of a recording read back at a time to check its frames.
CHECK_ROWS = 1 << 20


@dataclass(frozen=True)
class Variant:
    """How a recording is made: the module's read-ahead, the samples'
    compression and the stand-in's stream."""

    read_ahead: int
    compression: str
    stream: str


VARIANTS = {
    NO_COMPRESSION: Variant(DEFAULT_READ_AHEAD, NO_COMPRESSION, "counter"),
    **{codec: Variant(DEFAULT_READ_AHEAD, codec, "waveform") for codec in CODECS},
    f"{NO_COMPRESSION}_synchronous": Variant(0, NO_COMPRESSION, "counter"),
}
# Control runs, blocks read and dropped: their read-ahead.
CONTROLS = {"control": DEFAULT_READ_AHEAD, "control_synchronous": 0}
# Figures of the paced runs that get a median and range.
PACED_FIGURES = ("stream_bytes_per_s", "core_share", "standin_core_share", "pool_waits")


@dataclass(frozen=True)
class Profile:
    runs: int
    unpaced_s: float
    paced_s: float
    disk_bytes: int


FULL = Profile(runs=5, unpaced_s=2.0, paced_s=30.0, disk_bytes=512 * MIB)
SMOKE = Profile(runs=2, unpaced_s=0.05, paced_s=0.2, disk_bytes=4 * MIB)


def spread(values: list[float]) -> dict:
    return {"median": statistics.median(values), "min": min(values), "max": max(values), "runs": values}


def disk_write_rate(size: int) -> dict:
    """Sequential writes of 1 MiB to a new file: bytes/s until the last write
    returned (into the page cache, as the recorder writes) and until fsync
    returned (onto the disk)."""
    path = DIRECTORY / "sequential.bin"
    chunk = os.urandom(MIB)
    start = time.perf_counter()
    with open(path, "wb", buffering=0) as file:
        for _ in range(size // MIB):
            file.write(chunk)
        written = time.perf_counter()
        os.fsync(file.fileno())
    synced = time.perf_counter()
    path.unlink()
    return {"buffered": size / (written - start), "synced": size / (synced - start)}


@contextmanager
def halted_at_stop(device: standin.StandIn, read_ahead: int) -> Iterator[Board]:
    """The stand-in's board opened as the command opens it, whose stop()
    first halts the stand-in's board: bytes it made after the reader stopped
    would overflow its FIFO, which is no loss of the recording."""
    with open_board(standin.SERIAL, rows=ROWS, read_ahead=read_ahead) as board:
        stop = board.stop

        def halt_and_stop(*args, **kwargs):
            device.halt()
            return stop(*args, **kwargs)

        board.stop = halt_and_stop
        yield board


def losses(device: standin.StandIn, summary) -> dict:
    """The stand-in's losses and the module's verdict, once the reader stopped."""
    counters = device.counters()
    return {
        "gapless": summary.gapless,
        "frames": summary.frames,
        "pool_waits": summary.counters["pool_waits"],
        "pool_wait_ms": summary.counters["pool_wait_ns"] / 1e6,
        "device_bytes_overflowed": counters["bytes_lost"],
        "device_bytes_purged": counters["bytes_purged"],
        "standin_cpu_s": counters["standin_cpu_ns"] * 1e-9,
    }


def core_shares(cpu_s: float, figures: dict) -> dict:
    """The process's share of a core over the run, less the stand-in's own
    CPU (spent in the reader's libusb calls; 0 when unpaced), and that."""
    seconds = figures["seconds"]
    return {"core_share": (cpu_s - figures["standin_cpu_s"]) / seconds,
            "standin_core_share": figures["standin_cpu_s"] / seconds}


def drop_once(device: standin.StandIn, read_ahead: int, seconds: float) -> dict:
    """The control: the paced board read for `seconds`, its blocks dropped."""
    with halted_at_stop(device, read_ahead) as board:
        # The board starts with the reader's first request.
        device.configure_paced(LINK_RATE, at_request=True)
        first = board.snapshot()
        cpu = time.process_time()
        for _ in board.blocks(until=lambda: time.monotonic() - first.time >= seconds):
            pass
        board.stop()
        cpu = time.process_time() - cpu
        summary = summarize(first, board.snapshot())
    figures = {"seconds": summary.seconds, "stream_bytes_per_s": summary.stream_bytes_per_s, **losses(device, summary)}
    figures["lossless"] = lossless(figures)
    return figures | core_shares(cpu, figures)


def record_once(device: standin.StandIn, variant: Variant, seconds: float, paced: bool) -> dict:
    """One recording of `variant` for `seconds` into a new file, which is
    read back for its compression ratio and deleted."""
    path = DIRECTORY / "recording.h5"
    with halted_at_stop(device, variant.read_ahead) as board:
        # A paced board starts with the reader's first request.
        if paced:
            device.configure_paced(LINK_RATE, stream=variant.stream, at_request=True)
        else:
            device.configure_unpaced(stream=variant.stream)
        file = RecordingFile(path, [BoardSetup(board.serial, ROWS, variant.read_ahead)], emulated=False,
                             compression=variant.compression, overwrite=True)
        cpu = time.process_time()
        try:
            outcome = record([board], file, seconds=seconds)
        finally:
            file.close()
        cpu = time.process_time() - cpu
    with open_recording(path) as recording:
        (written,) = recording.boards
        ratio = written.compression_ratio
        in_file = frames_in_file(written.samples) if variant.stream == "counter" else None
    file_bytes = path.stat().st_size
    path.unlink()
    (recorded,) = outcome.boards
    summary = recorded.summary
    figures = {
        "seconds": summary.seconds,
        "rows": recorded.rows,
        "stream_bytes_per_s": recorded.rows * nvk.FRAME_SIZE / summary.seconds,
        "file_bytes": file_bytes,
        "compression_ratio": ratio,
        "all_frames_in_file": recorded.frames_left_out == 0 and outcome.error is None,
        # The waveform's frames carry no index: None.
        "file_frames_missing": None if in_file is None else in_file.missing_frames,
        "file_torn_rows": None if in_file is None else in_file.torn_rows,
        **losses(device, summary),
    }
    figures["lossless"] = lossless(figures)
    return figures | core_shares(cpu, figures)


def frames_in_file(samples) -> FrameChecker:
    """The counter stream's frames in a recording's samples, which begin at
    frame 0 (the paced board starts there, at the reader's first request)."""
    checker = FrameChecker(first_index=0)
    for start in range(0, len(samples), CHECK_ROWS):
        checker.feed(samples[start:start + CHECK_ROWS])
    return checker


def lossless(run: dict) -> bool:
    """No overflow or purge in the stand-in, the module's gapless verdict,
    and for a recording every frame read in the file and, where its frames
    carry their index, none missing or torn from the first on."""
    return (run["device_bytes_overflowed"] == run["device_bytes_purged"] == 0 and run["gapless"]
            and run.get("all_frames_in_file", True) and not run.get("file_frames_missing")
            and not run.get("file_torn_rows"))


def paced_figures(runs: list[dict]) -> dict:
    return {
        "runs": runs,
        "lossless_runs": sum(run["lossless"] for run in runs),
        **{name: spread([run[name] for run in runs]) for name in PACED_FIGURES},
    }


def measure(device: standin.StandIn, smoke: bool) -> dict:
    profile = SMOKE if smoke else FULL
    DIRECTORY.mkdir(parents=True, exist_ok=True)
    disk = [disk_write_rate(profile.disk_bytes) for _ in range(profile.runs)]
    # As the command records: with read-ahead (the synchronous reads' unpaced
    # rate differs little, their paced losses are the question).
    unpaced = {name: [record_once(device, variant, profile.unpaced_s, paced=False) for _ in range(profile.runs)]
               for name, variant in VARIANTS.items() if variant.read_ahead == DEFAULT_READ_AHEAD}
    # Every variant and control once per round, so that the machine's
    # disturbances fall on all of them alike.
    paced = {name: [] for name in [*CONTROLS, *VARIANTS]}
    for _ in range(profile.runs):
        for name, read_ahead in CONTROLS.items():
            paced[name].append(drop_once(device, read_ahead, profile.paced_s))
        for name, variant in VARIANTS.items():
            paced[name].append(record_once(device, variant, profile.paced_s, paced=True))
    results = {
        "samples_count": ROWS,
        "directory": str(DIRECTORY),
        "module_file": nvk.__file__,
        "variants": {name: vars(variant) for name, variant in VARIANTS.items()},
        "controls": CONTROLS,
        "disk_buffered_bytes_per_s": spread([run["buffered"] for run in disk]),
        "disk_synced_bytes_per_s": spread([run["synced"] for run in disk]),
        "unpaced": {name: {"runs": runs, "stream_bytes_per_s": spread([run["stream_bytes_per_s"] for run in runs])}
                    for name, runs in unpaced.items()},
        "paced_rate_bytes_per_s": LINK_RATE,
        "paced_seconds": profile.paced_s,
        "paced": {name: paced_figures(runs) for name, runs in paced.items()},
    }
    results["targets"] = evaluate_targets(results)
    return results


def evaluate_targets(results: dict) -> dict:
    """The recorder's targets: uncompressed at a paced 40 MB/s as the
    command records, at most 6 % of a core; every read-ahead variant
    lossless in every run (the compressed ones keeping up with the link); and
    uncompressed unpaced at least twice the link's rate."""
    uncompressed = results["paced"][NO_COMPRESSION]
    share = uncompressed["core_share"]["median"]
    unpaced = results["unpaced"][NO_COMPRESSION]["stream_bytes_per_s"]["median"] / LINK_RATE
    targets = {
        "core_share_uncompressed": {"value": share, "target": "<= 0.06", "pass": share <= 0.06},
        "unpaced_vs_link": {"value": unpaced, "target": ">= 2", "pass": unpaced >= 2},
    }
    for name in results["unpaced"]:
        runs = results["paced"][name]
        targets[f"paced_lossless_{name}"] = {"value": runs["lossless_runs"], "target": f"{len(runs['runs'])} runs",
                                             "pass": runs["lossless_runs"] == len(runs["runs"])}
    return targets


def report(results: dict) -> str:
    def mb(figure: dict) -> str:
        return f"{figure['median'] / MB:,.1f} MB/s ({figure['min'] / MB:,.1f}..{figure['max'] / MB:,.1f})"

    def share(figure: dict) -> str:
        return f"{figure['median']:.1%} ({figure['min']:.1%}..{figure['max']:.1%})"

    def lost(runs: list[dict]) -> str:
        return (f"overflowed {sum(run['device_bytes_overflowed'] for run in runs):,} B, purged "
                f"{sum(run['device_bytes_purged'] for run in runs):,} B, not gapless "
                f"{sum(not run['gapless'] for run in runs)}, pool waits {sum(run['pool_waits'] for run in runs)} "
                f"({sum(run['pool_wait_ms'] for run in runs):.0f} ms)"
                + (f", frames missing from the file {sum(run['file_frames_missing'] for run in runs):,}"
                   if all(run.get("file_frames_missing") is not None for run in runs) else ""))

    def ratios(runs: list[dict]) -> str:
        values = [run["compression_ratio"] for run in runs if run.get("compression_ratio") is not None]
        return f", compression ratio {statistics.median(values):.2f}" if values else ""

    paced = results["paced"]
    lines = [
        f"recorder to HDF5 in {results['directory']}, {results['samples_count']} rows, median (range) of "
        f"{len(results['disk_buffered_bytes_per_s']['runs'])} runs; module {results['module_file']}",
        f"  the disk's sequential write: {mb(results['disk_buffered_bytes_per_s'])} buffered, "
        f"{mb(results['disk_synced_bytes_per_s'])} with fsync",
    ]
    for name, side in results["unpaced"].items():
        lines.append(f"  unpaced, {name} ({results['variants'][name]['stream']} stream): "
                     f"{mb(side['stream_bytes_per_s'])} of stream{ratios(side['runs'])}")
    lines.append(f"  paced {results['paced_rate_bytes_per_s'] / MB:.0f} MB/s for {results['paced_seconds']:g} s:")
    for name, side in paced.items():
        how = (f"read_ahead {results['controls'][name]:,}, blocks dropped" if name in results["controls"] else
               f"read_ahead {results['variants'][name]['read_ahead']:,}, {results['variants'][name]['stream']} "
               f"stream")
        lines.append(
            f"    {name} ({how}): {mb(side['stream_bytes_per_s'])} written, {share(side['core_share'])} of a core "
            f"(stand-in {share(side['standin_core_share'])} left out){ratios(side['runs'])}; lossless in "
            f"{side['lossless_runs']} of {len(side['runs'])} runs ({lost(side['runs'])})")
    lines += [f"  {'pass' if target['pass'] else 'MISS'} recorder {name}: {target['value']:,.3g} "
              f"(target {target['target']})" for name, target in results["targets"].items()]
    return "\n".join(lines)
