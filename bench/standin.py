"""Builds the libusb stand-in (usb_standin.c) and drives its control API.

The benchmark process runs with the library in LD_PRELOAD, so the real
libftdi1's libusb calls, and any the module makes itself, land in it;
ctypes.CDLL on the same path returns that same loaded instance, whose
bench_usb_* functions set the board up and read its counters.
"""

from __future__ import annotations

import ctypes
from pathlib import Path

from builds import BUILD_ROOT, cmake_build

BENCH_DIR = Path(__file__).resolve().parent
DEFAULT_BUILD_DIR = BUILD_ROOT / "bench_usb"
LIBRARY_NAME = "libbench_usb.so"

# What the stand-in's one board reports over USB.
SERIAL = "BENCH0001"
# Frames in the stand-in's stream ring: frame indexes repeat with this period.
RING_FRAMES = 1 << 20
DEFAULT_FIFO_BYTES = 64 * 1024
# What the frames carry (emulator/board_stream.h's board_stream_kind).
STREAM_KINDS = {"counter": 0, "waveform": 1}


def build(build_dir: Path = DEFAULT_BUILD_DIR) -> Path:
    """Configures (once) and builds the stand-in; returns the library path."""
    cmake_build(BENCH_DIR, build_dir, ("-DCMAKE_BUILD_TYPE=Release",))
    return build_dir / LIBRARY_NAME


class _Counters(ctypes.Structure):
    _fields_ = [
        ("bytes_sent", ctypes.c_uint64),
        ("bytes_delivered", ctypes.c_uint64),
        ("bytes_lost", ctypes.c_uint64),
        ("bytes_purged", ctypes.c_uint64),
        ("bytes_buffered", ctypes.c_uint64),
        ("transfers", ctypes.c_uint64),
        ("purges", ctypes.c_uint64),
        ("standin_cpu_ns", ctypes.c_uint64),
        ("standin_wait_cpu_ns", ctypes.c_uint64),
    ]


class StandIn:
    """The control API of the loaded stand-in."""

    def __init__(self, library_path: Path | str):
        self.path = str(library_path)
        self.lib = ctypes.CDLL(self.path)
        self.lib.bench_usb_configure_unpaced.argtypes = [ctypes.c_int]
        self.lib.bench_usb_configure_unpaced.restype = None
        self.lib.bench_usb_configure_paced.argtypes = [
            ctypes.c_int,
            ctypes.c_uint64,
            ctypes.c_uint64,
            ctypes.c_uint64,
            ctypes.c_int64,
            ctypes.c_int,
        ]
        self.lib.bench_usb_configure_paced.restype = None
        self.lib.bench_usb_drop.argtypes = [ctypes.c_uint64]
        self.lib.bench_usb_drop.restype = None
        self.lib.bench_usb_halt.argtypes = []
        self.lib.bench_usb_halt.restype = None
        self.lib.bench_usb_get_counters.argtypes = [ctypes.POINTER(_Counters)]
        self.lib.bench_usb_get_counters.restype = None

    def configure_unpaced(self, stream: str = "counter") -> None:
        """Every bulk IN transfer is filled at once, full, with frames of
        `stream` (a STREAM_KINDS key). Restarts the stream at frame 0 and
        zeroes the counters."""
        self.lib.bench_usb_configure_unpaced(STREAM_KINDS[stream])

    def configure_paced(
        self,
        bytes_per_second: float,
        fifo_bytes: int = DEFAULT_FIFO_BYTES,
        burst_bytes: int = 0,
        quiet_s: float = 0.0,
        stream: str = "counter",
        at_request: bool = False,
    ) -> None:
        """From now on (with at_request: from the next bulk IN transfer
        submitted, so that a reader's start-up loses nothing) the board makes
        bytes_per_second (whole bytes per second) of `stream` and cannot
        pause: what finds no transfer with room waits in a FIFO of fifo_bytes,
        what finds that full too is lost. With burst_bytes, it falls quiet for
        quiet_s after every burst_bytes bytes. Restarts the stream at frame 0
        and zeroes the counters."""
        if round(bytes_per_second) < 1:
            raise ValueError(f"a paced board makes at least 1 byte per second, not {bytes_per_second}")
        self.lib.bench_usb_configure_paced(
            STREAM_KINDS[stream], round(bytes_per_second), fifo_bytes, burst_bytes, round(quiet_s * 1e9), at_request
        )

    def drop(self, byte_count: int) -> None:
        """Skips the next byte_count stream bytes (counted as lost), as a FIFO
        overflow would."""
        self.lib.bench_usb_drop(byte_count)

    def halt(self) -> None:
        """The paced board makes no more bytes from now on (until configured
        again), as if quiet: halted before a reader stops, it loses nothing
        while the reader is stopping or stopped, so the counters taken
        afterwards tell only what was lost while it read."""
        self.lib.bench_usb_halt()

    def counters(self) -> dict[str, int]:
        """Bytes the board sent (made, lost ones included), delivered in
        completed transfers, lost, purged from the FIFO and buffered now (FIFO
        and transfers being filled), completed transfers, purges, the CPU the
        paced stand-in spent in its own calls, and the part of it its waits
        cost (going to sleep and waking up)."""
        raw = _Counters()
        self.lib.bench_usb_get_counters(ctypes.byref(raw))
        return {name: getattr(raw, name) for name, _ in _Counters._fields_}
