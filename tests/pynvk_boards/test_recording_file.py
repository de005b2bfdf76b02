"""The recording file: what goes in comes back, compressed or not, through the
writer's stages and flushes; compressed datasets carry their filters; and
HDF5's own tool reads an uncompressed recording."""

import shutil
import subprocess

import h5py
import numpy as np
import pytest

from pynvk_boards import open_recording
from pynvk_boards.cli import main
from pynvk_boards.recording_file import STAGE_BYTES, BoardSetup, RecordingFile
from recorded import assert_consecutive_frames, read_recording

# HDF5's filter ids: shuffle, and the codecs hdf5plugin registers.
FILTERS = {"lz4": [2, 32004], "zstd": [2, 32015], "none": []}


def filter_ids(dataset):
    plist = dataset.id.get_create_plist()
    return [plist.get_filter(index)[0] for index in range(plist.get_nfilters())]


@pytest.mark.parametrize("compression", ["none", "lz4", "zstd"])
def test_blocks_written_come_back_whole_through_stages_flushes_and_a_cut_block(tmp_path, compression):
    rows = 1000
    stage_blocks = STAGE_BYTES // (rows * 10)
    rng = np.random.default_rng(7)
    # Flushes mid-stage (twice in one stage), at a stage's end, and a cut last block.
    blocks = [rng.integers(-2**15, 2**15, (rows, 5), dtype=np.int16) for _ in range(2 * stage_blocks + 5)]
    blocks.append(blocks[-1][:123].copy())
    flush_after = {3, 9, stage_blocks, stage_blocks + 1}
    times = list(range(10**18, 10**18 + len(blocks) * 1000, 1000))
    path = tmp_path / "run.h5"
    file = RecordingFile(path, [BoardSetup("NVK1", rows, 0)], emulated=True, compression=compression)
    file.begin("2025-01-01T00:00:00+00:00", [{"frames": 0}])
    [writer] = file.writers
    for count, (block, time_ns) in enumerate(zip(blocks, times), 1):
        writer.append(block, time_ns)
        if count in flush_after:
            file.flush()
            # What the file on disk holds so far: every block appended, with its time.
            shutil.copyfile(path, tmp_path / "copy.h5")
            with h5py.File(tmp_path / "copy.h5", "r") as reader:
                np.testing.assert_array_equal(reader["samples"][:], np.concatenate(blocks[:count]))
                assert list(reader["block_time_ns"][:]) == times[:count]
    file.finish([{"frames": sum(map(len, blocks))}], [True])
    file.close()
    with open_recording(path) as recording:
        [board] = recording.boards
        np.testing.assert_array_equal(board.samples[:], np.concatenate(blocks))
        assert list(board.block_time_ns[:]) == times
        assert board.compression == compression and filter_ids(board.samples) == FILTERS[compression]
        assert board.samples.chunks == ((rows if compression != "none" else rows * stage_blocks), 5)
        # Random values do not compress; the ratio is still told.
        assert (board.compression_ratio is None) == (compression == "none")


@pytest.mark.parametrize("compression", ["lz4", "zstd"])
def test_a_compressed_recording_reads_back_as_the_boards_frames(ftdi_emulator, tmp_path, capsys, compression):
    ftdi_emulator.add_device("NVK1")
    out = tmp_path / "run.h5"
    assert main(["record", str(out), "--rows", "512", "--blocks", "30", "--compress", compression]) == 0
    samples, attributes, grown = read_recording(out)
    assert samples.shape == (30 * 512, 5) and attributes["compression"] == compression
    assert_consecutive_frames(samples)
    with h5py.File(out, "r") as file:
        assert filter_ids(file["samples"]) == FILTERS[compression] and file["samples"].chunks == (512, 5)
        ratio = file["samples"].nbytes / file["samples"].id.get_storage_size()
    capsys.readouterr()
    assert main(["info", str(out)]) == 0
    assert f"{compression} (ratio {ratio:.2f})" in capsys.readouterr().out


def test_a_waveform_of_twelve_significant_bits_compresses(ftdi_emulator, tmp_path, capsys):
    out = tmp_path / "run.h5"
    assert main(["record", str(out), "--emulate", "2", "--waveform", "--compress", "zstd", "--rows", "4096",
                 "--blocks", "20"]) == 0
    with open_recording(out) as recording:
        for board in recording.boards:
            samples = board.samples[:]
            assert samples.shape == (20 * 4096, 5) and recording.summary(board).gapless
            # Sines plus noise, not frame counters: 12 significant bits, and smooth.
            assert samples.min() >= -2048 and samples.max() <= 2047 and samples.std() > 300
            assert np.abs(np.diff(samples.astype(int), axis=0)).max() < 100
            assert board.compression_ratio > 1.5


@pytest.mark.skipif(shutil.which("h5dump") is None, reason="h5dump is in HDF5's tools (Debian: hdf5-tools)")
def test_hdf5s_own_tool_reads_an_uncompressed_recording(ftdi_emulator, tmp_path):
    ftdi_emulator.add_device("NVK1")
    out = tmp_path / "run.h5"
    assert main(["record", str(out), "--rows", "64", "--blocks", "3"]) == 0
    samples, attributes, _ = read_recording(out)
    with h5py.File(out, "r") as file:
        times = file["block_time_ns"][:]
    def h5dump(*options):
        run = subprocess.run(["h5dump", "-w", "0", *options, str(out)], capture_output=True, text=True, timeout=60)
        assert run.returncode == 0, run.stderr
        return run.stdout

    values = [int(number) for line in h5dump("-d", "/samples", "-d", "/block_time_ns").splitlines()
              if line.strip().startswith("(") for number in line.split(":", 1)[1].replace(",", " ").split()]
    assert values == [*samples.ravel(), *times]
    assert '(0): "NVK1"' in h5dump("-a", "/serial_number")
