"""Print what a recording of `pcb-rix record` holds, board by board, with the
time span and pace its block times give.

A starting point to adapt:

    python3 examples/read_recording.py run.h5

It reads a recording of one board or of several, compressed or not.
"""

import argparse
import sys
from datetime import datetime, timezone

import numpy as np

from pynvk_boards import PcbRixError, open_recording


def utc(time_ns):
    return datetime.fromtimestamp(time_ns / 1e9, timezone.utc).isoformat(timespec="milliseconds")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file", help="a recording (.h5)")
    args = parser.parse_args(argv)

    try:
        with open_recording(args.file) as recording:
            for board in recording.boards:
                summary = recording.summary(board)
                verdict = "not finished" if summary is None else "gapless" if summary.gapless else "NOT gapless"
                print(f"{board.serial}: {board.rows:,} rows, {verdict}")
                times = board.row_times(np.array([0, board.rows - 1]))
                if times is None:
                    print("  no time span: fewer than two block times, or recorded before they were stored")
                    continue
                seconds = (times[1] - times[0]) / 1e9
                print(f"  rows read from {utc(times[0])} to {utc(times[1])}: {seconds:.3f} s, "
                      f"{(board.rows - 1) / seconds:,.0f} rows/s")
    except PcbRixError as error:  # no such file, or not a recording
        print(error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
