"""The recording file: the HDF5 layout of a recording, written and read back.

A board's part of a recording is dataset `samples` (int16, rows x 5, in
stream order, resizable), dataset `block_time_ns` (int64, per block of
`samples` the UTC nanoseconds when its last row was read) and the attributes
in BOARD_ATTRIBUTES; stats_start and stats_end are the board's stats() as
JSON text. A one-board recording holds that at the file's root, beside the
attributes in FILE_ATTRIBUTES (the layout files had before block times,
which lack `block_time_ns`, read_ahead and compression). A recording of
several boards holds it in group boards/<serial number> per board; its root
holds FILE_ATTRIBUTES, `boards` (the serial numbers, in order) and `gapless`
(true only if every board's is)."""

from __future__ import annotations

import errno
import json
import os
import re
import resource
import socket
from collections.abc import Iterator, Mapping, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from datetime import datetime, timezone
from importlib import metadata
from pathlib import Path

import h5py
import hdf5plugin
import numpy as np

import _pynvk_boards_pp as nvk

from .defaults import DISTRIBUTION, NO_COMPRESSION
from .errors import NotARecording, PcbRixError
from .summary import Snapshot, Summary, summarize

SAMPLES = "samples"
BLOCK_TIMES = "block_time_ns"
BOARDS = "boards"
BOARD_ATTRIBUTES = ("serial_number", "samples_count", "emulated", "gapless", "stats_start", "stats_end",
                    "read_ahead", "compression")
FILE_ATTRIBUTES = ("started_utc", "stopped_utc", "module_version", "host")
# Written when the recording ends; a file without them was not finished.
CLOSING_ATTRIBUTES = ("stopped_utc", "gapless", "stats_end")
# Files recorded before these existed lack them.
LATER_ATTRIBUTES = ("read_ahead", "compression")
# The filters of each of CODECS, after HDF5's shuffle filter, which puts the
# bytes of a sample apart: that suits values of fewer significant bits.
CODEC_FILTERS = {"lz4": hdf5plugin.LZ4, "zstd": hdf5plugin.Zstd}
# Written this many bytes of a board's samples at a time, at most (at least a
# block): few HDF5 calls per block. Uncompressed, that is one chunk; a
# compressed chunk is one block.
STAGE_BYTES = 1 << 19
TIME_CHUNK = 1024
# The samples' extent grows this many writes at a time (and is trimmed to the
# rows written at every flush).
GROW_STAGES = 64
# Kept free on the disk and under the file size limit, so that HDF5 can always
# write its metadata and close the file whole when the disk fills up: an HDF5
# file whose own writes failed is left unreadable.
RESERVE_BYTES = 1 << 20
# The disk and the file size limit are asked again while the room left may
# come within this of a write (and at every flush).
ROOM_MARGIN = 64 << 20


class WriteError(PcbRixError, OSError):
    """The recording could not be written further; the file keeps what was written before."""

    def __str__(self) -> str:
        return f"{self.filename}: {self.strerror}" if self.filename else super().__str__()


class UnfitSerial(PcbRixError, ValueError):
    """A serial number the file cannot name a board's group by."""


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


def check_serials(serials: Sequence[str]) -> None:
    """Refuses serial numbers that cannot name a group boards/<serial>."""
    for serial in serials:
        if "/" in serial:
            raise UnfitSerial(f"serial number {serial!r} contains '/', which cannot name the board's group in "
                              f"the file")


@dataclass(frozen=True)
class BoardSetup:
    """What a recording says of a board before it starts."""

    serial: str
    rows: int
    read_ahead: int


class BoardWriter:
    """Appends one board's blocks and their times to its datasets.

    Blocks are gathered into a stage of about STAGE_BYTES and written a stage
    at a time: uncompressed, a stage is one chunk, written as it lies on disk;
    compressed, each block is a chunk, which HDF5 filters. A flush writes
    what is staged; the times follow, so that the file on disk holds a time
    for each block in it."""

    def __init__(self, file: RecordingFile, group: h5py.Group, setup: BoardSetup, emulated: bool,
                 compression: str):
        self.file = file
        self.block_rows = setup.rows
        block_bytes = setup.rows * nvk.COLUMNS * np.dtype(np.int16).itemsize
        self.stage_rows = setup.rows * max(1, STAGE_BYTES // block_bytes)
        self.compressed = compression != NO_COMPRESSION
        self.chunk_rows = setup.rows if self.compressed else self.stage_rows
        codec = dict(CODEC_FILTERS[compression](), shuffle=True) if self.compressed else {}
        self.samples = group.create_dataset(SAMPLES, shape=(0, nvk.COLUMNS), maxshape=(None, nvk.COLUMNS),
                                            chunks=(self.chunk_rows, nvk.COLUMNS), dtype="<i2", **codec)
        self.block_times = group.create_dataset(BLOCK_TIMES, shape=(0,), maxshape=(None,), chunks=(TIME_CHUNK,),
                                                dtype="<i8")
        self.attributes = group.attrs
        self.attributes.update({"serial_number": setup.serial, "samples_count": setup.rows, "emulated": emulated,
                                "read_ahead": setup.read_ahead, "compression": compression})
        self.appended = 0
        # Rows in the file, and the samples' extent, which runs ahead of them.
        self.rows = 0
        self.extent = 0
        # The stage: its rows go to the file from row stage_start on. Made
        # when first needed: a block that fills a stage is written as it came.
        self.stage: np.ndarray | None = None
        self.stage_start = 0
        self.staged = 0
        # Times of the blocks appended that the file does not hold yet.
        self.times: list[int] = []
        self.blocks_in_file = 0

    def append(self, block: np.ndarray, time_ns: int) -> None:
        """Appends a block: a whole one, or the last one of the recording."""
        self.appended += len(block)
        self.times.append(time_ns)
        if not self.staged and (len(block) == self.stage_rows or len(block) < self.block_rows):
            self.write(block)
            return
        if self.stage is None:
            self.stage = np.empty((self.stage_rows, nvk.COLUMNS), np.int16)
        self.stage[self.staged : self.staged + len(block)] = block
        self.staged += len(block)
        if self.staged == self.stage_rows:
            self.write(self.stage)

    def write(self, data: np.ndarray) -> None:
        """Writes `data`, the rows from the stage's start on. Once they are
        whole chunks, the stage begins anew after them; rows of a chunk not
        yet whole stay staged, to be written again with the whole chunk."""
        start, end = self.stage_start, self.stage_start + len(data)
        try:
            # A chunk takes its whole size on disk as soon as any of it is written.
            self.file.make_room(max(data.nbytes, self.chunk_rows * data.itemsize * nvk.COLUMNS))
            self.store(start, end, data)
        except WriteError:
            # What was staged never reaches the file, nor do the times of its blocks.
            self.staged, self.stage_start = 0, self.rows
            del self.times[-(-self.rows // self.block_rows) - self.blocks_in_file :]
            raise
        self.rows = end
        if len(data) % self.chunk_rows == 0:
            self.stage_start, self.staged = end, 0

    def store(self, start: int, end: int, data: np.ndarray) -> None:
        try:
            if end > self.extent:
                self.extent = max(end, start + GROW_STAGES * self.stage_rows)
                self.samples.resize(self.extent, axis=0)
            if not self.compressed and len(data) == self.chunk_rows:
                self.samples.id.write_direct_chunk((start, 0), data)
            else:
                self.samples[start:end] = data
        except (OSError, RuntimeError) as error:
            raise self.file.error(error) from error

    def flush(self) -> None:
        """Writes what is staged and not yet in the file, the times of the
        blocks in the file, and trims the samples' extent to the rows written."""
        if self.stage is not None and self.staged and self.stage_start + self.staged != self.rows:
            self.write(self.stage[: self.staged])
        try:
            if self.times:
                self.blocks_in_file += len(self.times)
                self.block_times.resize((self.blocks_in_file,))
                self.block_times[self.blocks_in_file - len(self.times) :] = self.times
                self.times = []
            if self.extent != self.rows:
                self.extent = self.rows
                self.samples.resize(self.rows, axis=0)
        except (OSError, RuntimeError) as error:
            raise self.file.error(error) from error

    def begin(self, stats: Mapping[str, int]) -> None:
        self.attributes["stats_start"] = json.dumps(dict(stats))

    def finish(self, stats: Mapping[str, int], gapless: bool) -> None:
        self.flush()
        self.attributes.update({"gapless": gapless, "stats_end": json.dumps(dict(stats))})


class RecordingFile:
    """A recording being written: creates the file (replacing an existing one
    only when `overwrite`) with a BoardWriter per board, in `writers`."""

    def __init__(self, path: Path, boards: Sequence[BoardSetup], *, emulated: bool,
                 compression: str = NO_COMPRESSION, overwrite: bool = False):
        check_serials([board.serial for board in boards])
        self.path = path
        # Bytes that may still be written (see make_room); measured at the first write.
        self.room = 0
        self.shortage = (0, "")
        # No chunk cache: a chunk goes straight to the file, so the file's
        # size on disk tells what it holds.
        self.file = h5py.File(path, "w" if overwrite else "w-", rdcc_nbytes=0)
        self.file.attrs.update({"module_version": module_version(), "host": socket.gethostname()})
        if len(boards) == 1:
            groups = [self.file]
        else:
            self.file.attrs[BOARDS] = [board.serial for board in boards]
            groups = [self.file.create_group(f"{BOARDS}/{board.serial}") for board in boards]
        self.writers = [BoardWriter(self, group, board, emulated, compression) for group, board in zip(groups, boards)]

    def error(self, error: Exception) -> WriteError:
        return write_error(self.path, error)

    def make_room(self, size: int) -> None:
        """Refuses a write that would leave less than RESERVE_BYTES on the
        disk or under the file size limit (RLIMIT_FSIZE). The room is measured
        again at every flush and whenever the room measured, less what was
        written since, comes within ROOM_MARGIN of the write."""
        if self.room < size + ROOM_MARGIN:
            self.measure_room()
        if self.room < size:
            raise WriteError(*self.shortage, str(self.path))
        self.room -= size

    def measure_room(self) -> None:
        disk = os.statvfs(self.path.parent)
        self.room = disk.f_bavail * disk.f_frsize - RESERVE_BYTES
        self.shortage = (errno.ENOSPC, "no space left on device (ENOSPC)")
        limit = resource.getrlimit(resource.RLIMIT_FSIZE)[0]
        if limit != resource.RLIM_INFINITY:
            under_limit = limit - self.file.id.get_filesize() - RESERVE_BYTES
            if under_limit < self.room:
                self.room, self.shortage = under_limit, (errno.EFBIG, "file size limit reached (EFBIG)")

    def begin(self, started_utc: str, stats: Sequence[Mapping[str, int]]) -> None:
        """Writes when the recording started and each board's stats() then."""
        self.file.attrs["started_utc"] = started_utc
        for writer, board_stats in zip(self.writers, stats):
            writer.begin(board_stats)
        self.flush()

    def flush(self) -> None:
        """Brings the file on disk up to date: every board's rows and times so
        far, and the metadata."""
        for writer in self.writers:
            writer.flush()
        self.room = 0  # measured again at the next write
        try:
            self.file.flush()
        except (OSError, RuntimeError) as error:
            raise self.error(error) from error

    def finish(self, stats: Sequence[Mapping[str, int]], gapless: Sequence[bool]) -> None:
        """Writes what is left and the closing attributes."""
        for writer, board_stats, board_gapless in zip(self.writers, stats, gapless):
            writer.finish(board_stats, board_gapless)
        self.file.attrs["stopped_utc"] = utc_now()
        if len(self.writers) > 1:
            self.file.attrs["gapless"] = all(gapless)
        self.flush()

    def close(self) -> None:
        try:
            self.file.close()
        except (OSError, RuntimeError) as error:
            raise self.error(error) from error


def times_of_rows(rows: np.ndarray, last_rows: np.ndarray, times: np.ndarray) -> np.ndarray | None:
    """When each of `rows` (row numbers) was read, as a float array, from
    blocks whose last rows `last_rows` were read at `times` (UTC ns, never
    going back). Blocks that one device read (or USB transfer) completed
    share its time: the last row of the last of them is taken as read then,
    the rows between two such times as evenly spaced, and the rows before the
    first at the mean pace. None when fewer than two times differ."""
    completed = np.append(times[1:] != times[:-1], True)
    times, last_rows = times[completed], last_rows[completed]
    if len(times) < 2:
        return None
    # np.interp holds the first time before the first point: those rows are extrapolated.
    ns_per_row = (times[-1] - times[0]) / (last_rows[-1] - last_rows[0])
    rows = np.asarray(rows)
    return np.where(rows < last_rows[0], times[0] - (last_rows[0] - rows) * ns_per_row,
                    np.interp(rows, last_rows, times))


@dataclass(frozen=True)
class BoardRecording:
    """One board's part of a recording (see read_recording); its datasets
    read from the file while it is open."""

    serial: str
    samples: h5py.Dataset
    # None in a file recorded before block times were stored.
    block_time_ns: h5py.Dataset | None
    attributes: dict
    stats_start: dict
    stats_end: dict | None

    @property
    def rows(self) -> int:
        return self.samples.shape[0]

    @property
    def samples_count(self) -> int:
        return int(self.attributes["samples_count"])

    @property
    def compression(self) -> str:
        return str(self.attributes.get("compression", NO_COMPRESSION))

    @property
    def compression_ratio(self) -> float | None:
        """The samples' size over the bytes their compressed chunks take (None
        when uncompressed, or while there are none)."""
        stored = self.samples.id.get_storage_size()
        if self.compression == NO_COMPRESSION or not stored:
            return None
        return self.samples.size * self.samples.dtype.itemsize / stored

    def block_intervals_ns(self) -> np.ndarray | None:
        """The time from each block's last row to the next block's, or None
        without block times."""
        return None if self.block_time_ns is None else np.diff(self.block_time_ns[:])

    def row_times(self, rows: np.ndarray) -> np.ndarray | None:
        """UTC nanoseconds when each of `rows` (row numbers) was read (see
        times_of_rows); None without block times, or when all blocks share one."""
        if self.block_time_ns is None:
            return None
        times = self.block_time_ns[:]
        last_rows = np.minimum(np.arange(1, len(times) + 1) * self.samples_count, self.rows) - 1
        return times_of_rows(rows, last_rows, times)


@dataclass(frozen=True)
class Recording:
    """What a recording holds (read_recording): the file's attributes and a
    part per board, in the order they were recorded."""

    path: Path
    attributes: dict
    boards: list[BoardRecording]
    started: datetime
    stopped: datetime | None

    @property
    def complete(self) -> bool:
        return self.stopped is not None and all(board.stats_end is not None for board in self.boards)

    @property
    def seconds(self) -> float | None:
        return None if self.stopped is None else (self.stopped - self.started).total_seconds()

    def summary(self, board: BoardRecording) -> Summary | None:
        """The board's stream between the recording's start and end, or None when it was not finished."""
        if board.stats_end is None or self.stopped is None:
            return None
        return summarize(Snapshot(board.stats_start, self.started.timestamp()),
                         Snapshot(board.stats_end, self.stopped.timestamp()))

    @property
    def gapless(self) -> bool | None:
        """Whether every board's stream was gapless; None when the recording was not finished."""
        summaries = [self.summary(board) for board in self.boards]
        if any(summary is None for summary in summaries):
            return None
        return all(summary.gapless for summary in summaries if summary is not None)


def where(group: h5py.Group) -> str:
    return "" if group.name == "/" else f" in group {group.name}"


def attributes_of(path: Path, group: h5py.Group, names: Sequence[str]) -> dict:
    """The attributes of `names` that `group` has; NotARecording names those
    missing that every recording has."""
    required = [name for name in names if name not in CLOSING_ATTRIBUTES + LATER_ATTRIBUTES]
    missing = [name for name in required if name not in group.attrs]
    if missing:
        raise NotARecording(f"{path} is no recording: attribute(s) {', '.join(missing)} missing{where(group)}")
    return {name: group.attrs[name] for name in names if name in group.attrs}


def board_part(path: Path, group: h5py.Group, names: Sequence[str]) -> tuple[BoardRecording, dict]:
    """The board's part of a recording in `group`, and its attributes of `names`."""
    samples = group.get(SAMPLES)
    if not isinstance(samples, h5py.Dataset) or samples.ndim != 2 or samples.shape[1] != nvk.COLUMNS \
            or samples.dtype != np.int16:
        raise NotARecording(f"{path} is no recording: it has no int16 dataset '{SAMPLES}' of {nvk.COLUMNS} "
                            f"columns{where(group)}")
    attributes = attributes_of(path, group, names)
    times = group.get(BLOCK_TIMES)
    try:
        stats_start = json.loads(attributes["stats_start"])
        stats_end = json.loads(attributes["stats_end"]) if "stats_end" in attributes else None
    except (ValueError, TypeError) as error:
        raise NotARecording(f"{path} is no recording: {error}{where(group)}") from error
    board = BoardRecording(str(attributes["serial_number"]), samples,
                           times if isinstance(times, h5py.Dataset) else None, attributes, stats_start, stats_end)
    return board, attributes


def read_recording(file: h5py.File) -> Recording:
    """The recording in an open HDF5 file, of one board or several;
    NotARecording names what is missing."""
    path = Path(file.filename)
    if BOARDS in file.attrs:
        attributes = attributes_of(path, file, FILE_ATTRIBUTES + (BOARDS, "gapless"))
        boards = []
        for serial in map(str, attributes[BOARDS]):
            group = file.get(f"{BOARDS}/{serial}")
            if not isinstance(group, h5py.Group):
                raise NotARecording(f"{path} is no recording: group {BOARDS}/{serial} missing")
            boards.append(board_part(path, group, BOARD_ATTRIBUTES)[0])
    else:
        board, attributes = board_part(path, file, FILE_ATTRIBUTES + BOARD_ATTRIBUTES)
        boards = [board]
    try:
        started = datetime.fromisoformat(attributes["started_utc"])
        stopped = datetime.fromisoformat(attributes["stopped_utc"]) if "stopped_utc" in attributes else None
    except (ValueError, TypeError) as error:
        raise NotARecording(f"{path} is no recording: {error}") from error
    return Recording(path, attributes, boards, started, stopped)


@contextmanager
def open_recording(path: Path | str) -> Iterator[Recording]:
    """Opens a recording for reading (read_recording); its datasets can be
    read until leaving. NotARecording when the file is none."""
    path = Path(path)
    try:
        file = h5py.File(path, "r")
    except FileNotFoundError:
        raise NotARecording(f"{path}: no such file") from None
    except OSError as error:
        reason = "not an HDF5 file" if "signature" in str(error) else str(error).splitlines()[0]
        raise NotARecording(f"{path} is no recording: {reason}") from None
    with file:
        yield read_recording(file)
