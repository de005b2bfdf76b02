"""Stream from the first attached PCB_RIX board, or from an emulated one.

    python3 examples/stream.py [--seconds 5] [--rows 4096] [--serial PREFIX]

Prints the board's serial number, blocks per second, MB/s and the first rows
of the first block. Without an attached board the script starts again inside
umockdev's preload with an emulated FT232H and board (the ftdi_emulator
package from this repository's emulator/, which scripts/setup.sh installs), so
the whole real stack, libftdi1 and libusb included, still runs.
"""

import argparse
import importlib.util
import os
import shutil
import sys
import time

import numpy as np

import _pynvk_boards_pp as nvk

EMULATED_FLAG = "--emulated-board"
EMULATED_SERIAL = "NVKEMU0001"
FRAME_BYTES = 12  # bytes each row took on the USB link


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=5.0, help="how long to stream (default 5)")
    parser.add_argument("--rows", type=int, default=4096, help="rows per block (default 4096)")
    parser.add_argument("--serial", default=None, help="serial number or its beginning (default: first board)")
    parser.add_argument(EMULATED_FLAG, action="store_true", help=argparse.SUPPRESS)
    return parser.parse_args(argv)


def restart_with_emulated_board():
    if importlib.util.find_spec("ftdi_emulator") is None:
        sys.exit("no PCB_RIX board is attached, and the emulated board needs the ftdi_emulator package: "
                 "pip install ./emulator from the source tree (needs umockdev)")
    wrapper = shutil.which("umockdev-wrapper")
    if wrapper is None:
        sys.exit("no PCB_RIX board is attached, and umockdev-wrapper (package umockdev) is missing for the emulated one")
    print("no PCB_RIX board attached: streaming from an emulated board")
    sys.stdout.flush()
    os.execv(wrapper, [wrapper, sys.executable, *sys.argv, EMULATED_FLAG])


class Progress:
    """One line rewritten in place on a terminal; a line every few seconds otherwise."""

    def __init__(self, every=2.0):
        self.interactive = sys.stdout.isatty()
        self.every = 0.25 if self.interactive else every
        self.next_report = time.monotonic() + self.every

    def update(self, text):
        now = time.monotonic()
        if now < self.next_report:
            return
        self.next_report = now + self.every
        if self.interactive:
            print(f"\r{text}", end="", flush=True)
        else:
            print(text, flush=True)

    def close(self):
        if self.interactive:
            print()


def stream(board, seconds):
    board.timeout = 2.0
    blocks = 0
    first_block = None
    progress = Progress()
    board.start()
    started = time.monotonic()
    try:
        while (elapsed := time.monotonic() - started) < seconds:
            block = board.samples
            if block is None:
                print("\nno block within 2 s: the board sends no data", file=sys.stderr)
                break
            if first_block is None:
                first_block = block
            blocks += 1
            rate = blocks / max(elapsed, 1e-9)
            progress.update(f"{elapsed:5.1f} s  {blocks} blocks  {rate:8.1f} blocks/s  "
                            f"{rate * block.shape[0] * FRAME_BYTES / 1e6:6.2f} MB/s")
    finally:
        board.stop()
        progress.close()
    return blocks, time.monotonic() - started, first_block


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    if args.emulated_board:
        import ftdi_emulator

        emulator = ftdi_emulator.Emulator()
        emulator.add_device(EMULATED_SERIAL, stream_position=5)  # starts mid-frame, as a real board may
    elif not nvk.list_pcb_rix():
        restart_with_emulated_board()

    serials = nvk.list_pcb_rix()
    serial = args.serial if args.serial is not None else serials[0]
    board = nvk.PCB_RIX(serial, samples_count=args.rows)
    if not board.opened():
        sys.exit(f"board {serial!r} did not open; attached boards: {serials}")

    print(f"serial number: {board.serial_number()}  ({args.rows} rows per block)")
    blocks, elapsed, first_block = stream(board, args.seconds)
    if not blocks:
        return 1
    rows = blocks * args.rows
    print(f"{blocks} blocks in {elapsed:.2f} s: {blocks / elapsed:.1f} blocks/s, "
          f"{rows * FRAME_BYTES / elapsed / 1e6:.2f} MB/s, {rows / elapsed:,.0f} rows/s")
    with np.printoptions(linewidth=120):
        print("first rows of the first block:")
        print(first_block[:5])
    del board
    return 0


if __name__ == "__main__":
    sys.exit(main())
