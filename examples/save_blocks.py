"""Read a number of blocks from a PCB_RIX board and save them to a .npy file.

A starting point to adapt:

    python3 examples/save_blocks.py SERIAL --blocks 100 --rows 4096 --out samples.npy

The saved array has shape (blocks * rows, 5), int16, one board frame per row.
"""

import argparse
import sys

import numpy as np

import _pynvk_boards_pp as nvk


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("serial", nargs="?", default="", help="serial number, or its beginning (default: first board)")
    parser.add_argument("--blocks", type=int, default=100, help="blocks to read (default 100)")
    parser.add_argument("--rows", type=int, default=4096, help="rows (frames) per block (default 4096)")
    parser.add_argument("--timeout", type=float, default=2.0, help="seconds to wait for one block (default 2)")
    parser.add_argument("--out", default="samples.npy", help="output file (default samples.npy)")
    args = parser.parse_args(argv)

    board = nvk.PCB_RIX(args.serial, samples_count=args.rows)
    if not board.opened():
        print(f"no board opened for serial {args.serial!r}; attached: {nvk.list_pcb_rix()}", file=sys.stderr)
        return 1

    board.timeout = args.timeout
    blocks = []
    board.start()
    try:
        while len(blocks) < args.blocks:
            block = board.samples
            if block is None:
                print(f"no block within {args.timeout} s after {len(blocks)} blocks", file=sys.stderr)
                break
            blocks.append(block)
    finally:
        board.stop()

    if not blocks:
        return 1
    samples = np.concatenate(blocks)
    np.save(args.out, samples)
    print(f"saved {len(blocks)} blocks, {samples.shape[0]} rows, to {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
