"""The plain single-threaded reader a user would write without the module:
the system's libftdi1 through ctypes, one preallocated buffer, a NumPy
structured view of the frames, a sync check on the first frame and a copy
into int16 rows.
"""

from __future__ import annotations

import ctypes
import functools
import time

import numpy as np

FRAME_SIZE = 12
FRAME_DTYPE = np.dtype([("sync", "u1", 2), ("v", "<u2", 5)])
SYNC = (0xF0, 0x0F)
INTERFACE_A = 1
BITMODE_SYNCFF = 0x40
STRING_SIZE = 128
LIBFTDI = "libftdi1.so.2"


class _DeviceList(ctypes.Structure):
    pass


_DeviceList._fields_ = [("next", ctypes.POINTER(_DeviceList)), ("dev", ctypes.c_void_p)]


@functools.cache
def libftdi() -> ctypes.CDLL:
    """The system's libftdi1, its functions declared."""
    lib = ctypes.CDLL(LIBFTDI)
    ptr, c_int, c_char_p = ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p
    signatures = {
        "ftdi_new": (ptr, []),
        "ftdi_free": (None, [ptr]),
        "ftdi_usb_find_all": (c_int, [ptr, ctypes.POINTER(ctypes.POINTER(_DeviceList)), c_int, c_int]),
        "ftdi_list_free": (None, [ctypes.POINTER(ctypes.POINTER(_DeviceList))]),
        "ftdi_usb_get_strings": (c_int, [ptr, ptr, c_char_p, c_int, c_char_p, c_int, c_char_p, c_int]),
        "ftdi_usb_open_dev": (c_int, [ptr, ptr]),
        "ftdi_set_interface": (c_int, [ptr, c_int]),
        "ftdi_set_bitmode": (c_int, [ptr, ctypes.c_ubyte, ctypes.c_ubyte]),
        "ftdi_read_data": (c_int, [ptr, ptr, c_int]),
        "ftdi_tcioflush": (c_int, [ptr]),
        "ftdi_usb_close": (c_int, [ptr]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib


class PeerReader:
    """Reads blocks of `samples_count` frames from the first FTDI device whose
    serial number is `serial`, through libftdi1."""

    def __init__(self, serial: str, samples_count: int, timeout: float = 1.0):
        self.lib = libftdi()
        self.timeout = timeout
        self.ctx = self.lib.ftdi_new()
        if not self.ctx:
            raise RuntimeError("ftdi_new failed")
        self._open(serial)
        self.raw = np.zeros(samples_count * FRAME_SIZE, np.uint8)
        self.frames = self.raw.view(FRAME_DTYPE)
        self.address = self.raw.ctypes.data

    def _open(self, serial: str) -> None:
        devices = ctypes.POINTER(_DeviceList)()
        if self.lib.ftdi_usb_find_all(self.ctx, ctypes.byref(devices), 0, 0) < 0:
            raise RuntimeError("ftdi_usb_find_all failed")
        try:
            entry = devices
            while entry:
                found = ctypes.create_string_buffer(STRING_SIZE)
                self.lib.ftdi_usb_get_strings(self.ctx, entry.contents.dev, None, 0, None, 0, found, STRING_SIZE)
                if found.value.decode() == serial:
                    if (
                        self.lib.ftdi_usb_open_dev(self.ctx, entry.contents.dev) < 0
                        or self.lib.ftdi_set_interface(self.ctx, INTERFACE_A) < 0
                        or self.lib.ftdi_set_bitmode(self.ctx, 0xFF, BITMODE_SYNCFF) < 0
                    ):
                        raise RuntimeError(f"cannot open {serial}")
                    return
                entry = entry.contents.next
        finally:
            self.lib.ftdi_list_free(ctypes.byref(devices))
        raise RuntimeError(f"no device with serial {serial}")

    def close(self) -> None:
        if self.ctx:
            self.lib.ftdi_usb_close(self.ctx)
            self.lib.ftdi_free(self.ctx)
            self.ctx = None

    def _fill_from(self, start: int) -> None:
        """Reads until the buffer is full from byte `start` on."""
        size = self.raw.size
        deadline = time.monotonic() + self.timeout
        while start < size:
            read = self.lib.ftdi_read_data(self.ctx, self.address + start, size - start)
            if read < 0:
                raise OSError(f"ftdi_read_data failed: {read}")
            start += read
            if read == 0 and time.monotonic() > deadline:
                raise TimeoutError("no data from the board")

    def _realign(self) -> None:
        """Shifts the buffer to its first sync pair and tops it up; with no
        pair in it, discards everything and reads afresh."""
        raw = self.raw
        starts = np.flatnonzero((raw[:-1] == SYNC[0]) & (raw[1:] == SYNC[1]))
        if starts.size == 0:
            self.lib.ftdi_tcioflush(self.ctx)
            self._fill_from(0)
            return
        shift = int(starts[0])
        raw[: raw.size - shift] = raw[shift:]
        self._fill_from(raw.size - shift)

    def read_block(self) -> np.ndarray:
        """The next block of frames as int16 rows (samples_count, 5)."""
        self._fill_from(0)
        while self.raw[0] != SYNC[0] or self.raw[1] != SYNC[1]:
            self._realign()
        return self.frames["v"].view(np.int16).copy()
