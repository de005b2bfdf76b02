"""What the benchmark builds with CMake before it runs: the libusb stand-in
(usb_standin.c), and the module twice, with its stream counting compiled in
and out, so that one run can measure what the counting costs; the counting
build is the module of every other figure.

Each build directory is configured once and brought up to date on every run.
"""

from __future__ import annotations

import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BUILD_ROOT = ROOT / "build"
# The module builds, by whether the reader counts what it reads.
MODULE_BUILD_DIRS = {"counting": BUILD_ROOT / "bench-counting", "not_counting": BUILD_ROOT / "bench-nocount"}
# The build the wheel makes (it counts), which every other figure uses.
WHEEL_VARIANT = "counting"
# Where this tree's Python package (pynvk_boards) lies.
PACKAGE_DIR = ROOT / "src"


def cmake_build(source: Path, build_dir: Path, options: tuple[str, ...] = (), target: str | None = None) -> None:
    if not (build_dir / "CMakeCache.txt").exists():
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        subprocess.run(
            ["cmake", "-S", str(source), "-B", str(build_dir), *generator, *options],
            check=True,
            stdout=subprocess.DEVNULL,
        )
    subprocess.run(
        ["cmake", "--build", str(build_dir), "-j2", *(["--target", target] if target else [])],
        check=True,
        stdout=subprocess.DEVNULL,
    )


def build_module(variant: str) -> Path:
    """Builds the module of `variant` (a MODULE_BUILD_DIRS key) for this
    interpreter, with the wheel's build type; returns the directory that holds
    it, for PYTHONPATH."""
    import pybind11

    build_dir = MODULE_BUILD_DIRS[variant]
    cmake_build(
        ROOT,
        build_dir,
        (
            "-DCMAKE_BUILD_TYPE=Release",
            f"-DPYNVK_STREAM_COUNTING={'ON' if variant == 'counting' else 'OFF'}",
            f"-DPython_EXECUTABLE={sys.executable}",
            f"-Dpybind11_DIR={pybind11.get_cmake_dir()}",
        ),
        target="_pynvk_boards_pp",
    )
    return build_dir / "src"
