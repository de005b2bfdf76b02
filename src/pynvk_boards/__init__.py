"""PCB_RIX boards for scripts and the `pcb-rix` command.

    from pynvk_boards import open_board, summarize

    with open_board(rows=4096) as board:          # the first listed board
        first = board.snapshot()
        for count, (block, time_ns) in enumerate(board.blocks(times=True)):   # int16 (4096, 5), UTC ns
            ...
            if count == 99:
                break
        rest = board.stop()                       # blocks still queued, fresh rows only
        print(summarize(first, board.snapshot()).gapless)

    with open_recording("run.h5") as recording:   # what `pcb-rix record` wrote
        for part in recording.boards:
            print(part.serial, part.samples.shape, recording.summary(part).gapless)

Built on the module _pynvk_boards_pp, which loads on first use of the API:
`pcb-rix doctor` runs without it.
"""

from importlib import import_module
from typing import TYPE_CHECKING

from .errors import BoardError, NoBoardError, NoDataError, NotARecording, PcbRixError

if TYPE_CHECKING:
    from .board import Board, open_board, open_boards
    from .recording_file import BoardRecording, Recording, open_recording
    from .summary import Snapshot, Summary, summarize

__all__ = ["Board", "BoardError", "BoardRecording", "NoBoardError", "NoDataError", "NotARecording", "PcbRixError",
           "Recording", "Snapshot", "Summary", "open_board", "open_boards", "open_recording", "summarize"]
_LAZY = {"Board": "board", "open_board": "board", "open_boards": "board", "BoardRecording": "recording_file",
         "Recording": "recording_file", "open_recording": "recording_file", "Snapshot": "summary",
         "Summary": "summary", "summarize": "summary"}


def __getattr__(name: str):
    if name in _LAZY:
        return getattr(import_module(f".{_LAZY[name]}", __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
