"""Read a number of blocks from a PCB_RIX board and save them to a .npy file.

A starting point to adapt:

    python3 examples/save_blocks.py [SERIAL] --blocks 100 --rows 4096 --out samples.npy

Without SERIAL it reads the first board listed. The saved array has shape
(blocks * rows, 5), int16, one board frame per row.
"""

import argparse
import itertools
import sys

import numpy as np

from pynvk_boards import PcbRixError, open_board, summarize


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("serial", nargs="?", help="serial number, or its beginning (default: the first board)")
    parser.add_argument("--blocks", type=int, default=100, help="blocks to read (default 100)")
    parser.add_argument("--rows", type=int, default=4096, help="rows (frames) per block (default 4096)")
    parser.add_argument("--out", default="samples.npy", help="output file (default samples.npy)")
    args = parser.parse_args(argv)

    try:
        with open_board(args.serial, rows=args.rows) as board:
            first = board.snapshot()
            blocks = list(itertools.islice(board.blocks(), args.blocks))
            board.stop()
            summary = summarize(first, board.snapshot())
    except PcbRixError as error:  # no such board, or no data for 5 s
        print(error, file=sys.stderr)
        return 1

    samples = np.concatenate(blocks)
    np.save(args.out, samples)
    print(f"saved {len(blocks)} blocks, {samples.shape[0]} rows, from {board.serial} to {args.out}; "
          f"gapless: {'yes' if summary.gapless else 'no: ' + '; '.join(summary.reasons)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
