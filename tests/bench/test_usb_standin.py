"""The benchmark's libusb stand-in (bench/usb_standin.c) models the board and
the host controller as the benchmark's figures assume: descriptors as
libftdi1 expects them, the stream in order with status bytes in every packet,
queued transfers that take the board's bytes while the consumer sleeps where
a single synchronous read leaves them to overflow the FIFO, the latency
timer, cancellation, purges, and counters that add up.

The library is loaded into this process with ctypes and driven through its
own libusb functions, as libftdi1 and an asynchronous reader call them."""

import ctypes
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))

import standin  # noqa: E402

PACKET = 512
STATUS = b"\x32\x60"
DATA_PER_PACKET = PACKET - len(STATUS)
IN_ENDPOINT = 0x81
BULK = 2
COMPLETED, ERROR, CANCELLED = 0, 1, 3
SHORT_NOT_OK = 1
ERROR_NOT_FOUND = -5
LATENCY_S = 0.016
FRAME = 12
# ftdi_tcioflush's receive purge: vendor OUT request SIO_RESET, value SIO_TCIFLUSH.
VENDOR_OUT, SIO_RESET, SIO_TCIFLUSH = 0x40, 0, 2

_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p)


class _Transfer(ctypes.Structure):
    _fields_ = [
        ("dev_handle", ctypes.c_void_p),
        ("flags", ctypes.c_uint8),
        ("endpoint", ctypes.c_ubyte),
        ("type", ctypes.c_ubyte),
        ("timeout", ctypes.c_uint),
        ("status", ctypes.c_int),
        ("length", ctypes.c_int),
        ("actual_length", ctypes.c_int),
        ("callback", _CALLBACK),
        ("user_data", ctypes.c_void_p),
        ("buffer", ctypes.c_void_p),
        ("num_iso_packets", ctypes.c_int),
    ]


class _Timeval(ctypes.Structure):
    _fields_ = [("tv_sec", ctypes.c_long), ("tv_usec", ctypes.c_long)]


def _timeval(seconds):
    return _Timeval(int(seconds), int(seconds % 1 * 1e6))


@pytest.fixture(scope="module")
def device():
    device = standin.StandIn(standin.build())
    lib = device.lib
    lib.libusb_alloc_transfer.restype = ctypes.POINTER(_Transfer)
    lib.libusb_error_name.restype = ctypes.c_char_p
    lib.libusb_control_transfer.argtypes = [ctypes.c_void_p, ctypes.c_uint8, ctypes.c_uint8, ctypes.c_uint16,
                                            ctypes.c_uint16, ctypes.c_void_p, ctypes.c_uint16, ctypes.c_uint]
    lib.libusb_bulk_transfer.argtypes = [ctypes.c_void_p, ctypes.c_ubyte, ctypes.c_void_p, ctypes.c_int,
                                         ctypes.POINTER(ctypes.c_int), ctypes.c_uint]
    for name in ("libusb_submit_transfer", "libusb_cancel_transfer", "libusb_free_transfer"):
        getattr(lib, name).argtypes = [ctypes.POINTER(_Transfer)]
    return device


class Usb:
    """A libusb context of the stand-in with its device open, the transfers a
    test submits on it, and what their callbacks saw."""

    def __init__(self, lib):
        self.lib = lib
        self.ctx = ctypes.c_void_p()
        assert lib.libusb_init(ctypes.byref(self.ctx)) == 0
        devices = ctypes.POINTER(ctypes.c_void_p)()
        assert lib.libusb_get_device_list(self.ctx, ctypes.byref(devices)) == 1
        self.device = devices[0]
        self.handle = ctypes.c_void_p()
        assert lib.libusb_open(ctypes.c_void_p(self.device), ctypes.byref(self.handle)) == 0
        lib.libusb_free_device_list(devices, 1)
        self.completions = []
        self.in_flight = {}
        self.submitted = 0
        self._callback = _CALLBACK(self._completed)

    def submit(self, length, flags=0):
        """Submits a bulk IN transfer of `length` bytes; returns its tag."""
        transfer = self.lib.libusb_alloc_transfer(0)
        buffer = ctypes.create_string_buffer(length)
        tag = self.submitted
        self.submitted += 1
        transfer.contents.dev_handle = self.handle.value
        transfer.contents.flags = flags
        transfer.contents.endpoint = IN_ENDPOINT
        transfer.contents.type = BULK
        transfer.contents.length = length
        transfer.contents.callback = self._callback
        transfer.contents.user_data = tag
        transfer.contents.buffer = ctypes.addressof(buffer)
        assert self.lib.libusb_submit_transfer(transfer) == 0
        self.in_flight[tag] = (transfer, buffer)
        return tag

    def _completed(self, address):
        transfer = ctypes.cast(address, ctypes.POINTER(_Transfer)).contents
        tag = transfer.user_data or 0
        self.completions.append({
            "tag": tag,
            "status": transfer.status,
            "raw": ctypes.string_at(transfer.buffer, transfer.actual_length),
            "time": time.monotonic(),
            "thread": threading.get_ident(),
        })
        self.lib.libusb_free_transfer(self.in_flight.pop(tag)[0])

    def cancel(self, tag):
        return self.lib.libusb_cancel_transfer(self.in_flight[tag][0])

    def handle_events(self, seconds, completed=0):
        flag = ctypes.c_int(completed)
        timeout = _timeval(seconds)
        assert self.lib.libusb_handle_events_timeout_completed(self.ctx, ctypes.byref(timeout),
                                                               ctypes.byref(flag)) == 0

    def wait_for(self, count):
        """Handles events until `count` transfers have called back."""
        deadline = time.monotonic() + 10
        while len(self.completions) < count and time.monotonic() < deadline:
            self.handle_events(1.0)
        assert len(self.completions) >= count

    def bulk(self, length):
        """A synchronous bulk IN transfer: the bytes it returned."""
        buffer = ctypes.create_string_buffer(length)
        transferred = ctypes.c_int()
        assert self.lib.libusb_bulk_transfer(self.handle, IN_ENDPOINT, buffer, length, ctypes.byref(transferred),
                                             1000) == 0
        return buffer.raw[: transferred.value]

    def purge(self):
        assert self.lib.libusb_control_transfer(self.handle, VENDOR_OUT, SIO_RESET, SIO_TCIFLUSH, 1, None, 0, 1000) == 0

    def close(self):
        for tag in list(self.in_flight):
            self.cancel(tag)
        self.wait_for(len(self.completions) + len(self.in_flight))
        self.lib.libusb_close(self.handle)
        self.lib.libusb_exit(self.ctx)


@pytest.fixture
def usb(device):
    usb = Usb(device.lib)
    yield usb
    usb.close()


def stream_data(raw):
    """The stream bytes of a transfer's buffer: each 512-byte packet less its
    two status bytes, which must be there."""
    packets = [raw[start:start + PACKET] for start in range(0, len(raw), PACKET)]
    assert all(packet[:2] == STATUS for packet in packets)
    return b"".join(packet[2:] for packet in packets)


def counter_stream(start, length):
    """Bytes start..start+length of the counter stream (emulator/board_stream.h)."""
    first = start // FRAME
    index = np.arange(first, (start + length + FRAME - 1) // FRAME + 1, dtype=np.uint64) % standin.RING_FRAMES
    frames = np.zeros((index.size, FRAME), np.uint8)
    frames[:, 0], frames[:, 1] = 0xF0, 0x0F
    for j in range(8):
        frames[:, 2 + j] = (index >> np.uint64(7 * j)) & np.uint64(0x7F)
    frames[:, 10:12] = np.array([0x7FFF, 0x8000, 0xFFFF, 0x0001], "<u2").view(np.uint8).reshape(4, 2)[index % 4]
    offset = start - first * FRAME
    return frames.tobytes()[offset:offset + length]


def assert_counters_add_up(counters):
    assert counters["bytes_sent"] == (counters["bytes_delivered"] + counters["bytes_lost"] + counters["bytes_purged"]
                                      + counters["bytes_buffered"])


def test_device_as_libftdi_reads_it(device):
    lib = device.lib
    usb = Usb(lib)
    try:
        descriptor = (ctypes.c_uint8 * 18)()
        assert lib.libusb_get_device_descriptor(ctypes.c_void_p(usb.device), descriptor) == 0
        fields = np.frombuffer(bytes(descriptor), np.dtype([
            ("head", "u1", 8), ("vendor", "<u2"), ("product", "<u2"), ("bcd_device", "<u2"),
            ("strings", "u1", 3), ("configurations", "u1")]))[0]
        assert (fields["vendor"], fields["product"], fields["bcd_device"]) == (0x0403, 0x6014, 0x0900)
        text = ctypes.create_string_buffer(64)
        strings = []
        for index in fields["strings"]:
            length = lib.libusb_get_string_descriptor_ascii(usb.handle, int(index), text, 64)
            strings.append(text.value.decode())
            assert length == len(strings[-1])
        assert strings == ["NVK", "PCB_RIX", standin.SERIAL]
        # A buffer too short for the serial gets its start, NUL-terminated.
        assert lib.libusb_get_string_descriptor_ascii(usb.handle, int(fields["strings"][2]), text, 4) == 3
        assert text.value == b"BEN"
        # libftdi sizes its packets from the first endpoint of interface 0.
        config = ctypes.POINTER(ctypes.c_uint8)()
        assert lib.libusb_get_config_descriptor(ctypes.c_void_p(usb.device), 0, ctypes.byref(config)) == 0
        lib.libusb_free_config_descriptor(config)
        assert lib.libusb_get_max_packet_size(ctypes.c_void_p(usb.device), IN_ENDPOINT) == PACKET
    finally:
        usb.close()
    real = ctypes.CDLL("libusb-1.0.so.0")
    real.libusb_error_name.restype = ctypes.c_char_p
    for code in range(-100, 8):
        assert lib.libusb_error_name(code) == real.libusb_error_name(code), code


def test_unpaced_transfers_carry_the_stream_in_order(device, usb):
    device.configure_unpaced()
    first = stream_data(usb.bulk(4096))
    # A length that is no whole number of packets ends with a shorter one.
    second = stream_data(usb.bulk(700))
    assert (len(first), len(second)) == (8 * DATA_PER_PACKET, 700 - 2 * len(STATUS))
    device.drop(5)
    third = stream_data(usb.bulk(PACKET))
    assert first + second == counter_stream(0, len(first) + len(second))
    assert third == counter_stream(len(first) + len(second) + 5, DATA_PER_PACKET)
    counters = device.counters()
    assert (counters["bytes_lost"], counters["transfers"]) == (5, 3)
    assert_counters_add_up(counters)

    device.configure_unpaced("waveform")
    values = np.frombuffer(stream_data(usb.bulk(4096))[: 340 * FRAME], np.uint8).reshape(-1, FRAME)
    assert (values[:, :2] == [0xF0, 0x0F]).all()
    samples = values[:, 2:].copy().view("<i2")
    assert samples.min() >= -2048 and samples.max() <= 2047 and np.ptp(samples[:, 0]) > 1000


def test_queued_transfers_take_the_bytes_made_while_the_consumer_sleeps(device, usb):
    # 2 MB/s: 60 kB in 30 ms, more than the 16 KiB FIFO holds and far less
    # than 16 queued transfers of 16 KiB.
    device.configure_paced(2e6, fifo_bytes=16384)
    for _ in range(16):
        usb.submit(16384)
    time.sleep(0.03)
    counters = device.counters()
    assert counters["bytes_sent"] > 16384
    assert counters["bytes_lost"] == counters["bytes_purged"] == 0
    assert_counters_add_up(counters)
    usb.wait_for(1)
    full = [completion for completion in usb.completions if len(completion["raw"]) == 16384]
    assert len(full) == len(usb.completions) >= counters["bytes_sent"] // (32 * DATA_PER_PACKET)
    received = b"".join(stream_data(completion["raw"]) for completion in usb.completions)
    assert received == counter_stream(0, len(received))


def test_a_single_synchronous_read_leaves_the_bytes_to_the_fifo(device, usb):
    device.configure_paced(2e6, fifo_bytes=16384)
    before = stream_data(usb.bulk(4096))
    time.sleep(0.03)
    counters = device.counters()
    # The FIFO is full and everything else the board made meanwhile is lost.
    assert counters["bytes_buffered"] == 16384
    assert counters["bytes_lost"] == counters["bytes_sent"] - len(before) - 16384 > 0
    assert_counters_add_up(counters)
    # The FIFO kept the oldest bytes; the next transfers take them at once.
    after = b"".join(stream_data(usb.bulk(4096)) for _ in range(4))
    assert before + after == counter_stream(0, len(before) + len(after))
    assert device.counters()["transfers"] == 5


def test_board_started_at_request_makes_nothing_before_the_first_transfer(device, usb):
    # At 2 MB/s, 30 ms would overflow the 16 KiB FIFO three times over.
    device.configure_paced(2e6, fifo_bytes=16384, at_request=True)
    time.sleep(0.03)
    assert device.counters()["bytes_sent"] == 0
    submitted = time.monotonic()
    usb.submit(16384)
    usb.wait_for(1)
    # The board started with the submission: the transfer, the stream's
    # first bytes, filled in the time 16,320 stream bytes take at 2 MB/s.
    assert stream_data(usb.completions[0]["raw"]) == counter_stream(0, 16384 - 32 * len(STATUS))
    assert usb.completions[0]["time"] - submitted >= 16_320 / 2e6
    counters = device.counters()
    assert counters["bytes_lost"] == counters["bytes_purged"] == 0
    assert_counters_add_up(counters)


def test_halted_board_makes_no_more_bytes_and_its_transfers_end_by_the_latency_timer(device, usb):
    device.configure_paced(2e6, fifo_bytes=16384)
    time.sleep(0.005)
    device.halt()
    halted = device.counters()
    assert 0 < halted["bytes_sent"] <= 16384
    # Longer than the FIFO lasts at 2 MB/s: a board going on would overflow it.
    time.sleep(0.03)
    assert device.counters() | {"standin_cpu_ns": 0, "standin_wait_cpu_ns": 0} == halted | {
        "standin_cpu_ns": 0,
        "standin_wait_cpu_ns": 0,
    }
    # What it made is all there: a transfer takes the FIFO, then the latency
    # timer ends it short; the next one ends empty instead of waiting forever.
    first = stream_data(usb.bulk(65536))
    assert first == counter_stream(0, halted["bytes_sent"])
    assert usb.bulk(4096) == STATUS
    counters = device.counters()
    assert (counters["bytes_sent"], counters["bytes_delivered"], counters["bytes_lost"]) == (len(first), len(first), 0)
    assert_counters_add_up(counters)


def test_latency_timer_ends_short_and_empty_transfers_one_after_another(device, usb):
    # One burst of 10,003 bytes in 10 ms, then 200 ms of quiet.
    start = time.monotonic()
    device.configure_paced(1e6, burst_bytes=10_003, quiet_s=0.2)
    usb.submit(16384)
    for _ in range(3):
        usb.submit(16384, flags=SHORT_NOT_OK)
    usb.wait_for(3)
    first, second, third = usb.completions[:3]
    # The first ends 16 ms after the burst's last byte, with the status of its
    # last, short packet; each one after it gets the timer's status-only
    # packet 16 ms after the one before completed (callbacks may come later).
    assert stream_data(first["raw"]) == counter_stream(0, 10_003)
    assert len(first["raw"]) == 10_003 + 2 * 20
    assert second["raw"] == third["raw"] == STATUS
    assert first["time"] - start >= 0.010 + LATENCY_S and third["time"] - start >= 0.010 + 3 * LATENCY_S
    assert [completion["status"] for completion in usb.completions[:3]] == [COMPLETED, ERROR, ERROR]
    counters = device.counters()
    assert (counters["bytes_delivered"], counters["bytes_lost"]) == (10_003, 0)


def test_cancelled_transfer_keeps_what_it_holds_and_the_stream_goes_on(device, usb):
    device.configure_paced(1e6)
    cancelled = usb.submit(65536)
    time.sleep(0.005)
    assert usb.cancel(cancelled) == 0
    assert usb.cancel(cancelled) == ERROR_NOT_FOUND
    assert usb.completions == []  # called back only at the next event handling
    usb.wait_for(1)
    assert usb.completions[0]["status"] == CANCELLED
    held = stream_data(usb.completions[0]["raw"])
    assert 0 < len(held) < 65536
    rest = stream_data(usb.bulk(4096))
    assert held + rest == counter_stream(0, len(held) + len(rest))
    counters = device.counters()
    assert counters["bytes_delivered"] == len(held) + len(rest) and counters["bytes_lost"] == 0
    assert_counters_add_up(counters)


def test_purge_discards_the_fifo_not_the_transfers(device, usb):
    device.configure_paced(1e6)
    time.sleep(0.005)
    usb.purge()
    purged = device.counters()["bytes_purged"]
    assert purged > 0
    kept = usb.submit(65536)
    time.sleep(0.005)
    usb.purge()
    assert usb.cancel(kept) == 0
    usb.wait_for(1)
    held = stream_data(usb.completions[0]["raw"])
    assert len(held) > 0
    assert held == counter_stream(purged, len(held))
    counters = device.counters()
    assert (counters["bytes_purged"], counters["purges"]) == (purged, 2)
    assert_counters_add_up(counters)


def test_purges_from_another_thread_leave_queued_transfers_whole(device, usb):
    # While transfers are queued the FIFO stays empty: a purge finds nothing.
    device.configure_paced(2e6)
    for _ in range(8):
        usb.submit(16384)
    purging = True

    def purge_meanwhile():
        while purging:
            usb.purge()
            time.sleep(0.001)

    purger = threading.Thread(target=purge_meanwhile)
    purger.start()
    try:
        while len(usb.completions) < 20:
            usb.handle_events(1.0)
            for _ in range(8 - len(usb.in_flight)):
                usb.submit(16384)
    finally:
        purging = False
        purger.join()
    received = b"".join(stream_data(completion["raw"]) for completion in usb.completions)
    assert received == counter_stream(0, len(received))
    counters = device.counters()
    assert counters["purges"] > 0 and counters["bytes_purged"] == counters["bytes_lost"] == 0
    assert_counters_add_up(counters)


def test_event_handling_calls_back_in_order_on_the_calling_thread_per_context(device, usb):
    device.configure_unpaced()
    other = Usb(device.lib)
    try:
        other.submit(PACKET)
        for _ in range(5):
            usb.submit(PACKET)
        # A set completion flag returns at once, without calling back.
        usb.handle_events(10.0, completed=1)
        assert usb.completions == []
        usb.handle_events(10.0)
        assert [completion["tag"] for completion in usb.completions] == list(range(5))
        assert {completion["thread"] for completion in usb.completions} == {threading.get_ident()}
        assert other.completions == []
        other.handle_events(10.0)
        assert len(other.completions) == 1
        # With nothing in flight, event handling waits out its timeout.
        start = time.monotonic()
        usb.handle_events(0.02)
        assert time.monotonic() - start >= 0.02
    finally:
        other.close()
