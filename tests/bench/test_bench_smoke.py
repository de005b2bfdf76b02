"""The benchmark (bench/run.py) still runs end to end and reports every
figure: its smoke mode takes every measurement path briefly. The figures of a
smoke run mean nothing and are not checked."""

import json
import os
import subprocess
import sys
from pathlib import Path

RUN = Path(__file__).resolve().parents[2] / "bench" / "run.py"
ROW_COUNTS = ("1024", "4096", "16384")

THROUGHPUT_KEYS = {"blocks", "seconds", "bytes_per_s", "cpu_s_per_gb", "consumer_cpu_s_per_gb", "frames_valid"}
STALL_RUN_KEYS = {
    "seconds",
    "stalled_s",
    "blocks",
    "delivered_bytes_per_s",
    "bytes_lost",
    "gaps_seen",
    "torn_rows_seen",
    "device_bytes_overflowed",
    "device_bytes_purged",
    "device_purges",
}
SECTION_KEYS = {
    "memcpy": {"array_bytes", "best_s", "bytes_per_s"},
    "cpu_share": {
        "rate_bytes_per_s",
        "samples_count",
        "seconds",
        "delivered_bytes_per_s",
        "bytes_lost_device",
        "process_core_share",
        "standin_core_share",
        "consumer_core_share",
        "reader_core_share",
        "core_share",
    },
    "stall_loss": {
        "rate_bytes_per_s",
        "device_buffer_bytes",
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
    },
    "rss": {
        "samples_count",
        "blocks",
        "seconds",
        "rss_before_bytes",
        "rss_after_bytes",
        "rss_growth_bytes",
        "max_rss_bytes",
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
    "targets": {
        "bandwidth_vs_memcpy",
        "speedup_vs_peer",
        "core_share_at_40MBps",
        "bytes_lost_stalling_consumer",
        "rss_growth",
    },
}


def test_smoke_run_reports_every_figure(tmp_path):
    output = tmp_path / "results.json"
    # The benchmark preloads its own libftdi stand-in; nothing else may be.
    env = {name: value for name, value in os.environ.items() if name not in ("LD_PRELOAD", "PYNVK_BENCH_PRELOADED")}
    run = subprocess.run(
        [sys.executable, str(RUN), "--smoke", "--json", str(output)],
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert run.returncode == 0, run.stdout + run.stderr

    results = json.loads(output.read_text())
    assert results["smoke"] is True
    assert set(results) == {"smoke", "module_file", "throughput", "load_average_1min", *SECTION_KEYS}
    assert set(results["load_average_1min"]) == {"before", "after"}
    for section, keys in SECTION_KEYS.items():
        assert set(results[section]) == keys, section
    for side in ("ours", "peer"):
        assert set(results["throughput"][side]) == set(ROW_COUNTS)
        for rows in ROW_COUNTS:
            assert set(results["throughput"][side][rows]) == THROUGHPUT_KEYS
            # Whatever the speed, the rows delivered are frames of the stream.
            assert results["throughput"][side][rows]["frames_valid"] is True
        assert set(results["stall_loss"][side]) == STALL_RUN_KEYS
    for target in results["targets"].values():
        assert set(target) == {"value", "target", "pass", "note"}
