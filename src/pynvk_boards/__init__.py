"""PCB_RIX boards for scripts and the `pcb-rix` command.

    from pynvk_boards import open_board, summarize

    with open_board(rows=4096) as board:          # the first listed board
        first = board.snapshot()
        for count, block in enumerate(board.blocks()):   # int16 arrays (4096, 5)
            ...
            if count == 99:
                break
        rest = board.stop()                       # blocks still queued, fresh rows only
        print(summarize(first, board.snapshot()).gapless)

Built on the module _pynvk_boards_pp, which loads on first use of the API:
`pcb-rix doctor` runs without it.
"""

from importlib import import_module
from typing import TYPE_CHECKING

from .errors import BoardError, NoBoardError, NoDataError, NotARecording, PcbRixError

if TYPE_CHECKING:
    from .board import Board, open_board
    from .summary import Snapshot, Summary, summarize

__all__ = ["Board", "BoardError", "NoBoardError", "NoDataError", "NotARecording", "PcbRixError", "Snapshot",
           "Summary", "open_board", "summarize"]
_LAZY = {"Board": "board", "open_board": "board", "Snapshot": "summary", "Summary": "summary",
         "summarize": "summary"}


def __getattr__(name: str):
    if name in _LAZY:
        return getattr(import_module(f".{_LAZY[name]}", __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
