"""`pcb-rix info`: a recording's attributes, counters and verdict, as a table
or as JSON, in either layout, or why a file is none."""

import json

import h5py
import pytest

from pynvk_boards.cli import main
from pynvk_boards.recording_file import BoardSetup, RecordingFile


def table_rows(text):
    """The cells of a table of two columns, a cell's wrapped lines joined."""
    rows, name = {}, None
    for line in text.splitlines():
        if "│" in line:
            first, second = (cell.strip() for cell in line.split("│")[1:3])
            if first:
                name, rows[first] = first, second
            else:
                rows[name] += " " + second
    return rows


def info_json(path, capsys):
    assert main(["info", str(path), "--json"]) == 0
    output = capsys.readouterr().out
    assert output.count("\n") == 1
    return json.loads(output)


def test_info_shows_what_a_recording_holds(ftdi_emulator, tmp_path, capsys):
    ftdi_emulator.add_device("NVK7")
    out = tmp_path / "run.h5"
    assert main(["record", str(out), "--rows", "128", "--blocks", "4", "--read-ahead", "1000"]) == 0
    capsys.readouterr()
    assert main(["info", str(out)]) == 0
    rows = table_rows(capsys.readouterr().out)
    assert {name: rows[name] for name in ("serial_number", "samples_count", "rows", "emulated", "gapless",
                                          "compression", "read_ahead")} == {
        "serial_number": "NVK7", "samples_count": "128 rows per block", "rows": "512 (4.00 blocks)",
        "emulated": "False", "gapless": "yes", "compression": "none", "read_ahead": "1,024 bytes"}
    assert rows["block intervals"].startswith("median ") and rows["block intervals"].endswith("(3 intervals)")
    assert int(rows["frames"].replace(",", "")) >= 512 and int(rows["alignments"]) >= 0

    data = info_json(out, capsys)
    assert set(data) == {"attributes", "counters", "gapless"}
    assert data["gapless"] is True
    assert data["attributes"]["serial_number"] == "NVK7" and data["attributes"]["read_ahead"] == 1024
    assert data["counters"]["frames"] == data["attributes"]["stats_end"]["frames"] - \
        data["attributes"]["stats_start"]["frames"] >= 512


def test_a_file_of_the_layout_before_block_times_is_still_read(ftdi_emulator, tmp_path, capsys):
    ftdi_emulator.add_device("NVK7")
    out = tmp_path / "old.h5"
    assert main(["record", str(out), "--rows", "128", "--blocks", "4"]) == 0
    with h5py.File(out, "r+") as file:  # as recorded before block times, read-ahead and compression
        del file["block_time_ns"], file.attrs["read_ahead"], file.attrs["compression"]
    capsys.readouterr()
    assert main(["info", str(out)]) == 0
    rows = table_rows(capsys.readouterr().out)
    assert (rows["rows"], rows["gapless"], rows["compression"]) == ("512 (4.00 blocks)", "yes", "none")
    assert rows["block intervals"] == "(no block times: recorded before they were stored)"
    assert info_json(out, capsys)["gapless"] is True


def test_info_tells_an_unfinished_recording(tmp_path, capsys):
    file = RecordingFile(tmp_path / "cut.h5", [BoardSetup("NVK7", 16, 0)], emulated=True)
    file.begin("2025-01-01T00:00:00+00:00", [{"frames": 0}])
    file.close()
    assert main(["info", str(tmp_path / "cut.h5")]) == 0
    assert "NO: the recording was not finished" in capsys.readouterr().out
    data = info_json(tmp_path / "cut.h5", capsys)
    assert (data["counters"], data["gapless"]) == (None, None)


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


def test_info_names_the_attributes_or_groups_a_file_lacks(tmp_path, capsys):
    with h5py.File(tmp_path / "bare.h5", "w") as file:
        file.create_dataset("samples", shape=(4, 5), dtype="<i2")
        file.attrs["serial_number"] = "NVK7"
        file.attrs["stats_start"] = json.dumps({})
    assert main(["info", str(tmp_path / "bare.h5")]) == 1
    assert "attribute(s) started_utc, module_version, host, samples_count, emulated missing" in \
        capsys.readouterr().err
    with h5py.File(tmp_path / "bare.h5", "r+") as file:
        file.attrs.update({"boards": ["NVK7", "NVK8"], "started_utc": "2025-01-01T00:00:00+00:00",
                           "module_version": "0.1.0", "host": "lab"})
    assert main(["info", str(tmp_path / "bare.h5")]) == 1
    assert "group boards/NVK7 missing" in capsys.readouterr().err
