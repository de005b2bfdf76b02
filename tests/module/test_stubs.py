"""The shipped type stubs match the module and are found by a type checker."""

import pathlib
import subprocess
import sys

REPO = pathlib.Path(__file__).resolve().parents[2]
COMMITTED_STUB = REPO / "src" / "module" / "_pynvk_boards_pp.pyi"


def test_committed_stub_matches_a_fresh_generation(tmp_path):
    subprocess.run(
        [sys.executable, "-m", "pybind11_stubgen", "_pynvk_boards_pp", "-o", str(tmp_path)],
        check=True,
        capture_output=True,
    )
    generated = (tmp_path / "_pynvk_boards_pp.pyi").read_text()
    assert generated == COMMITTED_STUB.read_text(), (
        "the module's signatures changed: regenerate src/module/_pynvk_boards_pp.pyi with pybind11-stubgen"
    )


def test_type_checker_finds_the_installed_stubs(tmp_path):
    user = tmp_path / "user.py"
    user.write_text(
        "import _pynvk_boards_pp as nvk\n"
        "board = nvk.PCB_RIX('A', samples_count=16)\n"
        "reveal_type(board.samples)\n"
        "reveal_type(nvk.list_pcb_rix())\n"
        "board.timeout = 'soon'\n"
    )
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", str(tmp_path / "cache"), str(user)],
        capture_output=True,
        text=True,
    )
    assert "import-not-found" not in result.stdout
    assert 'Revealed type is "list[str]"' in result.stdout
    assert "numpy.signedinteger" in result.stdout and "| None" in result.stdout
    # The setter accepts a timedelta only, so a str is a type error.
    assert "user.py:5: error" in result.stdout and "[assignment]" in result.stdout
