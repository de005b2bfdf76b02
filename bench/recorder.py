"""The recorder of `pcb-rix record` (pynvk_boards.session) on the stand-in's
board, writing HDF5 to local disk at 4096 rows per block, with the module's
synchronous reads as the other figures (read_ahead 0):

- unpaced: how fast it writes when the board is never the limit, as stream
  MB/s (12 bytes per row), beside the disk's own sequential write rate
  measured in the same run (buffered, and with fsync);
- paced at the link's 40 MB/s: whether it keeps up without loss (the
  stand-in's overflow and purge counters, the module's gapless verdict, and
  every frame read in the file); each such run follows a control run of the
  same length that reads the blocks and drops them, so that a loss the
  machine causes (a reader thread not scheduled within the 1.6 ms the
  stand-in's 64 KiB FIFO lasts) is told from one the writing causes (the
  pool running dry: pool waits).

Each figure is the median and range over several runs. Used by run.py.
"""

from __future__ import annotations

import os
import statistics
import time
from dataclasses import dataclass
from pathlib import Path

import standin
from pynvk_boards.board import open_board
from pynvk_boards.recording_file import BoardSetup, RecordingFile
from pynvk_boards.session import record
from pynvk_boards.summary import summarize

ROWS = 4096
READ_AHEAD = 0
FRAME_SIZE = 12
MB = 1e6
MIB = 1 << 20
LINK_RATE = 40e6
DIRECTORY = Path(__file__).resolve().parents[1] / "build" / "bench_recorder"


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


def losses(device: standin.StandIn, summary) -> dict:
    counters = device.counters()
    return {
        "gapless": summary.gapless,
        "pool_waits": summary.counters["pool_waits"],
        "pool_wait_ms": summary.counters["pool_wait_ns"] / 1e6,
        "device_bytes_overflowed": counters["bytes_lost"],
        "device_bytes_purged": counters["bytes_purged"],
    }


def drop_once(device: standin.StandIn, seconds: float) -> dict:
    """The control: the paced board read for `seconds`, its blocks dropped."""
    with open_board(standin.SERIAL, rows=ROWS, read_ahead=READ_AHEAD) as board:
        device.configure_paced(LINK_RATE)
        first = board.snapshot()
        for _ in board.blocks(until=lambda: time.monotonic() - first.time >= seconds):
            pass
        board.stop()
        return losses(device, summarize(first, board.snapshot()))


def record_once(device: standin.StandIn, seconds: float, paced: bool) -> dict:
    path = DIRECTORY / "recording.h5"
    with open_board(standin.SERIAL, rows=ROWS, read_ahead=READ_AHEAD) as board:
        file = RecordingFile(path, [BoardSetup(board.serial, ROWS, READ_AHEAD)], emulated=False, overwrite=True)
        # The paced board makes bytes from now on, into a FIFO of 1.6 ms: the
        # recording starts at once.
        if paced:
            device.configure_paced(LINK_RATE)
        else:
            device.configure_unpaced()
        cpu = time.process_time()
        try:
            outcome = record([board], file, seconds=seconds)
        finally:
            file.close()
        cpu = time.process_time() - cpu
    file_bytes = path.stat().st_size
    path.unlink()
    (recorded,) = outcome.boards
    summary = recorded.summary
    return {
        "seconds": summary.seconds,
        "rows": recorded.rows,
        "stream_bytes_per_s": recorded.rows * FRAME_SIZE / summary.seconds,
        "file_bytes": file_bytes,
        "all_frames_in_file": recorded.frames_left_out == 0 and outcome.error is None,
        **losses(device, summary),
        # The paced stand-in spends its own CPU in the reader's calls; it is left out.
        "core_share": (cpu - device.counters()["standin_cpu_ns"] * 1e-9) / summary.seconds,
    }


def lossless(run: dict) -> bool:
    return (run["device_bytes_overflowed"] == run["device_bytes_purged"] == 0 and run["gapless"]
            and run.get("all_frames_in_file", True))


def measure(device: standin.StandIn, smoke: bool) -> dict:
    profile = SMOKE if smoke else FULL
    DIRECTORY.mkdir(parents=True, exist_ok=True)
    disk = [disk_write_rate(profile.disk_bytes) for _ in range(profile.runs)]
    unpaced = [record_once(device, profile.unpaced_s, paced=False) for _ in range(profile.runs)]
    control, paced = [], []
    for _ in range(profile.runs):
        control.append(drop_once(device, profile.paced_s))
        paced.append(record_once(device, profile.paced_s, paced=True))
    unpaced_rate = spread([run["stream_bytes_per_s"] for run in unpaced])
    return {
        "samples_count": ROWS,
        "directory": str(DIRECTORY),
        "disk_buffered_bytes_per_s": spread([run["buffered"] for run in disk]),
        "disk_synced_bytes_per_s": spread([run["synced"] for run in disk]),
        "unpaced_stream_bytes_per_s": unpaced_rate,
        "paced_rate_bytes_per_s": LINK_RATE,
        "paced_seconds": profile.paced_s,
        "paced_stream_bytes_per_s": spread([run["stream_bytes_per_s"] for run in paced]),
        "paced_core_share": spread([run["core_share"] for run in paced]),
        "paced_lossless_runs": sum(map(lossless, paced)),
        "control_lossless_runs": sum(map(lossless, control)),
        "unpaced": unpaced,
        "paced": paced,
        "control": control,
        "targets": {
            "unpaced_vs_link": {"value": round(unpaced_rate["median"] / LINK_RATE, 2), "target": ">= 2",
                                "pass": unpaced_rate["median"] >= 2 * LINK_RATE},
            "paced_lossless": {"value": sum(map(lossless, paced)), "target": f"{len(paced)} runs",
                               "pass": all(map(lossless, paced))},
        },
    }


def report(results: dict) -> str:
    def mb(figure: dict) -> str:
        return f"{figure['median'] / MB:,.0f} MB/s ({figure['min'] / MB:,.0f}..{figure['max'] / MB:,.0f})"

    runs = len(results["paced"])
    paced, control = results["paced"], results["control"]
    share = results["paced_core_share"]

    def lost(runs: list[dict]) -> str:
        return (f"overflowed {sum(run['device_bytes_overflowed'] for run in runs):,} B, pool waits "
                f"{sum(run['pool_waits'] for run in runs)} ({sum(run['pool_wait_ms'] for run in runs):.0f} ms)")

    return "\n".join([
        f"recorder to HDF5 in {results['directory']}, {results['samples_count']} rows, median (range) of {runs} runs:",
        f"  unpaced: {mb(results['unpaced_stream_bytes_per_s'])} of stream; the disk's sequential write "
        f"{mb(results['disk_buffered_bytes_per_s'])} buffered, {mb(results['disk_synced_bytes_per_s'])} with fsync",
        f"  paced {results['paced_rate_bytes_per_s'] / MB:.0f} MB/s for {results['paced_seconds']:g} s: "
        f"{mb(results['paced_stream_bytes_per_s'])} written, {share['median']:.1%} of a core "
        f"({share['min']:.1%}..{share['max']:.1%}); lossless in {results['paced_lossless_runs']} of {runs} runs "
        f"({lost(paced)})",
        f"  control, blocks dropped unwritten: lossless in {results['control_lossless_runs']} of {runs} runs "
        f"({lost(control)})",
    ] + [f"  {'pass' if target['pass'] else 'MISS'} recorder {name}: {target['value']} (target {target['target']})"
         for name, target in results["targets"].items()])
