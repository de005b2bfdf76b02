"""What --emulate says when the emulated board cannot run here."""

import sys

import pytest

from pynvk_boards.cli import main


@pytest.fixture
def outside_umockdev(monkeypatch):
    monkeypatch.setenv("LD_PRELOAD", "")


def test_a_missing_emulator_package_is_named_with_how_to_get_it(outside_umockdev, monkeypatch, tmp_path, capsys):
    monkeypatch.setitem(sys.modules, "ftdi_emulator", None)
    assert main(["record", str(tmp_path / "run.h5"), "--emulate"]) == 1
    assert capsys.readouterr().err == ("pcb-rix record: the emulated board needs the ftdi_emulator package: "
                                       "pip install ./emulator from the source tree (needs umockdev)\n")
    assert not (tmp_path / "run.h5").exists()


def test_a_missing_umockdev_wrapper_is_named(outside_umockdev, monkeypatch, tmp_path, capsys):
    monkeypatch.setenv("PATH", str(tmp_path))
    assert main(["stream", "--emulate"]) == 1
    assert "the emulated board needs umockdev-wrapper, which is missing" in capsys.readouterr().err
