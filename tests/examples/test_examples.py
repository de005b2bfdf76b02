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


def run_as_a_user(*args):
    """Runs Python as a user would: without the emulator's preload, no board attached."""
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    return subprocess.run([sys.executable, *args], env=env, capture_output=True, text=True, timeout=60)


def test_stream_falls_back_to_an_emulated_board():
    result = run_as_a_user(str(EXAMPLES / "stream.py"), "--seconds", "1", "--rows", "64")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "no PCB_RIX board attached: streaming from an emulated board"
    assert "serial number: NVKEMU0001  (64 rows per block)" in lines
    summary = next(line for line in lines if " blocks in " in line)
    assert "blocks/s" in summary and "MB/s" in summary
    first_rows = lines[lines.index("first rows of the first block:") + 1 :]
    assert len(first_rows) == 5


def test_stream_without_the_emulator_says_how_to_get_it():
    # A None entry in sys.modules hides the installed package from imports.
    hide_emulator = ("import runpy, sys; sys.modules['ftdi_emulator'] = None; sys.argv = sys.argv[1:]; "
                     "runpy.run_path(sys.argv[0], run_name='__main__')")
    result = run_as_a_user("-c", hide_emulator, str(EXAMPLES / "stream.py"), "--seconds", "1")
    assert result.returncode == 1
    assert result.stdout == ""
    assert result.stderr.strip() == ("no PCB_RIX board is attached, and the emulated board needs the ftdi_emulator "
                                     "package: pip install ./emulator from the source tree (needs umockdev)")
