"""Boards made and dropped by the thousand on one emulated chip: no reader
thread, USB handle or memory may outlive its board."""

import datetime
import gc
import os

import pytest

import _pynvk_boards_pp as nvk
from stream_checks import SCALE, add_figures

BOARDS = 1000 * SCALE
WARM_UP = 100
# Large enough blocks that a leaked pool (64 x 256 rows x 10 bytes = 160 KiB)
# would stand out, small enough that the emulated chip fills one at once.
SAMPLES = 256
WAIT = datetime.timedelta(seconds=5)
# Growth allowed from board WARM_UP to the last one. A board that left
# anything of its own behind - its pool, the reader's 6 KiB buffer, or the
# libftdi context with its 4 KiB read buffer - leaks at least 4 KiB, 3.5 MiB
# over 900 boards; the allocators' slack after the warm-up is far below 2 MiB
# (none was measured).
RSS_GROWTH_BOUND = 2 * 1024 * 1024


def thread_count():
    return len(os.listdir("/proc/self/task"))


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# Read-ahead for every other board: two transfers of 4 KiB that a leak would
# leave behind, or keep queued.
READ_AHEAD = 8 * 1024


def stream_and_drop(serial, number):
    """A board made, started, every other one read once, then dropped while
    its reader streams; every fourth reads ahead."""
    board = nvk.PCB_RIX(serial, SAMPLES)
    assert board.opened()
    board.read_ahead = READ_AHEAD if number % 4 >= 2 else 0
    board.timeout = WAIT
    board.start()
    if number % 2:
        assert board.samples is not None


def drop_streaming_boards(serial, first, last):
    for number in range(first, last):
        stream_and_drop(serial, number)
        if number % 100 == 99:
            gc.collect()
    gc.collect()


def test_boards_dropped_while_streaming_leave_no_thread_or_usb_handle(ftdi_emulator):
    device = ftdi_emulator.add_device("LIFE")
    # The first board starts libusb's and the emulation's own threads.
    drop_streaming_boards("LIFE", 0, 1)
    threads_before = thread_count()
    drop_streaming_boards("LIFE", 1, BOARDS)
    assert thread_count() == threads_before
    assert device.wait_value("open_handles", 0)
    assert device.claimed_interfaces == 0
    assert device.urbs_queued == 0
    add_figures(**{"boards dropped while streaming": BOARDS})


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer keeps freed memory in quarantine, so resident memory grows by design",
)
def test_boards_dropped_while_streaming_keep_resident_memory_flat(ftdi_emulator):
    ftdi_emulator.add_device("RSS")
    drop_streaming_boards("RSS", 0, WARM_UP)
    after_warm_up = resident_bytes()
    drop_streaming_boards("RSS", WARM_UP, BOARDS)
    growth = resident_bytes() - after_warm_up
    add_figures(**{"resident memory growth over the last boards [KiB]": growth // 1024})
    assert growth < RSS_GROWTH_BOUND


def test_short_lived_boards_close_their_usb_handles(ftdi_emulator):
    device = ftdi_emulator.add_device("SHORT")
    for number in range(BOARDS):
        board = nvk.PCB_RIX("SHORT", 16)
        board.read_ahead = READ_AHEAD if number % 4 == 3 else 0
        if number % 2:
            board.start()
            board.stop()
        del board
    assert device.wait_value("open_handles", 0)
    assert device.claimed_interfaces == 0
    add_figures(**{"short-lived boards": BOARDS})
