"""`pcb-rix`: list, diagnose, record, view and stream PCB_RIX boards.

Errors end a command with one line on stderr and exit status 1, a usage
error with exit status 2; a command ended by SIGINT or SIGTERM exits with
130 or 143."""

from __future__ import annotations

import argparse
import json
import math
import os
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from importlib import metadata
from pathlib import Path

import numpy as np
from rich.console import Console
from rich.progress import BarColumn, Progress, TextColumn, TimeElapsedColumn
from rich.table import Column, Table

from . import doctor
from .defaults import CODECS, DEFAULT_READ_AHEAD, DEFAULT_ROWS, DISTRIBUTION, NO_COMPRESSION, NO_DATA_S, TICK_S
from .emulation import emulated_boards, missing_for_emulation, restart_under_umockdev, under_umockdev
from .errors import EmulationUnavailable, NoBoardError, PcbRixError

MODULE = "_pynvk_boards_pp"
MB = 1e6
MOST_EMULATED = 16
# Without a terminal, progress is a log line this often (and at the end).
LOG_S = 5.0
console = Console(highlight=False, soft_wrap=True)


class CommandError(PcbRixError):
    """Ends the command with its message and exit status 1."""


# ---- option values, checked before any board is opened ----

def number(convert: Callable[[str], float], text: str) -> float:
    try:
        value = convert(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be finite, not {text}")
    return value


def whole_in(low: int, high: int | None = None) -> Callable[[str], int]:
    """An argparse type: a whole number from `low` to `high` (no limit when None)."""
    def check(text: str) -> int:
        value = int(number(int, text))
        if value < low or (high is not None and value > high):
            raise argparse.ArgumentTypeError(f"must be {low} to {high}, not {value}" if high is not None
                                             else f"must be at least {low}, not {value}")
        return value
    return check


def positive_seconds(text: str) -> float:
    value = number(float, text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be positive, not {text}")
    return value


def block_rows(text: str) -> int:
    """Rows per block, in the range the module takes."""
    import _pynvk_boards_pp as nvk

    return whole_in(nvk.MIN_SAMPLES_COUNT, nvk.MAX_SAMPLES_COUNT)(text)


def read_ahead_bytes(text: str) -> int:
    """Read-ahead, in the range the module takes."""
    import _pynvk_boards_pp as nvk

    return whole_in(0, nvk.MAX_READ_AHEAD)(text)


def emulated_count(text: str) -> int:
    return whole_in(1, MOST_EMULATED)(text)


def with_emulate_count(arguments: Sequence[str]) -> list[str]:
    """In `record`, `--emulate` followed by what is no count of boards
    (`record --emulate OUT.h5`) emulates one board: the count is written in,
    so that the word after it stays what it is. (The other commands'
    `--emulate` takes no count.)"""
    given = list(arguments)
    if "record" not in given[:1]:
        return given
    for at, word in enumerate(given[:-1]):
        if word == "--emulate" and not given[at + 1].startswith("-") and not given[at + 1].isdigit():
            given[at] = "--emulate=1"
    return given


class StopSignals:
    """While active, SIGINT and SIGTERM set `event` instead of ending the
    process; `status` is then 128 plus the first signal's number."""

    def __init__(self):
        self.event = threading.Event()
        self.received = 0

    def handle(self, signum, frame) -> None:
        self.received = self.received or signum
        self.event.set()

    def __enter__(self) -> StopSignals:
        self.previous = {number: signal.signal(number, self.handle) for number in (signal.SIGINT, signal.SIGTERM)}
        return self

    def __exit__(self, *exc) -> None:
        for number, handler in self.previous.items():
            signal.signal(number, handler)

    @property
    def status(self) -> int:
        return 128 + self.received if self.received else 0


@contextmanager
def emulation_for(args: argparse.Namespace, arguments: Sequence[str]) -> Iterator[list[str]]:
    """With --emulate, the emulated boards' serial numbers for the duration
    (the process starts again under umockdev first, when it has to); else none."""
    if not args.emulate:
        yield []
        return
    if not under_umockdev():
        restart_under_umockdev(arguments)
    with emulated_boards(args.emulate, args.waveform) as serials:
        yield serials


def chosen_serials(args: argparse.Namespace, asked: Sequence[str]) -> list[str]:
    """The full serial numbers of the boards asked for (see choose_serials)."""
    import _pynvk_boards_pp as nvk

    from .board import choose_serials

    try:
        return choose_serials(asked, nvk.list_pcb_rix())
    except NoBoardError as error:
        raise NoBoardError(f"{error}; with --emulate, `pcb-rix {args.command}` uses the emulated board") from None


@contextmanager
def one_board(args: argparse.Namespace, arguments: Sequence[str]) -> Iterator:
    """The board of --serial, or the emulated one, or the first listed."""
    from .board import open_board

    with emulation_for(args, arguments) as emulated:
        [serial] = chosen_serials(args, [args.serial] if args.serial else emulated)
        with open_board(serial, args.rows, args.read_ahead) as board:
            yield board


class ProgressLine:
    """A command's progress: on a terminal a bar redrawn in place, else a
    plain log line every LOG_S seconds. The latest update is shown at the end."""

    def __init__(self, description: str, total: float | None):
        self.description = description
        self.started = time.monotonic()
        self.status = ""
        self.shown = True
        self.bar: Progress | None = None
        if console.is_terminal:
            # On a narrow terminal the status text gives way, not the elapsed time.
            self.bar = Progress(TextColumn(description), BarColumn(bar_width=10, table_column=Column(min_width=10)),
                                TimeElapsedColumn(table_column=Column(min_width=7, no_wrap=True)),
                                TextColumn("{task.fields[status]}",
                                           table_column=Column(overflow="ellipsis", no_wrap=True)),
                                console=console)
            self.task = self.bar.add_task(description, total=total, status="")
        self.next_log = self.started

    def __enter__(self) -> ProgressLine:
        if self.bar is not None:
            self.bar.start()
        return self

    def update(self, completed: float, status: str) -> None:
        if self.bar is not None:
            self.bar.update(self.task, completed=completed, status=status)
            return
        self.status, self.shown = status, False
        if time.monotonic() >= self.next_log:
            self.log()

    def log(self) -> None:
        console.print(f"{self.description}: {time.monotonic() - self.started:.1f} s, {self.status}")
        self.shown = True
        self.next_log = time.monotonic() + LOG_S

    def __exit__(self, *exc) -> None:
        if self.bar is not None:
            self.bar.stop()
        elif not self.shown:
            self.log()


def verdict_lines(summary) -> list[str]:
    lines = ["gapless: yes" if summary.gapless else f"gapless: NO: {'; '.join(summary.reasons)}"]
    lines += [f"warning: {warning}" for warning in summary.warnings]
    return lines


def stream_rate(rows: int, seconds: float) -> str:
    import _pynvk_boards_pp as nvk

    return f"{rows * nvk.FRAME_SIZE / max(seconds, 1e-9) / MB:.2f} MB/s"


# ---- list ----

def run_list(args: argparse.Namespace, arguments: Sequence[str]) -> int:
    import _pynvk_boards_pp as nvk

    from .board import choose_serial

    listed = nvk.list_pcb_rix()
    if not listed:
        # An empty list is an answer, not a failure: the doctor's status tells
        # whether a board is usable.
        console.print("no PCB_RIX board is attached: `pcb-rix doctor` tells why none is listed; "
                      "`pcb-rix record OUT.h5 --emulate` records from an emulated board")
        return 0
    table = Table("serial", "opens")
    for serial in listed:
        if not serial:
            table.add_row("''", "no: it has no serial number to be opened by")
            continue
        chosen = choose_serial(serial, listed)
        if chosen != serial:
            table.add_row(serial, f"no: PCB_RIX({serial!r}) opens {chosen!r}, listed before it")
            continue
        device = nvk.PCB_RIX(serial, samples_count=nvk.MIN_SAMPLES_COUNT)
        table.add_row(serial, "yes" if device.opened() else "no (`pcb-rix doctor` tells why)")
        del device
    console.print(table)
    return 0


# ---- doctor ----

def run_doctor(args: argparse.Namespace, arguments: Sequence[str]) -> int:
    if args.udev_rule:
        print(doctor.udev_rule(), end="")
        return 0
    return doctor.diagnose()


# ---- record ----

def run_record(args: argparse.Namespace, arguments: Sequence[str]) -> int:
    from .board import open_boards
    from .recording_file import BoardSetup, RecordingFile, check_serials

    out: Path = args.out
    if out.is_dir():
        raise CommandError(f"{out} is a directory")
    if out.exists() and not args.force:
        raise CommandError(f"{out} exists: pass --force to overwrite it")
    if not out.parent.is_dir():
        raise CommandError(f"cannot create {out}: no such directory {out.parent}")
    if args.view:
        from .view import require_matplotlib

        require_matplotlib(window=True)
    with emulation_for(args, arguments) as emulated:
        if args.all:
            import _pynvk_boards_pp as nvk

            asked = nvk.list_pcb_rix()
        else:
            asked = args.serials or emulated
        serials = chosen_serials(args, asked)
        check_serials(serials)
        with open_boards(serials, args.rows, args.read_ahead) as boards, StopSignals() as signals:
            setups = [BoardSetup(board.serial, board.rows, board.device.read_ahead) for board in boards]
            try:
                file = RecordingFile(out, setups, emulated=bool(args.emulate), compression=args.compress,
                                     overwrite=args.force)
            except OSError as error:
                raise CommandError(f"cannot create {out}: {os.strerror(error.errno) if error.errno else error}") \
                    from None
            try:
                compressed = "" if args.compress == NO_COMPRESSION else f", {args.compress} compressed"
                console.print(f"recording board{'s' if len(boards) > 1 else ''} {', '.join(serials)} "
                              f"({args.rows} rows per block{compressed}) to {out}; Ctrl-C stops")
                outcome = record_with_progress(args, boards, file, signals.event)
            finally:
                file.close()
    several = len(outcome.boards) > 1
    for board in outcome.boards:
        prefix = f"{board.serial}: " if several else ""
        console.print(f"{prefix}wrote {board.rows:,} rows ({board.rows / args.rows:,.2f} blocks of {args.rows}) "
                      f"to {out} in {board.summary.seconds:.2f} s: {board.summary.stream_bytes_per_s / MB:.2f} MB/s "
                      f"of stream")
        for line in verdict_lines(board.summary):
            console.print(prefix + line)
        if board.frames_left_out:
            console.print(f"{prefix}left out: {board.frames_left_out:,} frames the board read after the last row "
                          f"kept")
    if outcome.error is not None:
        kept = (f"the {outcome.boards[0].rows:,} rows written before" if not several else
                "every board's rows written before (" + ", ".join(f"{board.serial}: {board.rows:,}"
                                                                   for board in outcome.boards) + ")")
        raise CommandError(f"{outcome.error}; {out} keeps {kept}")
    return signals.status


def record_with_progress(args: argparse.Namespace, boards, file, stop: threading.Event):
    from .session import record

    total = args.seconds if args.seconds is not None else args.blocks
    live = None
    if args.view:
        from .view import LiveView

        live = LiveView([board.serial for board in boards], args.rows)

    with ProgressLine("recording", total) as progress:
        def on_tick(boards_progress) -> None:
            seconds = max(board.summary.seconds for board in boards_progress)
            rows = sum(board.rows for board in boards_progress)
            done = seconds if args.seconds is not None else min(board.rows for board in boards_progress) / args.rows
            gapless = all(board.summary.gapless for board in boards_progress)
            progress.update(done, f"{rows:,} rows, {stream_rate(rows, seconds)}, "
                                  f"{sum(board.stats['ready_blocks'] for board in boards_progress)} blocks waiting, "
                                  f"gapless so far: {'yes' if gapless else 'NO'}")
            if live is not None:
                live.set_summaries([board.summary for board in boards_progress])

        def work():
            return record(boards, file, seconds=args.seconds, blocks=args.blocks, no_data_s=args.no_data_timeout,
                          stopping=stop.is_set, on_tick=on_tick, on_block=live.offer if live else None)

        # The recording never waits for the window: it only offers blocks.
        return work() if live is None else live.run_beside(work, stop)


# ---- info ----

def plain(value):
    """An attribute's value as JSON takes it."""
    if isinstance(value, np.ndarray):
        return [plain(item) for item in value]
    if isinstance(value, np.generic):
        return value.item()
    return value


def attributes_json(attributes: dict) -> dict:
    return {name: json.loads(value) if name in ("stats_start", "stats_end") else plain(value)
            for name, value in attributes.items()}


def info_json(recording) -> dict:
    """attributes, counters (their growth from stats_start to stats_end) and
    gapless; for several boards the same per board under `boards`, and at the
    top the counters added up. counters and gapless are null for a recording
    not finished."""
    summaries = [recording.summary(board) for board in recording.boards]
    parts = {board.serial: {"attributes": attributes_json(board.attributes),
                            "counters": None if summary is None else summary.counters,
                            "gapless": None if summary is None else summary.gapless}
             for board, summary in zip(recording.boards, summaries)}
    if len(parts) == 1:
        return next(iter(parts.values()))
    counters = None
    if all(summary is not None for summary in summaries):
        counters = {name: sum(summary.counters[name] for summary in summaries if summary is not None)
                    for name in summaries[0].counters}
    return {"attributes": attributes_json(recording.attributes), "counters": counters,
            "gapless": recording.gapless, "boards": parts}


def interval_spread(intervals: np.ndarray | None) -> str:
    if intervals is None:
        return "(no block times: recorded before they were stored)"
    if not len(intervals):
        return "(fewer than two blocks)"
    low, median, high99, high = np.percentile(intervals, [0, 50, 99, 100]) / 1e6
    return (f"median {median:.3f} ms, min {low:.3f}, 99th percentile {high99:.3f}, max {high:.3f} "
            f"({len(intervals):,} intervals)")


def add_board_rows(table: Table, recording, board) -> None:
    """What the table tells of a board's part of the recording."""
    attributes = board.attributes
    table.add_row("emulated", str(attributes["emulated"]))
    table.add_row("samples_count", f"{board.samples_count} rows per block")
    table.add_row("read_ahead", f"{attributes['read_ahead']:,} bytes" if "read_ahead" in attributes else "(not stored)")
    ratio = board.compression_ratio
    table.add_row("compression", board.compression + ("" if ratio is None else f" (ratio {ratio:.2f})"))
    table.add_row("rows", f"{board.rows:,} ({board.rows / board.samples_count:,.2f} blocks)")
    table.add_row("block intervals", interval_spread(board.block_intervals_ns()))
    summary = recording.summary(board)
    if summary is None:
        table.add_row("complete", "NO: the recording was not finished (no stopped_utc, gapless or stats_end)")
        return
    table.add_row("gapless", "yes" if summary.gapless else "NO: " + "\n".join(summary.reasons))
    for warning in summary.warnings:
        table.add_row("warning", warning)
    if summary.frames != board.rows:
        table.add_row("left out", f"{summary.frames - board.rows:,} frames read after the last row kept")
    table.add_row("counters", "growth from stats_start to stats_end")
    for name, grown in summary.counters.items():
        table.add_row(f"  {name}", f"{grown:,}")


def run_info(args: argparse.Namespace, arguments: Sequence[str]) -> int:
    from .recording_file import open_recording

    with open_recording(args.file) as recording:
        if args.json:
            print(json.dumps(info_json(recording)))
            return 0
        attributes = recording.attributes
        table = Table("", "", show_header=False, title=str(args.file))
        several = len(recording.boards) > 1
        names = ("started_utc", "stopped_utc", "module_version", "host") if several else \
            ("serial_number", "started_utc", "stopped_utc", "module_version", "host")
        for name in names:
            table.add_row(name, str(attributes.get(name, "(missing)")))
        if recording.seconds is not None:
            table.add_row("duration", f"{recording.seconds:.3f} s")
        if several:
            gapless = recording.gapless
            table.add_row("boards", ", ".join(board.serial for board in recording.boards))
            table.add_row("gapless", "(not finished)" if gapless is None else "yes" if gapless else "NO")
            console.print(table)
            for board in recording.boards:
                table = Table("", "", show_header=False, title=f"board {board.serial}")
                add_board_rows(table, recording, board)
                console.print(table)
        else:
            add_board_rows(table, recording, recording.boards[0])
            console.print(table)
    return 0


# ---- view ----

def run_view(args: argparse.Namespace, arguments: Sequence[str]) -> int:
    from .view import require_matplotlib

    require_matplotlib(window=args.save is None)
    if args.file is not None:
        return view_file(args.file, args.save)
    with one_board(args, arguments) as board, StopSignals() as signals:
        view_board(board, args.save, signals.event, args.no_data_timeout)
    return signals.status


def view_file(path: Path, save: Path | None) -> int:
    from .recording_file import open_recording
    from .view import plot_recording

    with open_recording(path) as recording:
        plot_recording(recording, save)
    if save is not None:
        console.print(f"saved {save}")
    return 0


def view_board(board, save: Path | None, stop: threading.Event, no_data_s: float) -> None:
    from .board import Ticker
    from .summary import summarize
    from .view import LiveView

    live = LiveView([board.serial], board.rows)
    first = board.snapshot()
    if save is not None:
        for block, time_ns in board.blocks(until=lambda: live.filled() or stop.is_set(), no_data_s=no_data_s,
                                           times=True):
            live.offer(0, block, time_ns)
        live.set_summaries([summarize(first, board.snapshot())])
        live.save(save)
        console.print(f"saved {save}")
        return

    def read():
        ticker = Ticker(TICK_S)
        for block, time_ns in board.blocks(until=stop.is_set, no_data_s=no_data_s, times=True):
            live.offer(0, block, time_ns)
            if ticker.due():
                live.set_summaries([summarize(first, board.snapshot())])

    live.run_beside(read, stop)


# ---- stream ----

def run_stream(args: argparse.Namespace, arguments: Sequence[str]) -> int:
    import _pynvk_boards_pp as nvk

    from .summary import summarize

    if not args.emulate and not nvk.list_pcb_rix():
        if missing := missing_for_emulation():
            raise EmulationUnavailable(f"no PCB_RIX board is attached, and {missing}")
        console.print("no PCB_RIX board attached: streaming from an emulated board")
        args.emulate = 1
        arguments = [*arguments, "--emulate"]
    with one_board(args, arguments) as board:
        console.print(f"serial number: {board.serial}  ({board.rows} rows per block)")
        first = board.snapshot()
        first_block = None
        blocks = 0
        with ProgressLine("streaming", args.seconds) as progress:
            for block in board.blocks(until=lambda: time.monotonic() - first.time >= args.seconds,
                                      no_data_s=args.no_data_timeout):
                first_block = block if first_block is None else first_block
                blocks += 1
                elapsed = time.monotonic() - first.time
                progress.update(elapsed, f"{blocks} blocks  {stream_rate(blocks * board.rows, elapsed)}")
        board.stop()
        summary = summarize(first, board.snapshot())
    rows = blocks * board.rows
    console.print(f"{blocks} blocks in {summary.seconds:.2f} s: {blocks / summary.seconds:.1f} blocks/s, "
                  f"{stream_rate(rows, summary.seconds)}, {rows / summary.seconds:,.0f} rows/s")
    for line in verdict_lines(summary):
        console.print(line)
    if first_block is not None:
        with np.printoptions(linewidth=120):
            print("first rows of the first block:")
            print(first_block[:5])
    return 0


# ---- command line ----

def version_text() -> str:
    """This distribution's version, and the module's: that of the installed
    distribution when the module loaded is the one it installed."""
    try:
        version = metadata.version(DISTRIBUTION)
        files = metadata.files(DISTRIBUTION) or []
    except metadata.PackageNotFoundError:
        version, files = "(not installed)", []
    try:
        import _pynvk_boards_pp as nvk
    except ImportError as error:
        return f"pcb-rix {version} ({DISTRIBUTION})\n{MODULE}: cannot be loaded: {error}"
    location = Path(nvk.__file__).resolve()
    installed = any(Path(str(file.locate())).resolve() == location for file in files)
    module = version if installed else "(not the installed distribution's)"
    return f"pcb-rix {version} ({DISTRIBUTION})\n{MODULE} {module}: {location}"


class VersionAction(argparse.Action):
    """--version: prints version_text(), which loads the module only when asked for."""

    def __init__(self, option_strings, dest, help=None):
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        print(version_text())
        parser.exit()


EXIT_USAGE = "2 for a usage error (a value out of range: nothing was opened)"
EXIT_SIGNALS = "130 or 143 when SIGINT (Ctrl-C) or SIGTERM ended it"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="pcb-rix", description=__doc__.split("\n\n")[0].split(": ", 1)[1],
                                     epilog="`pcb-rix COMMAND --help` tells a command's options and exit statuses.")
    parser.add_argument("--version", action=VersionAction, help="print the version of pcb-rix and of the module")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def add(name: str, run, help: str, exits: str) -> argparse.ArgumentParser:
        command = commands.add_parser(name, help=help, description=help, epilog=f"Exit status: {exits}.")
        command.set_defaults(run=run)
        return command

    def stream_options(command: argparse.ArgumentParser) -> None:
        command.add_argument("--rows", type=block_rows, default=DEFAULT_ROWS,
                             help=f"rows per block (default {DEFAULT_ROWS})")
        command.add_argument("--no-data-timeout", type=positive_seconds, default=NO_DATA_S,
                             metavar="SECONDS", help="end with an error when a board delivers nothing this long "
                             f"(default {NO_DATA_S:g})")
        command.add_argument("--read-ahead", type=read_ahead_bytes, default=DEFAULT_READ_AHEAD, metavar="BYTES",
                             help="USB transfers kept queued while a board runs, rounded up to whole USB packets "
                             f"(default {DEFAULT_READ_AHEAD}; 0: the module's synchronous reads)")

    def one_board_options(command: argparse.ArgumentParser) -> None:
        command.add_argument("--serial", help="serial number or its beginning (default: the first board listed)")
        command.add_argument("--emulate", action="store_const", const=1, default=0,
                             help="use an emulated board (needs umockdev and the ftdi_emulator package)")
        waveform_option(command)
        stream_options(command)

    def waveform_option(command: argparse.ArgumentParser) -> None:
        command.add_argument("--waveform", action="store_true",
                             help="with --emulate: the emulated boards send sines plus noise of 12 significant "
                                  "bits, as a real ADC does, instead of frames that count themselves")

    add("list", run_list, "the attached boards and whether each opens",
        f"0 (also when none is attached), 1 when the module cannot list, {EXIT_USAGE}")
    command = add("doctor", run_doctor, "why a board is not listed or does not open",
                  "0 when a board is listed and opens, 1 when none does, 2 when libusb or libftdi cannot be loaded "
                  "or started, or for a usage error")
    command.add_argument("--udev-rule", action="store_true",
                         help="print the udev rule that lets the plugdev group open the boards")

    command = add("record", run_record, "record one board or several to an HDF5 file",
                  f"0 when the recording ended by its time or blocks, 1 for an error (one line; a file that was "
                  f"begun is finished and keeps every block written before), {EXIT_USAGE}, {EXIT_SIGNALS} (the file "
                  f"is finished)")
    command.add_argument("out", type=Path, metavar="OUT.h5")
    which = command.add_mutually_exclusive_group()
    which.add_argument("--serial", dest="serials", action="append", metavar="SERIAL",
                       help="a board's serial number or its beginning; repeat it for several boards "
                            "(default: the first board listed, or the emulated boards)")
    which.add_argument("--all", action="store_true", help="record every listed board")
    command.add_argument("--emulate", type=emulated_count, nargs="?", const=1, default=0, metavar="N",
                         help=f"emulate N boards (1 to {MOST_EMULATED}, default 1) and record them; needs umockdev "
                              "and the ftdi_emulator package")
    waveform_option(command)
    until = command.add_mutually_exclusive_group()
    until.add_argument("--seconds", type=positive_seconds, help="record this long (default: until Ctrl-C)")
    until.add_argument("--blocks", type=whole_in(1), help="record exactly this many blocks of every board")
    command.add_argument("--compress", choices=(NO_COMPRESSION, *CODECS), default=NO_COMPRESSION,
                         help="HDF5's shuffle filter and this codec (hdf5plugin), one block per chunk; "
                              "default none, which any HDF5 tool reads")
    stream_options(command)
    command.add_argument("--force", action="store_true", help="overwrite OUT.h5 if it exists")
    command.add_argument("--view", action="store_true", help="show the live plot while recording")

    command = add("view", run_view, "plot a recording (each board's channels), or a board live",
                  f"0, 1 for an error (one line), {EXIT_USAGE}, {EXIT_SIGNALS} (live)")
    command.add_argument("file", type=Path, nargs="?", metavar="FILE.h5", help="a recording (default: a board, live)")
    one_board_options(command)
    command.add_argument("--save", type=Path, metavar="PNG", help="render one picture to PNG, without a display")

    command = add("info", run_info, "what a recording holds: attributes, rows, block intervals, compression, "
                                    "counters and verdict",
                  f"0 (also for a recording not finished), 1 when the file is no recording, {EXIT_USAGE}")
    command.add_argument("file", type=Path, metavar="FILE.h5")
    command.add_argument("--json", action="store_true",
                         help="print one JSON object: attributes, counters, gapless, and for several boards the "
                              "same per board under 'boards'")

    command = add("stream", run_stream, "stream from a board (or the emulated one when none is attached): "
                                         "rate and first rows",
                  f"0, 1 for an error (one line), {EXIT_USAGE}, 130 when Ctrl-C ended it")
    one_board_options(command)
    command.add_argument("--seconds", type=positive_seconds, default=5.0, help="how long (default 5)")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    arguments = with_emulate_count(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    args = parser.parse_args(arguments)
    if getattr(args, "waveform", False) and not args.emulate:
        parser.error("--waveform needs --emulate: only an emulated board sends the waveform")
    try:
        return args.run(args, arguments)
    except PcbRixError as error:
        print(f"pcb-rix {args.command}: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 128 + signal.SIGINT
