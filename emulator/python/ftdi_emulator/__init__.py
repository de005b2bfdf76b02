"""Emulated FTDI chips with a PCB_RIX board behind them, for tests.

A ctypes wrapper of libftdi_emulator.so, which lies next to this file. The
emulation runs inside the test process on a umockdev testbed, so the process
must have been started with LD_PRELOAD=libumockdev-preload.so.0
(``umockdev-wrapper python ...``), and the emulator must be started before
libusb makes its first context (the board module makes none at import).

    emu = Emulator()
    board = emu.add_device("SN1", manufacturer="NVK", description="PCB_RIX")
    ...
    emu.stop()

The board streams the frames of board_stream.h: frame i carries its own index,
which ``frame_index`` recovers from a row of five samples; or, given
``waveform=True``, sines plus noise of 12 significant bits
(``stream_bytes(..., waveform=True)``). ftdi_emulator.h tells how its bytes
reach the host: through the bulk IN transfers that are queued, then the chip
and the board buffer.
"""

import ctypes
import errno
import pathlib

__all__ = [
    "CHIP_BUFFER",
    "Device",
    "Emulator",
    "EmulatorError",
    "FAIL_BAUDRATE",
    "FAIL_BITMODE",
    "FAIL_CLAIM",
    "FAIL_USB_OPEN",
    "FRAME_SIZE",
    "STRING_ALL",
    "STRING_DESCRIPTION",
    "STRING_MANUFACTURER",
    "STRING_SERIAL",
    "frame_bytes",
    "frame_index",
    "frame_indexes",
    "frame_values",
    "stream_bytes",
]

CHIP_BUFFER = 1024
FRAME_SIZE = 12

STRING_MANUFACTURER = 0x1
STRING_DESCRIPTION = 0x2
STRING_SERIAL = 0x4
STRING_ALL = 0x7

FAIL_USB_OPEN = 0x1
FAIL_CLAIM = 0x2
FAIL_BAUDRATE = 0x4
FAIL_BITMODE = 0x8

_ERR_NO_PRELOAD = -2
_NO_VALUE = -(2**63)

# Names of the values in enum ftdi_emu_what, in its order.
_VALUES = (
    "bytes_delivered",
    "stream_position",
    "chip_held",
    "bulk_in_transfers",
    "failed_transfers",
    "rx_purges",
    "tx_purges",
    "resets",
    "bitmode",
    "bitmask",
    "bitmode_requests",
    "latency_timer",
    "open_handles",
    "claimed_interfaces",
    "control_transfers",
    "bytes_written",
    "garbage_pending",
    "bytes_dropped",
    "board_held",
    "urbs_queued",
    "urbs_discarded",
    "quiet_spells",
)

_TAIL_VALUES = (0x7FFF, 0x8000, 0xFFFF, 0x0001)


def frame_values(index):
    """The five unsigned 16-bit values of frame `index`."""
    low = [(index >> (7 * j)) & 0x7F for j in range(8)]
    values = [low[2 * k] | (low[2 * k + 1] << 8) for k in range(4)]
    return values + [_TAIL_VALUES[index % 4]]


def frame_bytes(index):
    """The 12 bytes of frame `index`: 0xF0 0x0F and five little-endian values."""
    out = bytearray(b"\xf0\x0f")
    for value in frame_values(index):
        out += value.to_bytes(2, "little")
    return bytes(out)


def stream_bytes(position, length, waveform=False):
    """`length` bytes of the board stream from absolute byte `position`: the
    counter frames, or the waveform frames."""
    out = ctypes.create_string_buffer(length)
    _lib.ftdi_emu_stream_bytes(int(waveform), position, out, length)
    return out.raw


def frame_index(row):
    """The index of the frame whose five values `row` holds, or -1 when they
    are not the values of any frame. Accepts signed or unsigned 16-bit values
    (a row of the module's int16 samples, or plain ints)."""
    values = [int(v) & 0xFFFF for v in row]
    if len(values) != 5:
        raise ValueError(f"a frame has 5 values, not {len(values)}")
    index = 0
    for j in range(8):
        byte = (values[j // 2] >> (8 * (j % 2))) & 0xFF
        if byte & 0x80:
            return -1
        index |= byte << (7 * j)
    return index if values[4] == _TAIL_VALUES[index % 4] else -1


def frame_indexes(rows):
    """frame_index of every row of an (n, 5) array at once, with NumPy: the
    frame index, or -1 for a row that is no frame of the board."""
    import numpy as np

    values = np.ascontiguousarray(rows).view(np.uint16).reshape(-1, 5)
    groups = values[:, :4].astype("<u2").view(np.uint8).reshape(-1, 8)
    indexes = (groups.astype(np.int64) << (7 * np.arange(8, dtype=np.int64))).sum(axis=1)
    tails = np.array(_TAIL_VALUES, dtype=np.uint16)
    is_frame = (groups < 0x80).all(axis=1) & (values[:, 4] == tails[indexes % 4])
    return np.where(is_frame, indexes, -1)


class EmulatorError(RuntimeError):
    pass


def _load_library():
    path = pathlib.Path(__file__).with_name("libftdi_emulator.so")
    lib = ctypes.CDLL(str(path))
    c_int, c_uint, c_int64 = ctypes.c_int, ctypes.c_uint, ctypes.c_int64
    signatures = {
        "ftdi_emu_start": (c_int, []),
        "ftdi_emu_stop": (c_int, []),
        "ftdi_emu_started": (c_int, []),
        "ftdi_emu_add_device": (
            c_int,
            [ctypes.c_uint16, ctypes.c_uint16, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p],
        ),
        "ftdi_emu_remove_device": (c_int, [c_int]),
        "ftdi_emu_remove_all": (None, []),
        "ftdi_emu_set_unreadable_strings": (c_int, [c_int, c_uint]),
        "ftdi_emu_set_failing_steps": (c_int, [c_int, c_uint]),
        "ftdi_emu_set_stream_position": (c_int, [c_int, ctypes.c_uint64]),
        "ftdi_emu_set_pace": (c_int, [c_int, ctypes.c_double]),
        "ftdi_emu_set_board_buffer": (c_int, [c_int, ctypes.c_uint64]),
        "ftdi_emu_set_paused": (c_int, [c_int, c_int]),
        "ftdi_emu_set_bursts": (c_int, [c_int, ctypes.c_uint64, ctypes.c_uint64]),
        "ftdi_emu_set_waveform": (c_int, [c_int, c_int]),
        "ftdi_emu_fail_bulk_reads": (c_int, [c_int, c_uint, c_int]),
        "ftdi_emu_unplug": (c_int, [c_int]),
        "ftdi_emu_inject_garbage": (c_int, [c_int, ctypes.c_char_p, ctypes.c_size_t]),
        "ftdi_emu_stream_bytes": (None, [c_int, ctypes.c_uint64, ctypes.c_char_p, ctypes.c_size_t]),
        "ftdi_emu_value": (c_int64, [c_int, c_int]),
        "ftdi_emu_wait_value": (c_int, [c_int, c_int, c_int64, c_int]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib


_lib = _load_library()


def _encode(text):
    return None if text is None else text.encode("ascii")


class Device:
    """One emulated chip and its board, as returned by Emulator.add_device.

    Every name in _VALUES is a read-only attribute, e.g. ``rx_purges``,
    ``bitmode``, ``open_handles``; see ftdi_emulator.h for their meaning."""

    def __init__(self, device_id):
        self.id = device_id

    def _check(self, result):
        if result != 0:
            raise EmulatorError(f"emulated device {self.id} is unknown (emulator stopped?)")

    def value(self, name):
        result = _lib.ftdi_emu_value(self.id, _VALUES.index(name))
        if result == _NO_VALUE:
            raise EmulatorError(f"emulated device {self.id} is unknown (emulator stopped?)")
        return result

    def __getattr__(self, name):
        if name in _VALUES:
            return self.value(name)
        raise AttributeError(name)

    def wait_value(self, name, expected, timeout=2.0):
        """True once value(name) == expected, False after `timeout` seconds."""
        return _lib.ftdi_emu_wait_value(self.id, _VALUES.index(name), expected, int(timeout * 1000)) == 0

    def set_unreadable_strings(self, strings):
        self._check(_lib.ftdi_emu_set_unreadable_strings(self.id, strings))

    def set_failing_steps(self, steps):
        self._check(_lib.ftdi_emu_set_failing_steps(self.id, steps))

    def set_stream_position(self, position):
        self._check(_lib.ftdi_emu_set_stream_position(self.id, position))

    def set_pace(self, bytes_per_second):
        """Bytes per second, or None for as fast as the emulation goes."""
        self._check(_lib.ftdi_emu_set_pace(self.id, bytes_per_second or 0.0))

    def set_board_buffer(self, size):
        """Bytes of the buffer of a board that cannot pause, or None for a
        board that pauses while the chip is full. Keeps what is held."""
        self._check(_lib.ftdi_emu_set_board_buffer(self.id, size or 0))

    def set_bursts(self, burst_bytes, quiet_s):
        """After every `burst_bytes` stream bytes it makes (None or 0: no
        bursts), the board makes nothing for `quiet_s` seconds. Counting
        starts at the oldest byte the chip holds, which the board makes anew."""
        self._check(_lib.ftdi_emu_set_bursts(self.id, burst_bytes or 0, round(quiet_s * 1e6)))

    def set_waveform(self, on):
        """Waveform frames (True) or counter frames (False) from the next
        byte the chip hands out; stream positions go on."""
        self._check(_lib.ftdi_emu_set_waveform(self.id, int(bool(on))))

    def pause(self):
        self._check(_lib.ftdi_emu_set_paused(self.id, 1))

    def resume(self):
        self._check(_lib.ftdi_emu_set_paused(self.id, 0))

    def fail_reads(self, count, status=-errno.EPIPE):
        """The next `count` bulk reads fail with URB status `status`."""
        self._check(_lib.ftdi_emu_fail_bulk_reads(self.id, count, status))

    def unplug(self):
        self._check(_lib.ftdi_emu_unplug(self.id))

    def inject_garbage(self, data):
        """Inserts `data` (bytes), or that many 0xA5 bytes (int), into the stream."""
        if isinstance(data, int):
            self._check(_lib.ftdi_emu_inject_garbage(self.id, None, data))
        else:
            self._check(_lib.ftdi_emu_inject_garbage(self.id, bytes(data), len(data)))

    def remove(self):
        self._check(_lib.ftdi_emu_remove_device(self.id))


class Emulator:
    """Starts the emulation (one per process; a second Emulator shares it)."""

    def __init__(self):
        result = _lib.ftdi_emu_start()
        if result == _ERR_NO_PRELOAD:
            raise EmulatorError(
                "the FTDI emulator needs umockdev's preload library: start the process as "
                "'umockdev-wrapper python ...' (LD_PRELOAD=libumockdev-preload.so.0)"
            )
        if result != 0:
            raise EmulatorError(f"the umockdev testbed could not be created ({result})")

    @staticmethod
    def started():
        return bool(_lib.ftdi_emu_started())

    def add_device(
        self,
        serial,
        manufacturer="NVK",
        description="PCB_RIX",
        *,
        product_id=0x6014,
        vendor_id=0x0403,
        stream_position=0,
        bytes_per_second=None,
        board_buffer=None,
        burst_bytes=None,
        quiet_s=0.0,
        waveform=False,
        unreadable_strings=0,
        failing_steps=0,
    ):
        """Adds a chip; any string may be None (absent). Devices are listed in
        the order they were added. A paced board (`bytes_per_second`) starts
        at the first read after the board module configured it; given a
        `board_buffer` size it cannot pause: it drops what finds the queued
        transfers, the chip and that buffer full (counted in
        ``bytes_dropped``). A bursty board goes quiet for `quiet_s` seconds
        after every `burst_bytes` bytes. `waveform` sends sines plus noise
        instead of counter frames."""
        device_id = _lib.ftdi_emu_add_device(
            vendor_id, product_id, _encode(manufacturer), _encode(description), _encode(serial)
        )
        if device_id < 0:
            raise EmulatorError("the emulated device could not be added (emulator stopped?)")
        device = Device(device_id)
        device.set_stream_position(stream_position)
        device.set_pace(bytes_per_second)
        device.set_board_buffer(board_buffer)
        device.set_bursts(burst_bytes, quiet_s)
        device.set_waveform(waveform)
        device.set_unreadable_strings(unreadable_strings)
        device.set_failing_steps(failing_steps)
        return device

    def remove_all(self):
        """Removes every device; close their libftdi users first."""
        _lib.ftdi_emu_remove_all()

    def stop(self):
        """Removes every device and frees the testbed. Raises EmulatorError
        when a device is still open (a board not yet destroyed): the testbed
        then stays up, and the open handles fail as if unplugged."""
        if _lib.ftdi_emu_stop() != 0:
            raise EmulatorError("emulated devices are still open: destroy every board before stopping")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
