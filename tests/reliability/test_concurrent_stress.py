"""Many Python threads on one streaming board: readers of `samples`, a thread
that starts and stops acquisition over and over, and one that reads raw
bytes and purges. Nothing may be torn, duplicated or lost from the pool."""

import datetime
import random
import threading
import time

import pytest

import _pynvk_boards_pp as nvk
from stream_checks import SCALE, add_figures, assert_stream_bytes, check_deliveries, drain, record_tally, timed_stop

# Small blocks keep the emulated chip ahead of the readers, so the reader
# thread is mostly reading the device rather than waiting for a free block.
SAMPLES = 16
POOL = 64
READERS = 8
CYCLES = 1000 * SCALE
READ_WAIT = datetime.timedelta(milliseconds=20)


def run_collecting_errors(errors, body, *args):
    """A thread body whose exception is kept for the main thread to raise."""

    def guarded():
        try:
            body(*args)
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            errors.append(error)

    return threading.Thread(target=guarded)


def wait_until_reader_idles(device, deadline_s=20.0):
    """Waits until the chip hands out no more bytes: the reader holds a full
    block and finds no free one. Half a second without a byte is far longer
    than a busy machine keeps a reader that has work off the processor."""
    end = time.monotonic() + deadline_s
    last = device.bytes_delivered
    while time.monotonic() < end:
        time.sleep(0.5)
        now = device.bytes_delivered
        if now == last:
            return
        last = now
    raise AssertionError("the reader kept reading with every block taken")


@pytest.mark.parametrize("read_ahead", [0, 8 * 1024], ids=["synchronous-reads", "read-ahead"])
def test_readers_toggling_raw_reads_and_flushes_keep_frames_whole_and_the_pool_complete(ftdi_emulator, read_ahead):
    device = ftdi_emulator.add_device("STRESS")
    board = nvk.PCB_RIX("STRESS", SAMPLES)
    assert board.opened()
    board.read_ahead = read_ahead
    board.timeout = READ_WAIT
    errors = []
    received = [[] for _ in range(READERS)]
    raw_checked = []
    toggling = threading.Event()
    toggling.set()

    def read_samples(into):
        while toggling.is_set():
            block = board.samples
            if block is not None:
                into.append(block)

    def toggle():
        try:
            for _ in range(CYCLES):
                board.start()
                time.sleep(random.uniform(0, 0.002))
                board.stop()
        finally:
            toggling.clear()

    def read_raw_and_flush():
        while toggling.is_set():
            # Counts that are no multiple of a frame leave the stream inside
            # a frame for the reader that the raw read restarts.
            raw = board._get_raw_data(random.randint(24, 200))
            assert_stream_bytes(raw)
            raw_checked.append(raw.size)
            board.flush()
            time.sleep(random.uniform(0, 0.005))

    threads = [run_collecting_errors(errors, read_samples, into) for into in received]
    threads += [run_collecting_errors(errors, toggle), run_collecting_errors(errors, read_raw_and_flush)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert not any(thread.is_alive() for thread in threads), "a thread hangs"
    assert not errors, errors
    blocks = [block for into in received for block in into] + drain(board)

    # The pool is whole: with nobody reading, the reader fills every block,
    # keeps the last one, and hands it over when stopped.
    board.start()
    wait_until_reader_idles(device)
    timed_stop(board)
    pool = drain(board)
    assert len(pool) == POOL
    assert board.samples is None

    # Stops came from the toggling thread and from the raw reads of a running
    # board; counting every raw read bounds them from above.
    stops = CYCLES + len(raw_checked) + 1
    tally = check_deliveries(blocks + pool, SAMPLES, in_order=False, stops=stops)
    refill = check_deliveries(pool, SAMPLES, in_order=True)
    assert (refill.fresh_rows, refill.frames_skipped) == (POOL * SAMPLES, 0), "the refill lost or repeated frames"

    assert device.urbs_queued == 0, "transfers left queued after stop()"
    record_tally(tally)
    add_figures(
        **{
            "start/stop cycles": CYCLES,
            "raw reads checked (each a stop and start)": len(raw_checked),
            "flushes while acquiring": len(raw_checked),
            "blocks drained from a full pool": len(pool),
        }
    )
