"""What `pcb-rix` refuses before it opens or emulates any board, and what it
tells about itself: its version and every command's exit statuses."""

import subprocess
import sys
from importlib import metadata
from pathlib import Path

import pytest

import _pynvk_boards_pp as nvk
from pynvk_boards.cli import main

COMMANDS = ("list", "doctor", "record", "view", "info", "stream")


@pytest.mark.parametrize("arguments, message", [
    (["record", "out.h5", "--rows", "1"], f"argument --rows: must be 2 to {nvk.MAX_SAMPLES_COUNT}, not 1"),
    (["record", "out.h5", "--rows", str(nvk.MAX_SAMPLES_COUNT + 1)], f"must be 2 to {nvk.MAX_SAMPLES_COUNT}"),
    (["record", "out.h5", "--rows", "many"], "argument --rows: not a number: 'many'"),
    (["record", "out.h5", "--seconds", "0"], "argument --seconds: must be positive, not 0"),
    (["record", "out.h5", "--seconds", "nan"], "argument --seconds: must be finite, not nan"),
    (["record", "out.h5", "--blocks", "0"], "argument --blocks: must be at least 1, not 0"),
    (["record", "out.h5", "--no-data-timeout", "-1"], "argument --no-data-timeout: must be positive, not -1"),
    (["record", "out.h5", "--read-ahead", "-512"], f"argument --read-ahead: must be 0 to {nvk.MAX_READ_AHEAD}, not -512"),
    (["record", "out.h5", "--read-ahead", str(1 << 40)], f"argument --read-ahead: must be 0 to {nvk.MAX_READ_AHEAD}"),
    (["record", "out.h5", "--emulate", "0"], "argument --emulate: must be 1 to 16, not 0"),
    (["record", "out.h5", "--compress", "gzip"], "argument --compress: invalid choice: 'gzip'"),
    (["record", "out.h5", "--all", "--serial", "NVK1"], "argument --serial: not allowed with argument --all"),
    (["record", "out.h5", "--waveform"], "--waveform needs --emulate"),
    (["view", "--rows", "1"], "argument --rows: must be 2 to"),
    (["stream", "--seconds", "inf"], "argument --seconds: must be finite, not inf"),
    (["stream", "--no-data-timeout", "0"], "argument --no-data-timeout: must be positive, not 0"),
])
def test_numeric_options_are_checked_before_any_board_is_opened(ftdi_emulator, tmp_path, monkeypatch, capsys,
                                                               arguments, message):
    chip = ftdi_emulator.add_device("NVK1")
    monkeypatch.chdir(tmp_path)
    with pytest.raises(SystemExit) as exit:
        main(arguments)
    assert exit.value.code == 2
    errors = capsys.readouterr().err
    assert errors.startswith("usage: pcb-rix ") and message in errors
    # Neither opened nor configured, and nothing written.
    assert chip.control_transfers == 0 and chip.open_handles == 0
    assert not list(tmp_path.iterdir())


@pytest.mark.parametrize("serials, message", [
    (["NVK1", "NVK1"], "serial numbers 'NVK1' and 'NVK1' both choose board 'NVK1', which can be opened once"),
    (["NVK", "NVK1"], "serial numbers 'NVK' and 'NVK1' both choose board 'NVK1'"),
    (["NVK/2"], "serial number 'NVK/2' contains '/', which cannot name the board's group in the file"),
])
def test_serials_that_cannot_be_recorded_together_are_refused_before_anything_starts(ftdi_emulator, tmp_path,
                                                                                      capsys, serials, message):
    chips = [ftdi_emulator.add_device(serial) for serial in ("NVK1", "NVK/2")]
    out = tmp_path / "run.h5"
    arguments = [option for serial in serials for option in ("--serial", serial)]
    assert main(["record", str(out), "--blocks", "1", *arguments]) == 1
    errors = capsys.readouterr().err
    assert errors.startswith("pcb-rix record: ") and errors.count("\n") == 1 and message in errors
    assert not out.exists()
    assert all(chip.bitmode_requests == 0 for chip in chips)  # none was opened


def test_a_pool_larger_than_the_computer_can_hold_is_one_line(ftdi_emulator, tmp_path, capsys):
    ftdi_emulator.add_device("NVK1")
    assert main(["record", str(tmp_path / "run.h5"), "--rows", str(nvk.MAX_SAMPLES_COUNT)]) == 1
    errors = capsys.readouterr().err
    assert errors.startswith("pcb-rix record: ") and "more than this computer's memory" in errors
    assert errors.count("\n") == 1
    assert not (tmp_path / "run.h5").exists()


def test_version_names_the_distribution_and_the_module(pcb_rix):
    run = subprocess.run([pcb_rix, "--version"], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    version = metadata.version("pynvk-boards-pp")
    assert run.stdout.splitlines() == [f"pcb-rix {version} (pynvk-boards-pp)", f"_pynvk_boards_pp {version}: "
                                       f"{Path(nvk.__file__).resolve()}"]


def test_version_without_the_module_still_answers():
    script = ("import sys; sys.modules['_pynvk_boards_pp'] = None; "
              "from pynvk_boards.cli import main; main(['--version'])")
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines()[1].startswith("_pynvk_boards_pp: cannot be loaded")


@pytest.mark.parametrize("command", COMMANDS)
def test_every_commands_help_names_its_exit_statuses(command, capsys):
    with pytest.raises(SystemExit) as exit:
        main([command, "--help"])
    assert exit.value.code == 0
    text = " ".join(capsys.readouterr().out.split())
    statuses = text[text.index("Exit status: "):]
    assert "0 " in statuses and "1 " in statuses and "2 " in statuses
    assert ("130" in statuses) == (command in ("record", "view", "stream"))
