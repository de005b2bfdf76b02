"""`pcb-rix info`: a recording's attributes, counters and verdict, or why a file is none."""

import json

import h5py
import pytest

from pynvk_boards.cli import main
from pynvk_boards.recording import RecordingWriter


def test_info_shows_what_a_recording_holds(ftdi_emulator, tmp_path, capsys):
    ftdi_emulator.add_device("NVK7")
    out = tmp_path / "run.h5"
    assert main(["record", str(out), "--rows", "128", "--blocks", "4"]) == 0
    capsys.readouterr()
    assert main(["info", str(out)]) == 0
    table = capsys.readouterr().out
    rows = {line.split("│")[1].strip(): line.split("│")[2].strip() for line in table.splitlines() if "│" in line}
    assert {name: rows[name] for name in ("serial_number", "samples_count", "rows", "emulated", "gapless")} == {
        "serial_number": "NVK7", "samples_count": "128 rows per block", "rows": "512 (4.00 blocks)",
        "emulated": "False", "gapless": "yes"}
    assert int(rows["frames"].replace(",", "")) >= 512 and int(rows["alignments"]) >= 0


def test_info_tells_an_unfinished_recording(tmp_path, capsys):
    writer = RecordingWriter(tmp_path / "cut.h5", serial="NVK7", rows=16, emulated=True)
    writer.begin({"frames": 0})
    writer.close()
    assert main(["info", str(tmp_path / "cut.h5")]) == 0
    assert "NO: the recording was not finished" in capsys.readouterr().out


def write_hdf5(path, **datasets):
    with h5py.File(path, "w") as file:
        for name, data in datasets.items():
            file[name] = data
    return path


@pytest.mark.parametrize("make, reason", [
    (lambda path: path.write_text("not hdf5") and path, "is no recording: not an HDF5 file"),
    (lambda path: write_hdf5(path, data=[1, 2]), "is no recording: it has no int16 dataset 'samples' of 5 columns"),
    (lambda path: write_hdf5(path, samples=[[1, 2, 3, 4, 5]]), "is no recording: it has no int16 dataset"),
    (lambda path: path.parent / "missing.h5", "missing.h5: no such file"),
])
def test_info_on_a_file_that_is_no_recording_is_one_line(tmp_path, capsys, make, reason):
    path = make(tmp_path / "other.h5")
    assert main(["info", str(path)]) == 1
    errors = capsys.readouterr().err
    assert errors.startswith("pcb-rix info: ") and errors.count("\n") == 1
    assert reason in errors


def test_info_names_the_attributes_a_file_lacks(tmp_path, capsys):
    with h5py.File(tmp_path / "bare.h5", "w") as file:
        file.create_dataset("samples", shape=(4, 5), dtype="<i2")
        file.attrs["serial_number"] = "NVK7"
        file.attrs["stats_start"] = json.dumps({})
    assert main(["info", str(tmp_path / "bare.h5")]) == 1
    assert "attribute(s) samples_count, started_utc, module_version, host, emulated missing" in capsys.readouterr().err
