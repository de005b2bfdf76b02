"""Plots of the five channels against time: of a whole recording, decimated
to a min/max envelope per pixel column, or live of a board's latest blocks.

matplotlib is an optional dependency (the `view` extra)."""

from __future__ import annotations

import math
import threading
import time
from collections import deque
from collections.abc import Callable
from pathlib import Path

import numpy as np

from .errors import ViewUnavailable
from .summary import Summary

CHANNELS = 5
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
    low = np.empty((count, CHANNELS), np.int16)
    high = np.empty((count, CHANNELS), np.int16)
    step = per_column * max(1, SLAB_ROWS // per_column)
    for start in range(0, rows, step):
        slab = np.asarray(data[start : start + step])
        first = start // per_column
        whole = len(slab) // per_column
        runs = slab[: whole * per_column].reshape(whole, per_column, CHANNELS)
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


def create_axes(figure, xlabel: str = "time (s)") -> list:
    axes = figure.subplots(CHANNELS, 1, sharex=True)
    for channel, axis in enumerate(axes):
        axis.set_ylabel(f"ch {channel}")
    axes[-1].set_xlabel(xlabel)
    return list(axes)


def draw(axes, seconds: np.ndarray, low: np.ndarray, high: np.ndarray) -> None:
    """Each channel's envelope; where a run is one row it is drawn as a line."""
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


def plot_recording(dataset, rows_per_second: float | None, title: str, save: Path | None) -> None:
    """The whole recording, saved to `save` or shown in a window; against
    the row number when the rate is not known (an unfinished recording)."""
    first_rows, low, high = envelope(dataset)
    figure = new_figure() if save is not None else window_figure()
    figure.suptitle(title, fontsize="medium")
    if rows_per_second:
        draw(create_axes(figure), first_rows / rows_per_second, low, high)
    else:
        draw(create_axes(figure, "row"), first_rows, low, high)
    if save is not None:
        figure.savefig(save)
    else:
        import matplotlib.pyplot as plt

        plt.show()


class LiveView:
    """The latest blocks of a board, drawn about ten times a second.

    A producer thread hands blocks in with offer(), which never waits: a
    redraw takes whatever blocks are latest then, so frames of the plot may be
    skipped, never a block of the producer."""

    def __init__(self, serial: str, rows_per_block: int):
        self.serial = serial
        self.latest: deque[tuple[int, np.ndarray]] = deque(maxlen=max(1, math.ceil(LIVE_ROWS / rows_per_block)))
        self.rows = 0
        self.started = time.monotonic()
        self.title = f"{serial}: waiting for data"

    def offer(self, block: np.ndarray) -> None:
        self.latest.append((self.rows, block))
        self.rows += len(block)

    def set_summary(self, summary: Summary) -> None:
        self.title = counters_title(self.serial, summary)

    def render(self, figure, axes) -> bool:
        """Draws the latest blocks; False when there are none yet."""
        latest = list(self.latest)
        if not latest:
            return False
        first_row = latest[0][0]
        rows = np.concatenate([block for _, block in latest])
        rate = self.rows / max(time.monotonic() - self.started, 1e-9)
        first_rows, low, high = envelope(rows)
        draw(axes, (first_row + first_rows) / rate, low, high)
        figure.suptitle(self.title, fontsize="medium")
        return True

    def save(self, path: Path) -> None:
        figure = new_figure()
        axes = create_axes(figure)
        self.render(figure, axes)
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
        axes = create_axes(figure)
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
