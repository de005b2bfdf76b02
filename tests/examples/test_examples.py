"""The scripts in examples/ run as a user would run them."""

import importlib.util
import pathlib

import numpy as np
import pytest
from ftdi_emulator import frame_index

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def load_example(name):
    spec = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_save_blocks_writes_consecutive_true_frames(ftdi_emulator, tmp_path, capsys):
    ftdi_emulator.add_device("NVK42", stream_position=7)
    out = tmp_path / "blocks.npy"
    assert load_example("save_blocks").main(["NVK4", "--blocks", "3", "--rows", "32", "--out", str(out)]) == 0
    assert f"saved 3 blocks, 96 rows, from NVK42 to {out}; gapless: yes" in capsys.readouterr().out
    saved = np.load(out)
    assert saved.shape == (96, 5) and saved.dtype == np.int16
    indexes = [frame_index(row) for row in saved]
    assert min(indexes) >= 0
    # Each block is one device read, so rows are consecutive within a block.
    for block in np.split(np.array(indexes), 3):
        assert list(block) == list(range(block[0], block[0] + 32))


@pytest.mark.parametrize("serials, message", [
    ([], "no PCB_RIX board is attached"),
    (["NVK1"], "no board's serial begins with 'NOPE'; attached boards: 'NVK1'"),
])
def test_save_blocks_reports_a_missing_board(ftdi_emulator, tmp_path, capsys, serials, message):
    for serial in serials:
        ftdi_emulator.add_device(serial)
    arguments = ["NOPE"] if serials else []
    assert load_example("save_blocks").main([*arguments, "--out", str(tmp_path / "x.npy")]) == 1
    assert message in capsys.readouterr().err
    assert not (tmp_path / "x.npy").exists()


def test_read_recording_tells_each_boards_rows_and_time_span(ftdi_emulator, tmp_path, capsys):
    from pynvk_boards.cli import main as pcb_rix

    for serial in ("NVK1", "NVK2"):
        ftdi_emulator.add_device(serial, bytes_per_second=300_000)
    out = tmp_path / "run.h5"
    assert pcb_rix(["record", str(out), "--all", "--rows", "256", "--seconds", "1", "--compress", "zstd"]) == 0
    capsys.readouterr()
    assert load_example("read_recording").main([str(out)]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert [line.split(":")[0] for line in lines[0::2]] == ["NVK1", "NVK2"]
    assert all(line.endswith(" rows, gapless") for line in lines[0::2])
    # Rows of 12 bytes at 300 kB/s (fewer on a busy machine).
    for line in lines[1::2]:
        rate = float(line.rsplit(" s, ", 1)[1].split()[0].replace(",", ""))
        assert 300_000 / 12 / 4 < rate < 300_000 / 12 * 1.5, line


def test_read_recording_reports_a_file_that_is_none(tmp_path, capsys):
    (tmp_path / "notes.h5").write_text("not hdf5")
    assert load_example("read_recording").main([str(tmp_path / "notes.h5")]) == 1
    assert "is no recording: not an HDF5 file" in capsys.readouterr().err
