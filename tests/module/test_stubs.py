"""The shipped type stubs match the module and are found by a type checker."""

import pathlib
import subprocess
import sys

REPO = pathlib.Path(__file__).resolve().parents[2]
COMMITTED_STUB = REPO / "src" / "module" / "_pynvk_boards_pp.pyi"
STUBTEST_ALLOWLIST = pathlib.Path(__file__).with_name("stubtest_allowlist.txt")


def test_committed_stub_matches_a_fresh_generation(tmp_path):
    generated = tmp_path / "_pynvk_boards_pp.pyi"
    subprocess.run(
        [sys.executable, str(REPO / "scripts" / "generate_stubs.py"), str(generated)], check=True, capture_output=True
    )
    assert generated.read_text() == COMMITTED_STUB.read_text(), (
        "the module's signatures changed: regenerate the stubs with scripts/generate_stubs.py"
    )


def test_installed_stubs_agree_with_the_module_at_run_time(tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "_pynvk_boards_pp", "--allowlist", str(STUBTEST_ALLOWLIST),
         "--mypy-config-file", str(tmp_path / "none.ini")],
        capture_output=True,
        text=True,
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_type_checker_finds_the_installed_stubs(tmp_path):
    user = tmp_path / "user.py"
    user.write_text(
        "import datetime\n"
        "import _pynvk_boards_pp as nvk\n"
        "board = nvk.PCB_RIX('A', samples_count=16)\n"
        "reveal_type(board.samples)\n"
        "reveal_type(nvk.list_pcb_rix())\n"
        "reveal_type(board.stats()['frames'])\n"
        "board.timeout = 0.5\n"
        "board.timeout = datetime.timedelta(seconds=1)\n"
        "board.timeout = 'soon'\n"
    )
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", str(tmp_path / "cache"), str(user)],
        capture_output=True,
        text=True,
    )
    assert "import-not-found" not in result.stdout
    assert 'Revealed type is "list[str]"' in result.stdout
    assert 'Revealed type is "int"' in result.stdout
    assert "numpy.signedinteger" in result.stdout and "| None" in result.stdout
    # A float and a timedelta are accepted; a str is a type error.
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1 and "user.py:9: error" in errors[0] and "[assignment]" in errors[0], result.stdout
