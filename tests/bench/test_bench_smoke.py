"""The benchmark (bench/run.py) still runs end to end and reports every
figure of every reader: its smoke mode takes every measurement path briefly,
once. The figures of a smoke run mean nothing and are not checked; what the
stand-in counted and what the module counted through the real libftdi1 must
agree in both reading modes, the figures must be of this tree's own module
build, and the recorder must write every frame it read."""

import json
import os
import subprocess
import sys
from pathlib import Path

import _pynvk_boards_pp as nvk
import pytest

ROOT = Path(__file__).resolve().parents[2]
RUN = ROOT / "bench" / "run.py"
ROW_COUNTS = ("1024", "4096", "16384")
# The module's reading modes measured (synchronous reads, read-ahead) and the peer.
MODULE_READERS = ("ours", "ours_read_ahead")
READERS = (*MODULE_READERS, "peer")
# libftdi's synchronous reads ask for 4 KiB transfers.
LIBFTDI_TRANSFER_BYTES = 4096
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
DEVICE_KEYS = {
    "device_bytes_sent",
    "device_bytes_delivered",
    "device_transfers",
    "device_bytes_overflowed",
    "device_bytes_purged",
    "device_purges",
}
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
    "delivered_unread",
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
GAP_KEYS = {
    "bytes_lost",
    "torn_rows_seen",
    "device_bytes_overflowed",
    "device_bytes_purged",
    "device_purges",
    "stats",
    "accounting",
}
RSS_KEYS = {"seconds", "rss_before_bytes", "rss_after_bytes", "rss_growth_bytes", "max_rss_bytes", "stats"}
RECORDER_VARIANTS = {"none", "lz4", "zstd", "none_synchronous"}
RECORDER_CONTROLS = {"control", "control_synchronous"}
# The variants recorded unpaced: those reading ahead, as pcb-rix records.
RECORDER_UNPACED = {"none", "lz4", "zstd"}
RECORDER_CONTROL_RUN_KEYS = {
    "seconds",
    "stream_bytes_per_s",
    "gapless",
    "frames",
    "pool_waits",
    "pool_wait_ms",
    "device_bytes_overflowed",
    "device_bytes_purged",
    "standin_cpu_s",
    "lossless",
    "core_share",
    "standin_core_share",
}
RECORDER_RUN_KEYS = RECORDER_CONTROL_RUN_KEYS | {
    "rows",
    "file_bytes",
    "compression_ratio",
    "all_frames_in_file",
    "file_frames_missing",
    "file_torn_rows",
}
RECORDER_PACED_KEYS = {"runs", "lossless_runs", "stream_bytes_per_s", "core_share", "standin_core_share", "pool_waits"}
SECTION_KEYS = {
    "memcpy": {"array_bytes", "best_s", "bytes_per_s"},
    "throughput": set(READERS),
    "counting_cost": {"rounds", "seconds", "module_files", "frames_counted", *ROW_COUNTS},
    "cpu_share": {"rate_bytes_per_s", "samples_count", *MODULE_READERS},
    "stall_loss": {
        "rate_bytes_per_s",
        "fifo_bytes",
        "samples_count",
        "stall_every_blocks",
        "stall_max_s",
        "seed",
        *READERS,
    },
    "gap_recovery": {"rate_bytes_per_s", "samples_count", "gaps", "gap_bytes", *MODULE_READERS},
    "bursty_board": {"rate_bytes_per_s", "burst_bytes", "quiet_s", "samples_count", *MODULE_READERS},
    "rss": {"samples_count", "blocks", *MODULE_READERS},
    "recorder": {
        "samples_count",
        "directory",
        "module_file",
        "variants",
        "controls",
        "disk_buffered_bytes_per_s",
        "disk_synced_bytes_per_s",
        "unpaced",
        "paced_rate_bytes_per_s",
        "paced_seconds",
        "paced",
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


@pytest.fixture(scope="module")
def results(tmp_path_factory):
    output = tmp_path_factory.mktemp("bench") / "results.json"
    run = run_smoke(output)
    assert run.returncode == 0, run.stdout + run.stderr
    return json.loads(output.read_text())


def test_smoke_run_reports_every_figure_of_every_reader(results):
    assert results["smoke"] is True
    assert set(results) == {"smoke", "module_file", "package_dir", *SECTION_KEYS}
    for section, keys in SECTION_KEYS.items():
        assert set(results[section]) == keys, section

    for side in READERS:
        assert set(results["throughput"][side]) == set(ROW_COUNTS)
        for rows in ROW_COUNTS:
            extra = {"stats"} if side in MODULE_READERS else set()
            assert set(results["throughput"][side][rows]) == THROUGHPUT_KEYS | extra
            # Whatever the speed, the rows delivered are frames of the stream.
            assert results["throughput"][side][rows]["frames_valid"] is True
        runs = results["stall_loss"][side]["runs"]
        assert len(runs) == 2
        for run_figures in runs:
            extra = {"stats", "accounting"} if side in MODULE_READERS else set()
            assert set(run_figures) == STALL_RUN_KEYS | extra
        for figure in STALL_FIGURES:
            assert set(results["stall_loss"][side][figure]) == SPREAD_KEYS

    for side in MODULE_READERS:
        share = results["cpu_share"][side]
        assert len(share["runs"]) == 2
        for run_figures in share["runs"]:
            assert set(run_figures) == CPU_SHARE_RUN_KEYS
        for figure in CPU_SHARE_FIGURES:
            assert set(share[figure]) == SPREAD_KEYS
        bursty = results["bursty_board"][side]
        assert len(bursty["runs"]) == 2
        for run_figures in bursty["runs"]:
            assert set(run_figures) == BURSTY_RUN_KEYS
            assert 0 < run_figures["frames_delivered"] <= run_figures["frames_sent"]
            assert run_figures["frames_sent"] * nvk.FRAME_SIZE <= run_figures["device_bytes_sent"]
            assert run_figures["delivered_share"] == run_figures["frames_delivered"] / run_figures["frames_sent"]
        for figure in BURSTY_FIGURES:
            assert set(bursty[figure]) == SPREAD_KEYS
        assert set(results["gap_recovery"][side]) == GAP_KEYS
        assert set(results["rss"][side]) == RSS_KEYS

    for name, per_reader in results["targets"].items():
        assert set(per_reader) == ({"ours"} if name == "counting_cost" else set(MODULE_READERS))
        for target in per_reader.values():
            assert set(target) == {"value", "target", "pass", "note"}


def test_every_figure_is_of_this_trees_module_and_package(results):
    module_dir = ROOT / "build" / "bench-counting" / "src"
    assert Path(results["module_file"]).parent == module_dir
    assert Path(results["recorder"]["module_file"]) == Path(results["module_file"])
    assert Path(results["package_dir"]) == ROOT / "src" / "pynvk_boards"
    cost = results["counting_cost"]
    # The two sides of the comparison loaded the two builds, and only one counts.
    counting, not_counting = (Path(cost["module_files"][side]) for side in ("counting", "not_counting"))
    assert counting == Path(results["module_file"])
    assert counting.parent != not_counting.parent
    assert cost["frames_counted"]["counting"] > 0
    assert cost["frames_counted"]["not_counting"] == 0
    for rows in ROW_COUNTS:
        assert set(cost[rows]) == COUNTING_ROWS_KEYS
        assert {len(runs) for runs in cost[rows]["rounds"].values()} == {cost["rounds"]}


def test_the_module_and_the_stand_in_count_alike_in_each_reading_mode(results):
    stats = []
    for side in MODULE_READERS:
        stats += [results["throughput"][side][rows]["stats"] for rows in ROW_COUNTS]
        for section in ("cpu_share", "stall_loss", "bursty_board"):
            stats += [run_figures["stats"] for run_figures in results[section][side]["runs"]]
        stats += [results["gap_recovery"][side]["stats"], results["rss"][side]["stats"]]
    for counters in stats:
        assert list(counters) == list(nvk.STATS_KEYS)
    for side in MODULE_READERS:
        # Runs counted after the reader stopped: the reader read no more than
        # the stand-in delivered into its transfers, and each purge of the
        # module (ftdi_tcioflush) reached the stand-in as one receive purge.
        stopped_runs = [*results["stall_loss"][side]["runs"], *results["bursty_board"][side]["runs"]]
        for run_figures in stopped_runs:
            assert run_figures["accounting"]["delivered_unread"] >= 0
            assert run_figures["device_purges"] == run_figures["stats"]["purges"] + run_figures["stats"]["flushes"]
        for accounting in [run_figures["accounting"] for run_figures in stopped_runs] + [
            results["gap_recovery"][side]["accounting"]
        ]:
            assert set(accounting) == ACCOUNTING_KEYS
    # Reading ahead queues transfers larger than libftdi's 4 KiB reads, which
    # come back full from the paced board at 40 MB/s.
    for side, reads_ahead in (("ours", False), ("ours_read_ahead", True)):
        for run_figures in results["stall_loss"][side]["runs"]:
            per_transfer = run_figures["device_bytes_delivered"] / run_figures["device_transfers"]
            assert (per_transfer > LIBFTDI_TRANSFER_BYTES) is reads_ahead, side


def test_recorder_runs_each_variant_and_writes_every_frame_it_read(results):
    recorder = results["recorder"]
    assert set(recorder["variants"]) == RECORDER_VARIANTS
    assert set(recorder["controls"]) == RECORDER_CONTROLS
    assert set(recorder["unpaced"]) == RECORDER_UNPACED
    assert set(recorder["paced"]) == RECORDER_VARIANTS | RECORDER_CONTROLS
    assert set(recorder["targets"]) == {"core_share_uncompressed", "unpaced_vs_link"} | {
        f"paced_lossless_{name}" for name in RECORDER_UNPACED
    }
    recordings = [(name, run) for name, side in recorder["unpaced"].items() for run in side["runs"]]
    for name, side in recorder["paced"].items():
        assert set(side) == RECORDER_PACED_KEYS
        assert len(side["runs"]) == 2
        assert side["lossless_runs"] == sum(run["lossless"] for run in side["runs"])
        if name in RECORDER_CONTROLS:
            assert all(set(run) == RECORDER_CONTROL_RUN_KEYS for run in side["runs"])
        else:
            recordings += [(name, run) for run in side["runs"]]
    for name, run in recordings:
        assert set(run) == RECORDER_RUN_KEYS
        # The session writes every frame the module read into the file.
        assert run["all_frames_in_file"] is True and run["rows"] == run["frames"] > 0
        variant = recorder["variants"][name]
        if variant["stream"] == "counter":
            # Read back, a recording of a board that lost nothing holds every
            # frame from the first on, whole.
            assert run["file_frames_missing"] >= 0 and run["file_torn_rows"] >= 0
            if run["device_bytes_overflowed"] == run["device_bytes_purged"] == 0:
                assert run["file_frames_missing"] == run["file_torn_rows"] == 0
        else:
            assert run["file_frames_missing"] is run["file_torn_rows"] is None
        samples_bytes = run["rows"] * nvk.COLUMNS * 2
        if variant["compression"] == "none":
            assert run["compression_ratio"] is None
            assert run["file_bytes"] >= samples_bytes
        else:
            # The waveform's 12 significant bits of 16 leave the codecs room.
            assert run["compression_ratio"] > 1
            assert run["file_bytes"] < samples_bytes
