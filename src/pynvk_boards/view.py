"""Plots of each board's five channels against time: of a whole recording,
decimated to a min/max envelope per pixel column, or live of boards' latest
blocks.

matplotlib is an optional dependency (the `view` extra)."""

from __future__ import annotations

import math
import threading
import time
from collections import deque
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np

import _pynvk_boards_pp as nvk

from .errors import ViewUnavailable
from .summary import Summary

if TYPE_CHECKING:
    from .recording_file import Recording

FIGURE_INCHES = (12.0, 8.0)
DPI = 100
# Pixel columns of the plotting area, about: the envelope's resolution.
ENVELOPE_COLUMNS = 1200
# Rows read from a file at a time while decimating.
SLAB_ROWS = 1 << 22
LIVE_ROWS = 16384
REFRESH_MS = 100
MISSING_MATPLOTLIB = "plots need matplotlib: pip install 'pynvk-boards-pp[view]'"


def envelope(data, columns: int = ENVELOPE_COLUMNS) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The first row of each of about `columns` equal runs of rows, with the
    runs' minimum and maximum per channel. `data` is any (rows, 5) array that
    slices into NumPy arrays (an h5py dataset: it is read a slab at a time)."""
    rows = len(data)
    per_column = max(1, math.ceil(rows / columns))
    count = math.ceil(rows / per_column)
    low = np.empty((count, nvk.COLUMNS), np.int16)
    high = np.empty((count, nvk.COLUMNS), np.int16)
    step = per_column * max(1, SLAB_ROWS // per_column)
    for start in range(0, rows, step):
        slab = np.asarray(data[start : start + step])
        first = start // per_column
        whole = len(slab) // per_column
        runs = slab[: whole * per_column].reshape(whole, per_column, nvk.COLUMNS)
        low[first : first + whole] = runs.min(axis=1)
        high[first : first + whole] = runs.max(axis=1)
        if whole * per_column < len(slab):  # the last, shorter run
            low[first + whole] = slab[whole * per_column :].min(axis=0)
            high[first + whole] = slab[whole * per_column :].max(axis=0)
    return np.arange(count) * per_column, low, high


def counters_title(serial: str, summary: Summary) -> str:
    counters = summary.counters
    verdict = "gapless" if summary.gapless else "NOT gapless"
    return (f"{serial}: {summary.frames:,} frames in {summary.seconds:.1f} s, {verdict} "
            f"(torn frames {counters['torn_frames']}, realignments {counters['realignments']}, "
            f"alignments {counters['alignments']}, pool waits {counters['pool_waits']})")


def create_axes(figure, serials: Sequence[str], xlabel: str = "time (s)") -> list[list]:
    """Per board, an axis per channel, all stacked and sharing the time axis."""
    axes = figure.subplots(nvk.COLUMNS * len(serials), 1, sharex=True, squeeze=False)[:, 0]
    for index, axis in enumerate(axes):
        board, channel = divmod(index, nvk.COLUMNS)
        axis.set_ylabel(f"ch {channel}")
        if channel == 0 and len(serials) > 1:
            axis.set_title(serials[board], loc="left", fontsize="small")
    axes[-1].set_xlabel(xlabel)
    return [list(axes[board * nvk.COLUMNS : (board + 1) * nvk.COLUMNS]) for board in range(len(serials))]


def draw(axes, seconds: np.ndarray, low: np.ndarray, high: np.ndarray) -> None:
    """Each channel's envelope against `seconds` (or rows); where a run is one row it is drawn as a line."""
    for channel, axis in enumerate(axes):
        for artist in list(axis.collections):
            artist.remove()
        color = f"C{channel}"
        axis.fill_between(seconds, low[:, channel], high[:, channel], step="post",
                          facecolor=color, edgecolor=color, linewidth=0.6)
        axis.relim()
        axis.autoscale_view()


def require_matplotlib(window: bool) -> None:
    """Raises ViewUnavailable without matplotlib, or, for a `window`, without a display."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise ViewUnavailable(MISSING_MATPLOTLIB) from None
    if window:
        import matplotlib.pyplot as plt
        from matplotlib.backends import BackendFilter, backend_registry

        if plt.get_backend().lower() in backend_registry.list_builtin(BackendFilter.NON_INTERACTIVE):
            raise ViewUnavailable("no display for a plot window: use --save PNG")


def new_figure():
    """A figure outside pyplot: it renders with Agg and needs no display."""
    from matplotlib.figure import Figure

    return Figure(figsize=FIGURE_INCHES, dpi=DPI, layout="constrained")


def window_figure():
    """A pyplot figure in a window (see require_matplotlib)."""
    import matplotlib.pyplot as plt

    return plt.figure(figsize=FIGURE_INCHES, dpi=DPI, layout="constrained")


def recording_axis(recording: Recording, rows: Sequence[np.ndarray]) -> tuple[list[np.ndarray], str]:
    """Where to draw the given row numbers of each board, and the axis' label:
    seconds from the first row read, by the block times, when every board
    has them; else seconds at the recorded rate (one board); else row numbers
    (an unfinished recording)."""
    times = [board.row_times(board_rows) for board, board_rows in zip(recording.boards, rows)]
    known = [board_times for board_times in times if board_times is not None]
    if len(known) == len(times):
        first = min(board_times[0] for board_times in known)
        return [(board_times - first) / 1e9 for board_times in known], "time (s)"
    summaries = [recording.summary(board) for board in recording.boards]
    seconds = [summary.seconds for summary in summaries if summary is not None and summary.seconds > 0]
    if len(seconds) == len(summaries):
        return [board_rows * board_seconds / max(board.rows, 1)
                for board, board_rows, board_seconds in zip(recording.boards, rows, seconds)], "time (s)"
    return list(rows), "row"


def recording_title(recording: Recording) -> str:
    lines = []
    for board in recording.boards:
        summary = recording.summary(board)
        lines.append(f"{board.serial}: {board.rows:,} rows (recording not finished)" if summary is None
                     else counters_title(board.serial, summary))
    return "\n".join(lines)


def plot_recording(recording: Recording, save: Path | None) -> None:
    """Every board's channels over the whole recording, saved to `save` or shown in a window."""
    envelopes = [envelope(board.samples) for board in recording.boards]
    positions, label = recording_axis(recording, [first_rows for first_rows, _, _ in envelopes])
    figure = new_figure() if save is not None else window_figure()
    figure.suptitle(recording_title(recording), fontsize="medium")
    for axes, x, (_, low, high) in zip(create_axes(figure, [board.serial for board in recording.boards], label),
                                       positions, envelopes):
        draw(axes, x, low, high)
    if save is not None:
        figure.savefig(save)
    else:
        import matplotlib.pyplot as plt

        plt.show()


class LiveView:
    """The latest blocks of one board or several, drawn about ten times a second
    against the time their rows were read (from the block times).

    A producer thread hands blocks in with offer(), which never waits: a
    redraw takes whatever blocks are latest then, so frames of the plot may be
    skipped, never a block of the producer."""

    def __init__(self, serials: Sequence[str], rows_per_block: int):
        self.serials = list(serials)
        blocks = max(1, math.ceil(LIVE_ROWS / rows_per_block))
        # Per board: its latest blocks as (first row, block, time_ns), and
        # its first block's last row and time.
        self.latest: list[deque[tuple[int, np.ndarray, int]]] = [deque(maxlen=blocks) for _ in self.serials]
        self.first: dict[int, tuple[int, int]] = {}
        self.rows = [0] * len(self.serials)
        self.started = time.monotonic()
        self.title = f"{', '.join(self.serials)}: waiting for data"

    def offer(self, board: int, block: np.ndarray, time_ns: int) -> None:
        """Hands in a block of the board of index `board`, and when its last row was read."""
        self.latest[board].append((self.rows[board], block, time_ns))
        self.rows[board] += len(block)
        self.first.setdefault(board, (self.rows[board] - 1, time_ns))

    def filled(self) -> bool:
        """Whether every board's latest blocks fill the plot."""
        return all(len(latest) == latest.maxlen for latest in self.latest)

    def set_summaries(self, summaries: Sequence[Summary]) -> None:
        self.title = "\n".join(counters_title(serial, summary) for serial, summary in zip(self.serials, summaries))

    def render(self, figure, axes: list[list]) -> bool:
        """Draws the latest blocks; False when a board has none yet."""
        from .recording_file import times_of_rows

        latest = [list(board_latest) for board_latest in self.latest]
        if not all(latest):
            return False
        drawn, times = [], []
        for board, blocks in enumerate(latest):
            first_rows, low, high = envelope(np.concatenate([block for _, block, _ in blocks]))
            rows = blocks[0][0] + first_rows
            # The board's first block too: the pace is known once two transfers came.
            first_row, first_ns = self.first[board]
            last_rows = np.array([first_row, *(row + len(block) - 1 for row, block, _ in blocks)])
            times.append(times_of_rows(rows, last_rows, np.array([first_ns, *(t for _, _, t in blocks)])))
            drawn.append((rows, low, high))
        known = [board_times for board_times in times if board_times is not None]
        origin = min(board_times[0] for board_times in known) if len(known) == len(times) else None
        elapsed = max(time.monotonic() - self.started, 1e-9)
        for board_axes, (rows, low, high), board_times, total in zip(axes, drawn, times, self.rows):
            # Until then, at the mean pace since the view began.
            seconds = rows * elapsed / total if origin is None or board_times is None else (board_times - origin) / 1e9
            draw(board_axes, seconds, low, high)
        figure.suptitle(self.title, fontsize="medium")
        return True

    def save(self, path: Path) -> None:
        figure = new_figure()
        self.render(figure, create_axes(figure, self.serials))
        figure.savefig(path)

    def run_beside(self, work: Callable[[], object], stop: threading.Event) -> object:
        """Runs work() on a thread while the window shows on this one (a
        window needs the main thread) until work ends or the window is closed
        (which sets `stop`); returns what work returned, or raises what it raised."""
        result = {}

        def target():
            try:
                result["value"] = work()
            except BaseException as error:  # raised again on this thread
                result["error"] = error

        worker = threading.Thread(target=target)
        worker.start()
        self.show(stop, finished=lambda: not worker.is_alive())
        stop.set()
        worker.join()
        if "error" in result:
            raise result["error"]
        return result["value"]

    def show(self, stop: threading.Event, finished: Callable[[], bool]) -> None:
        """Shows the window until `finished()` or the window is closed (which sets `stop`)."""
        import matplotlib.pyplot as plt

        figure = window_figure()
        axes = create_axes(figure, self.serials)
        figure.canvas.mpl_connect("close_event", lambda event: stop.set())

        def refresh():
            if finished():
                plt.close(figure)
            elif self.render(figure, axes):
                figure.canvas.draw_idle()

        timer = figure.canvas.new_timer(interval=REFRESH_MS)
        timer.add_callback(refresh)
        timer.start()
        plt.show()
        timer.stop()
