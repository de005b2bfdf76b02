"""Recordings: a board's blocks written to one HDF5 file, with what the file
needs to say what it holds and whether it is complete.

Layout: dataset `samples` (int16, rows x 5, one block per chunk, resizable)
and the file attributes in ATTRIBUTES; stats_start and stats_end are the
board's stats() as JSON text."""

from __future__ import annotations

import errno
import json
import os
import re
import resource
import socket
import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from datetime import datetime, timezone
from importlib import metadata
from pathlib import Path

import h5py
import numpy as np

from .board import Board, Ticker
from .errors import NoDataError, NotARecording, PcbRixError
from .summary import Snapshot, Summary, summarize

DATASET = "samples"
COLUMNS = 5
ATTRIBUTES = ("serial_number", "samples_count", "started_utc", "stopped_utc", "module_version", "host", "emulated",
              "gapless", "stats_start", "stats_end")
# Written when the recording ends; a file without them was not finished.
CLOSING_ATTRIBUTES = ("stopped_utc", "gapless", "stats_end")
DISTRIBUTION = "pynvk-boards-pp"
# Kept free on the disk and under the file size limit, so that HDF5 can always
# write its metadata and close the file whole when the disk fills up: an HDF5
# file whose own writes failed is left unreadable.
RESERVE_BYTES = 1 << 20
# The dataset's extent grows this many blocks at a time (a resize per block
# would cost more than the write).
GROW_BLOCKS = 256
# The file on disk is brought up to date this often (extent and metadata).
FLUSH_S = 1.0
# How often a recording reports its progress.
TICK_S = 0.1


class WriteError(PcbRixError, OSError):
    """The recording could not be written further; the file keeps what was written before."""

    def __str__(self) -> str:
        return f"{self.filename}: {self.strerror}" if self.filename else super().__str__()


def utc_now() -> str:
    return datetime.now(timezone.utc).isoformat()


def module_version() -> str:
    try:
        return metadata.version(DISTRIBUTION)
    except metadata.PackageNotFoundError:
        return "unknown"


def write_error(path: Path, error: Exception) -> WriteError:
    """The errno that an HDF5 error message carries, as a WriteError."""
    code = getattr(error, "errno", None)
    if code is None and (found := re.search(r"errno = (\d+)", str(error))):
        code = int(found.group(1))
    if code is None:
        return WriteError(f"{path}: {str(error).splitlines()[0]}")
    return WriteError(code, f"{os.strerror(code)} ({errno.errorcode.get(code, code)})", str(path))


class RecordingWriter:
    """Creates the file (replacing an existing one only when `overwrite`)
    and appends blocks to its `samples` dataset."""

    def __init__(self, path: Path, *, serial: str, rows: int, emulated: bool, overwrite: bool = False):
        self.path = path
        self.block_rows = rows
        self.rows = 0
        # No chunk cache: a block is one chunk and goes straight to the file,
        # so the file's size on disk tells what it holds.
        self.file = h5py.File(path, "w" if overwrite else "w-", rdcc_nbytes=0)
        self.dataset = self.file.create_dataset(
            DATASET, shape=(0, COLUMNS), maxshape=(None, COLUMNS), chunks=(rows, COLUMNS), dtype="<i2")
        self.file.attrs.update({
            "serial_number": serial,
            "samples_count": rows,
            "module_version": module_version(),
            "host": socket.gethostname(),
            "emulated": emulated,
        })
        self.flushes = Ticker(FLUSH_S)

    def begin(self, stats: Mapping[str, int | bool]) -> None:
        self.file.attrs.update({"started_utc": utc_now(), "stats_start": json.dumps(dict(stats))})
        self.flush()

    def append(self, block: np.ndarray) -> None:
        self.make_room(block.nbytes)
        end = self.rows + len(block)
        try:
            if end > self.dataset.shape[0]:
                self.dataset.resize(max(end, self.rows + GROW_BLOCKS * self.block_rows), axis=0)
            if len(block) == self.block_rows and self.rows % self.block_rows == 0:
                self.dataset.id.write_direct_chunk((self.rows, 0), np.ascontiguousarray(block, "<i2"))
            else:
                self.dataset[self.rows:end] = block
        except (OSError, RuntimeError) as error:
            raise write_error(self.path, error) from error
        self.rows = end
        if self.flushes.due():
            self.flush()

    def make_room(self, size: int) -> None:
        """Refuses a write that would leave less than RESERVE_BYTES on the
        disk or under the file size limit (RLIMIT_FSIZE)."""
        disk = os.statvfs(self.path.parent)
        if disk.f_bavail * disk.f_frsize < size + RESERVE_BYTES:
            raise WriteError(errno.ENOSPC, "no space left on device (ENOSPC)", str(self.path))
        limit = resource.getrlimit(resource.RLIMIT_FSIZE)[0]
        if limit != resource.RLIM_INFINITY and self.file.id.get_filesize() + size + RESERVE_BYTES > limit:
            raise WriteError(errno.EFBIG, "file size limit reached (EFBIG)", str(self.path))

    def flush(self) -> None:
        """Trims the extent to the rows written and writes the metadata out."""
        try:
            self.dataset.resize(self.rows, axis=0)
            self.file.flush()
        except (OSError, RuntimeError) as error:
            raise write_error(self.path, error) from error

    def finish(self, stats: Mapping[str, int | bool], gapless: bool) -> None:
        self.file.attrs.update({"stopped_utc": utc_now(), "gapless": gapless, "stats_end": json.dumps(dict(stats))})
        self.flush()

    def close(self) -> None:
        try:
            self.file.close()
        except (OSError, RuntimeError) as error:
            raise write_error(self.path, error) from error


@dataclass(frozen=True)
class Recording:
    """What a recording's attributes say (read_recording)."""

    rows: int
    attributes: dict
    stats_start: dict
    stats_end: dict | None
    started: datetime
    stopped: datetime | None

    @property
    def complete(self) -> bool:
        return self.stats_end is not None

    @property
    def seconds(self) -> float | None:
        return None if self.stopped is None else (self.stopped - self.started).total_seconds()

    def summary(self) -> Summary | None:
        """The stream between the recording's start and end, or None when it was not finished."""
        if self.stats_end is None or self.stopped is None:
            return None
        return summarize(Snapshot(self.stats_start, self.started.timestamp()),
                         Snapshot(self.stats_end, self.stopped.timestamp()))


def read_recording(file: h5py.File) -> Recording:
    """The recording in an open HDF5 file; NotARecording names what is missing."""
    dataset = file.get(DATASET)
    if not isinstance(dataset, h5py.Dataset) or dataset.ndim != 2 or dataset.shape[1] != COLUMNS \
            or dataset.dtype != np.int16:
        raise NotARecording(f"{file.filename} is no recording: it has no int16 dataset '{DATASET}' of {COLUMNS} columns")
    opening = [name for name in ATTRIBUTES if name not in CLOSING_ATTRIBUTES]
    missing = [name for name in opening if name not in file.attrs]
    if missing:
        raise NotARecording(f"{file.filename} is no recording: attribute(s) {', '.join(missing)} missing")
    attributes = {name: file.attrs[name] for name in ATTRIBUTES if name in file.attrs}
    try:
        stats_start = json.loads(attributes["stats_start"])
        stats_end = json.loads(attributes["stats_end"]) if "stats_end" in attributes else None
        started = datetime.fromisoformat(attributes["started_utc"])
        stopped = datetime.fromisoformat(attributes["stopped_utc"]) if "stopped_utc" in attributes else None
    except (ValueError, TypeError) as error:
        raise NotARecording(f"{file.filename} is no recording: {error}") from error
    return Recording(dataset.shape[0], attributes, stats_start, stats_end, started, stopped)


def open_recording(path: Path) -> h5py.File:
    """Opens an HDF5 file for reading; NotARecording when it cannot be."""
    try:
        return h5py.File(path, "r")
    except FileNotFoundError:
        raise NotARecording(f"{path}: no such file") from None
    except OSError as error:
        reason = "not an HDF5 file" if "signature" in str(error) else str(error).splitlines()[0]
        raise NotARecording(f"{path} is no recording: {reason}") from None


@dataclass(frozen=True)
class Outcome:
    """How a recording ended: what the counters say, the rows written and the
    frames left out (past the asked number of blocks, or after a write error),
    and the error that ended it, if any."""

    summary: Summary
    rows: int
    frames_left_out: int
    error: Exception | None


def record(board: Board, writer: RecordingWriter, *, seconds: float | None = None, blocks: int | None = None,
           stopping: Callable[[], bool] = lambda: False,
           on_block: Callable[[np.ndarray], None] = lambda block: None,
           on_tick: Callable[[Summary, Snapshot, int], None] = lambda summary, now, rows: None) -> Outcome:
    """Records `board` into `writer` until `seconds` passed, `blocks` were
    written or `stopping()` is true. Every row the board delivered goes into
    the file, up to `blocks` blocks: the blocks queued at the stop too, and
    of a block the stop cut short its fresh rows. About ten times a second
    on_tick gets the summary so far, the latest snapshot and the rows written."""
    first = board.snapshot()
    board.start()
    deadline = None if seconds is None else first.time + seconds
    limit = None if blocks is None else blocks * board.rows
    ticker = Ticker(TICK_S)

    def until() -> bool:
        if ticker.due():
            now = board.snapshot()
            on_tick(summarize(first, now), now, writer.rows)
        return stopping() or (deadline is not None and time.monotonic() >= deadline) or writer.rows == limit

    error: Exception | None = None
    try:
        writer.begin(first.stats)
        for block in board.blocks(until=until):
            writer.append(block)
            on_block(block)
    except (NoDataError, WriteError) as failure:
        error = failure
    finally:
        queued = board.stop()
    if not isinstance(error, WriteError):
        try:
            for block in queued:
                room = len(block) if limit is None else min(len(block), limit - writer.rows)
                if room > 0:
                    writer.append(block[:room])
        except WriteError as failure:
            error = failure
    last = board.snapshot()
    summary = summarize(first, last)
    try:
        writer.finish(last.stats, summary.gapless)
    except WriteError as failure:
        error = error or failure
    return Outcome(summary, writer.rows, summary.frames - writer.rows, error)
