"""`pcb-rix view`: the envelope a recording is drawn from, and pictures saved without a display."""

import importlib.util
import os
import shutil
import struct
import subprocess
import sys
import time

import h5py
import numpy as np
import pytest

from pynvk_boards import view
from pynvk_boards.cli import main
from recorded import assert_consecutive_frames, read_recording

PICTURE = (int(view.FIGURE_INCHES[0] * view.DPI), int(view.FIGURE_INCHES[1] * view.DPI))


def png_size(path):
    header = path.read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", header[16:24])


@pytest.mark.parametrize("rows, columns, slab_rows", [
    (10, 1200, 1 << 22),  # fewer rows than columns: one row per column
    (10_007, 100, 1 << 22),  # a shorter last run
    (10_007, 100, 1_000),  # read in slabs, which split no run
    (5_000, 100, 10),  # slabs shorter than a run
])
def test_the_envelope_holds_each_runs_extremes(monkeypatch, rows, columns, slab_rows):
    monkeypatch.setattr(view, "SLAB_ROWS", slab_rows)
    data = np.random.default_rng(rows).integers(-2**15, 2**15, (rows, 5), dtype=np.int16)
    first_rows, low, high = view.envelope(data, columns)
    per_run = first_rows[1] - first_rows[0] if len(first_rows) > 1 else rows
    assert len(first_rows) <= columns and first_rows[0] == 0
    for index, first in enumerate(first_rows):
        run = data[first : first + per_run]
        np.testing.assert_array_equal(low[index], run.min(axis=0))
        np.testing.assert_array_equal(high[index], run.max(axis=0))
    assert first_rows[-1] + per_run >= rows


def test_a_recording_is_saved_as_a_picture_without_a_display(ftdi_emulator, tmp_path, capsys):
    ftdi_emulator.add_device("NVK1")
    out, picture = tmp_path / "run.h5", tmp_path / "run.png"
    assert main(["record", str(out), "--rows", "512", "--blocks", "20"]) == 0
    assert main(["view", str(out), "--save", str(picture)]) == 0
    assert png_size(picture) == PICTURE


@pytest.mark.parametrize("boards, before_block_times", [(2, False), (1, True)])
def test_every_layout_is_drawn_board_by_board(ftdi_emulator, monkeypatch, tmp_path, capsys, boards,
                                              before_block_times):
    for number in range(boards):
        ftdi_emulator.add_device(f"NVK{number}")
    out, picture = tmp_path / "run.h5", tmp_path / "run.png"
    assert main(["record", str(out), "--all", "--rows", "512", "--blocks", "20"]) == 0
    if before_block_times:
        with h5py.File(out, "r+") as file:
            del file["block_time_ns"], file.attrs["read_ahead"], file.attrs["compression"]
    figures = saved_figures(monkeypatch)
    assert main(["view", str(out), "--save", str(picture)]) == 0
    assert png_size(picture) == PICTURE
    [figure] = figures
    assert [axis.get_ylabel() for axis in figure.axes] == [f"ch {channel}" for channel in range(5)] * boards
    # Each board's axes are titled with its serial number when there are several.
    assert [axis.get_title(loc="left") for axis in figure.axes[::5]] == ([""] if boards == 1 else
                                                                       [f"NVK{board}" for board in range(boards)])
    assert figure.axes[-1].get_xlabel() == "time (s)"


def saved_figures(monkeypatch):
    """The figures that will be saved, as they are saved."""
    from matplotlib.figure import Figure

    figures, savefig = [], Figure.savefig
    monkeypatch.setattr(Figure, "savefig", lambda figure, *args, **kwargs: figures.append(figure) or
                        savefig(figure, *args, **kwargs))
    return figures


def test_a_board_is_saved_as_a_picture_without_a_display_against_its_block_times(ftdi_emulator, monkeypatch,
                                                                                   tmp_path, capsys):
    ftdi_emulator.add_device("NVK1", bytes_per_second=600_000)
    picture = tmp_path / "live.png"
    figures = saved_figures(monkeypatch)
    # A slow drawing takes nothing from the time the rows took to come.
    new_figure = view.new_figure
    monkeypatch.setattr(view, "new_figure", lambda: time.sleep(1.5) or new_figure())
    assert main(["view", "--save", str(picture), "--rows", "1024"]) == 0
    assert png_size(picture) == PICTURE
    assert f"saved {picture}" in capsys.readouterr().out
    # The latest 16 blocks of 1,024 rows of 12 bytes take 0.33 s at 600 kB/s
    # (longer when the emulation lags).
    [figure] = figures
    start, end = figure.axes[0].dataLim.intervalx
    assert 0.2 < end - start < 1.0


def test_without_matplotlib_view_says_how_to_get_it(monkeypatch, tmp_path, capsys):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    assert main(["view", str(tmp_path / "run.h5"), "--save", str(tmp_path / "run.png")]) == 1
    assert capsys.readouterr().err == ("pcb-rix view: plots need matplotlib: "
                                       "pip install 'pynvk-boards-pp[view]'\n")


def test_a_window_without_a_display_is_refused_before_recording(ftdi_emulator, monkeypatch, tmp_path, capsys):
    monkeypatch.delenv("DISPLAY", raising=False)
    monkeypatch.delenv("WAYLAND_DISPLAY", raising=False)
    ftdi_emulator.add_device("NVK1")
    assert main(["record", str(tmp_path / "run.h5"), "--view"]) == 1
    assert capsys.readouterr().err == "pcb-rix record: no display for a plot window: use --save PNG\n"
    assert not (tmp_path / "run.h5").exists()


@pytest.mark.skipif(shutil.which("xvfb-run") is None or importlib.util.find_spec("tkinter") is None,
                    reason="a plot window needs xvfb-run (package xvfb) and tkinter")
def test_a_live_window_never_costs_the_recording_a_row(pcb_rix, tmp_path):
    out = tmp_path / "run.h5"
    # As a user starts it: the command restarts itself under umockdev.
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    run = subprocess.run(["xvfb-run", "-a", pcb_rix, "record", str(out), "--emulate", "--rows", "256",
                          "--seconds", "2", "--view"], env=env, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    samples, _, grown = read_recording(out)
    assert len(samples) == grown["frames"]
    assert_consecutive_frames(samples)
