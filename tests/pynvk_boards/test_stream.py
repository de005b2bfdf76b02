"""`pcb-rix stream`: the demo, on an attached board or on the emulated one."""

import os
import subprocess
import sys
import time

from pynvk_boards.cli import main


def test_stream_reports_the_rate_the_verdict_and_the_first_rows(ftdi_emulator, capsys):
    ftdi_emulator.add_device("NVK1", stream_position=3)
    assert main(["stream", "--seconds", "0.5", "--rows", "64"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "serial number: NVK1  (64 rows per block)"
    summary = next(line for line in lines if " blocks in " in line)
    assert "blocks/s" in summary and "MB/s" in summary and "rows/s" in summary
    assert "gapless: yes" in lines
    assert len(lines[lines.index("first rows of the first block:") + 1 :]) == 5


def test_stream_falls_back_to_an_emulated_board(pcb_rix):
    # Started as a user would: without the emulator's preload, no board attached.
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    result = subprocess.run([pcb_rix, "stream", "--seconds", "1", "--rows", "64"],
                            env=env, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "no PCB_RIX board attached: streaming from an emulated board"
    assert "serial number: NVKEMU0001  (64 rows per block)" in lines
    assert len(lines[lines.index("first rows of the first block:") + 1 :]) == 5


def test_stream_without_a_board_or_the_emulator_says_how_to_get_it(ftdi_emulator, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "ftdi_emulator", None)  # hides the installed package from imports
    assert main(["stream", "--seconds", "1"]) == 1
    assert capsys.readouterr() == ("", "pcb-rix stream: no PCB_RIX board is attached, and the emulated board needs "
                                       "the ftdi_emulator package: pip install ./emulator from the source tree "
                                       "(needs umockdev)\n")


def test_a_quiet_board_ends_the_stream_after_the_no_data_timeout(ftdi_emulator, capsys):
    ftdi_emulator.add_device("NVK1").pause()
    started = time.monotonic()
    assert main(["stream", "--seconds", "30", "--no-data-timeout", "0.5"]) == 1
    assert time.monotonic() - started < 5
    assert capsys.readouterr().err == "pcb-rix stream: no data from board NVK1 for 0.5 s\n"
