"""Writes the type stubs of the installed _pynvk_boards_pp module.

    python3 scripts/generate_stubs.py [OUTPUT]   (default: src/module/_pynvk_boards_pp.pyi)

pybind11-stubgen writes the stubs; its `__all__` is left out, because the
module has none at run time and stubtest holds the stubs to what the module
really has.
"""

import pathlib
import re
import subprocess
import sys
import tempfile

MODULE = "_pynvk_boards_pp"
DEFAULT_OUTPUT = pathlib.Path(__file__).resolve().parents[1] / "src" / "module" / f"{MODULE}.pyi"


def generate() -> str:
    with tempfile.TemporaryDirectory() as directory:
        subprocess.run(
            [sys.executable, "-m", "pybind11_stubgen", MODULE, "--exit-code", "-o", directory],
            check=True,
            capture_output=True,
        )
        stub = (pathlib.Path(directory) / f"{MODULE}.pyi").read_text()
    return re.sub(r"^__all__: .*\n", "", stub, flags=re.MULTILINE)


def main(argv: list[str]) -> int:
    output = pathlib.Path(argv[0]) if argv else DEFAULT_OUTPUT
    output.write_text(generate())
    print(f"wrote {output}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
