"""The benchmark (bench/run.py) still runs end to end and reports every
figure: its smoke mode takes every measurement path briefly. The figures of a
smoke run mean nothing and are not checked; what the stand-in counted and
what the module counted through the real libftdi1 must agree."""

import json
import os
import subprocess
import sys
from pathlib import Path

RUN = Path(__file__).resolve().parents[2] / "bench" / "run.py"
ROW_COUNTS = ("1024", "4096", "16384")

STATS_KEYS = [
    "bytes_read",
    "frames",
    "torn_frames",
    "discarded_bytes",
    "blocks",
    "partial_blocks",
    "last_cut_rows",
    "alignments",
    "realignments",
    "purges",
    "flushes",
    "failed_reads",
    "short_reads",
    "pool_waits",
    "pool_wait_ns",
    "raw_reads",
    "raw_bytes",
    "ready_blocks",
    "running",
]
SPREAD_KEYS = {"median", "min", "max"}
THROUGHPUT_KEYS = {"blocks", "seconds", "bytes_per_s", "cpu_s_per_gb", "consumer_cpu_s_per_gb", "frames_valid"}
COUNTING_ROWS_KEYS = {"bytes_per_s", "cpu_s_per_gb", "cost", "cpu_cost", "rounds"}
CPU_SHARE_RUN_KEYS = {
    "seconds",
    "delivered_bytes_per_s",
    "bytes_lost_device",
    "process_core_share",
    "standin_core_share",
    "standin_wait_core_share",
    "consumer_core_share",
    "reader_core_share",
    "core_share",
    "stats",
}
CPU_SHARE_FIGURES = {
    "core_share",
    "consumer_core_share",
    "reader_core_share",
    "standin_core_share",
    "standin_wait_core_share",
}
# What the stand-in counted over a paced run.
DEVICE_KEYS = {"device_bytes_sent", "device_bytes_overflowed", "device_bytes_purged", "device_purges"}
STALL_RUN_KEYS = {
    "seconds",
    "stalled_s",
    "blocks",
    "delivered_bytes_per_s",
    "bytes_lost",
    "gaps_seen",
    "torn_rows_seen",
    *DEVICE_KEYS,
}
STALL_FIGURES = {"bytes_lost", "gaps_seen", "torn_rows_seen", "device_bytes_overflowed", "device_bytes_purged"}
ACCOUNTING_KEYS = {
    "device_overflowed",
    "device_purged",
    "libftdi_dropped",
    "discarded",
    "torn_rows",
    "accounted",
    "bytes_missed",
    "unaccounted",
}
BURSTY_RUN_KEYS = {
    "seconds",
    "frames_delivered",
    "frames_sent",
    "delivered_share",
    "gaps_seen",
    "torn_rows_seen",
    *DEVICE_KEYS,
    "stats",
    "accounting",
}
BURSTY_FIGURES = {"delivered_share", "frames_delivered", "frames_sent"}
SECTION_KEYS = {
    "memcpy": {"array_bytes", "best_s", "bytes_per_s"},
    "counting_cost": {"rounds", "seconds", "module_files", "frames_counted", *ROW_COUNTS},
    "cpu_share": {"rate_bytes_per_s", "samples_count", "runs", *CPU_SHARE_FIGURES},
    "stall_loss": {
        "rate_bytes_per_s",
        "fifo_bytes",
        "samples_count",
        "stall_every_blocks",
        "stall_max_s",
        "seed",
        "ours",
        "peer",
    },
    "gap_recovery": {
        "rate_bytes_per_s",
        "samples_count",
        "gaps",
        "gap_bytes",
        "bytes_lost",
        "torn_rows_seen",
        "device_bytes_overflowed",
        "device_bytes_purged",
        "device_purges",
        "stats",
        "accounting",
    },
    "bursty_board": {"rate_bytes_per_s", "burst_bytes", "quiet_s", "samples_count", "runs", *BURSTY_FIGURES},
    "rss": {
        "samples_count",
        "blocks",
        "seconds",
        "rss_before_bytes",
        "rss_after_bytes",
        "rss_growth_bytes",
        "max_rss_bytes",
        "stats",
    },
    "recorder": {
        "samples_count",
        "directory",
        "disk_buffered_bytes_per_s",
        "disk_synced_bytes_per_s",
        "unpaced_stream_bytes_per_s",
        "paced_rate_bytes_per_s",
        "paced_seconds",
        "paced_stream_bytes_per_s",
        "paced_core_share",
        "paced_lossless_runs",
        "control_lossless_runs",
        "unpaced",
        "paced",
        "control",
        "targets",
    },
    "load_average_1min": {"before", "between", "after"},
    "targets": {
        "bandwidth_vs_memcpy",
        "speedup_vs_peer",
        "core_share_at_40MBps",
        "bytes_lost_stalling_consumer",
        "counting_cost",
        "frames_delivered_bursty_board",
        "rss_growth",
    },
}


def run_smoke(output):
    # The benchmark preloads its own libusb stand-in; nothing else may be.
    env = {name: value for name, value in os.environ.items() if name not in ("LD_PRELOAD", "PYNVK_BENCH_PRELOADED")}
    # The first run also builds the stand-in and the module twice.
    return subprocess.run(
        [sys.executable, str(RUN), "--smoke", "--json", str(output)],
        env=env,
        capture_output=True,
        text=True,
        timeout=900,
    )


def test_smoke_run_reports_every_figure(tmp_path):
    output = tmp_path / "results.json"
    run = run_smoke(output)
    assert run.returncode == 0, run.stdout + run.stderr

    results = json.loads(output.read_text())
    assert results["smoke"] is True
    assert set(results) == {"smoke", "module_file", "throughput", *SECTION_KEYS}
    for section, keys in SECTION_KEYS.items():
        assert set(results[section]) == keys, section

    for side in ("ours", "peer"):
        assert set(results["throughput"][side]) == set(ROW_COUNTS)
        for rows in ROW_COUNTS:
            extra = {"stats"} if side == "ours" else set()
            assert set(results["throughput"][side][rows]) == THROUGHPUT_KEYS | extra
            # Whatever the speed, the rows delivered are frames of the stream.
            assert results["throughput"][side][rows]["frames_valid"] is True
        runs = results["stall_loss"][side]["runs"]
        assert len(runs) == 2
        for run_figures in runs:
            extra = {"stats", "accounting"} if side == "ours" else set()
            assert set(run_figures) == STALL_RUN_KEYS | extra
        for figure in STALL_FIGURES:
            assert set(results["stall_loss"][side][figure]) == SPREAD_KEYS

    stats = [results["throughput"]["ours"][rows]["stats"] for rows in ROW_COUNTS]
    stats += [run_figures["stats"] for run_figures in results["cpu_share"]["runs"]]
    stats += [run_figures["stats"] for run_figures in results["stall_loss"]["ours"]["runs"]]
    stats += [run_figures["stats"] for run_figures in results["bursty_board"]["runs"]]
    stats += [results["gap_recovery"]["stats"], results["rss"]["stats"]]
    for counters in stats:
        assert list(counters) == STATS_KEYS
    # Runs counted after the reader stopped: libftdi returned no more than the
    # stand-in delivered into its transfers, and each purge of the module
    # (ftdi_tcioflush) reached the stand-in as one receive purge.
    stopped_runs = [*results["stall_loss"]["ours"]["runs"], *results["bursty_board"]["runs"]]
    for run_figures in stopped_runs:
        assert run_figures["accounting"]["libftdi_dropped"] >= 0
        assert run_figures["device_purges"] == run_figures["stats"]["purges"] + run_figures["stats"]["flushes"]
    for accounting in [run_figures["accounting"] for run_figures in stopped_runs] + [
        results["gap_recovery"]["accounting"]
    ]:
        assert set(accounting) == ACCOUNTING_KEYS

    bursty = results["bursty_board"]
    assert len(bursty["runs"]) == 2
    for run_figures in bursty["runs"]:
        assert set(run_figures) == BURSTY_RUN_KEYS
        assert 0 < run_figures["frames_delivered"] <= run_figures["frames_sent"]
        assert run_figures["frames_sent"] * 12 <= run_figures["device_bytes_sent"]
        assert run_figures["delivered_share"] == run_figures["frames_delivered"] / run_figures["frames_sent"]
    for figure in BURSTY_FIGURES:
        assert set(bursty[figure]) == SPREAD_KEYS

    assert len(results["cpu_share"]["runs"]) == 2
    for run_figures in results["cpu_share"]["runs"]:
        assert set(run_figures) == CPU_SHARE_RUN_KEYS
    for figure in CPU_SHARE_FIGURES:
        assert set(results["cpu_share"][figure]) == SPREAD_KEYS

    cost = results["counting_cost"]
    # The two sides of the comparison loaded the two builds, and only one counts.
    counting, not_counting = (Path(cost["module_files"][side]) for side in ("counting", "not_counting"))
    assert counting.parent != not_counting.parent
    assert cost["frames_counted"]["counting"] > 0
    assert cost["frames_counted"]["not_counting"] == 0
    for rows in ROW_COUNTS:
        assert set(cost[rows]) == COUNTING_ROWS_KEYS
        assert {len(runs) for runs in cost[rows]["rounds"].values()} == {cost["rounds"]}

    for target in results["targets"].values():
        assert set(target) == {"value", "target", "pass", "note"}
