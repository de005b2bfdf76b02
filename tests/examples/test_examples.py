"""The scripts in examples/ run as a user would run them."""

import importlib.util
import os
import pathlib
import subprocess
import sys

import numpy as np
from ftdi_emulator import frame_index

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def load_example(name):
    spec = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_save_blocks_writes_consecutive_true_frames(ftdi_emulator, tmp_path):
    ftdi_emulator.add_device("NVK42", stream_position=7)
    out = tmp_path / "blocks.npy"
    assert load_example("save_blocks").main(["NVK4", "--blocks", "3", "--rows", "32", "--out", str(out)]) == 0
    saved = np.load(out)
    assert saved.shape == (96, 5) and saved.dtype == np.int16
    indexes = [frame_index(row) for row in saved]
    assert min(indexes) >= 0
    # Each block is one device read, so rows are consecutive within a block.
    for block in np.split(np.array(indexes), 3):
        assert list(block) == list(range(block[0], block[0] + 32))


def test_save_blocks_reports_a_missing_board(ftdi_emulator, tmp_path, capsys):
    assert load_example("save_blocks").main(["NOPE", "--out", str(tmp_path / "x.npy")]) == 1
    assert "no board opened for serial 'NOPE'" in capsys.readouterr().err
    assert not (tmp_path / "x.npy").exists()


def test_stream_falls_back_to_an_emulated_board():
    # Started as a user would: without the emulator's preload, no board attached.
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / "stream.py"), "--seconds", "1", "--rows", "64"],
        env=env, capture_output=True, text=True, timeout=60,
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "no PCB_RIX board attached: streaming from an emulated board"
    assert "serial number: NVKEMU0001  (64 rows per block)" in lines
    summary = next(line for line in lines if " blocks in " in line)
    assert "blocks/s" in summary and "MB/s" in summary
    first_rows = lines[lines.index("first rows of the first block:") + 1 :]
    assert len(first_rows) == 5
