"""Builds the libftdi stand-in (ftdi_standin.c) and drives its control API.

The benchmark process runs with the library in LD_PRELOAD, so the module's
libftdi calls land in it; ctypes.CDLL on the same path returns that same
loaded instance, whose bench_ftdi_* functions set the pace and read counters.
"""

from __future__ import annotations

import ctypes
from pathlib import Path

from builds import BUILD_ROOT, cmake_build

BENCH_DIR = Path(__file__).resolve().parent
DEFAULT_BUILD_DIR = BUILD_ROOT / "bench_ftdi"
LIBRARY_NAME = "libbench_ftdi.so"

# What the stand-in's one board reports over USB.
SERIAL = "BENCH0001"
# Frames in the stand-in's stream ring: frame indexes repeat with this period.
RING_FRAMES = 1 << 20
DEFAULT_DEVICE_BUFFER = 64 * 1024


def build(build_dir: Path = DEFAULT_BUILD_DIR) -> Path:
    """Configures (once) and builds the stand-in; returns the library path."""
    cmake_build(BENCH_DIR, build_dir, ("-DCMAKE_BUILD_TYPE=Release",))
    return build_dir / LIBRARY_NAME


class _Counters(ctypes.Structure):
    _fields_ = [
        ("bytes_delivered", ctypes.c_uint64),
        ("bytes_lost", ctypes.c_uint64),
        ("bytes_purged", ctypes.c_uint64),
        ("reads", ctypes.c_uint64),
        ("purges", ctypes.c_uint64),
        ("standin_cpu_ns", ctypes.c_uint64),
    ]


class StandIn:
    """The control API of the loaded stand-in."""

    def __init__(self, library_path: Path | str):
        self.path = str(library_path)
        self.lib = ctypes.CDLL(self.path)
        self.lib.bench_ftdi_configure_unpaced.argtypes = []
        self.lib.bench_ftdi_configure_unpaced.restype = None
        self.lib.bench_ftdi_configure_paced.argtypes = [ctypes.c_double, ctypes.c_uint64]
        self.lib.bench_ftdi_configure_paced.restype = None
        self.lib.bench_ftdi_drop.argtypes = [ctypes.c_uint64]
        self.lib.bench_ftdi_drop.restype = None
        self.lib.bench_ftdi_get_counters.argtypes = [ctypes.POINTER(_Counters)]
        self.lib.bench_ftdi_get_counters.restype = None

    def configure_unpaced(self) -> None:
        """Reads are filled at once. Restarts the stream at frame 0 and zeroes the counters."""
        self.lib.bench_ftdi_configure_unpaced()

    def configure_paced(self, bytes_per_second: float, buffer_bytes: int = DEFAULT_DEVICE_BUFFER) -> None:
        """The board produces bytes_per_second into a device buffer of buffer_bytes,
        from now on. Restarts the stream at frame 0 and zeroes the counters."""
        self.lib.bench_ftdi_configure_paced(bytes_per_second, buffer_bytes)

    def drop(self, byte_count: int) -> None:
        """Drops the next byte_count stream bytes (counted as lost), as a device
        buffer overflow would."""
        self.lib.bench_ftdi_drop(byte_count)

    def counters(self) -> dict[str, int]:
        raw = _Counters()
        self.lib.bench_ftdi_get_counters(ctypes.byref(raw))
        return {name: getattr(raw, name) for name, _ in _Counters._fields_}
