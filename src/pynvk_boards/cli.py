"""`pcb-rix`: list, diagnose, record, view and stream PCB_RIX boards.

Errors end a command with one line on stderr and a non-zero exit status;
a recording ended by SIGINT or SIGTERM exits with 130 or 143."""

from __future__ import annotations

import argparse
import os
import signal
import sys
import threading
import time
from collections.abc import Iterator, Sequence
from contextlib import ExitStack, contextmanager
from pathlib import Path

import numpy as np
from rich.console import Console
from rich.progress import BarColumn, Progress, TaskID, TextColumn, TimeElapsedColumn
from rich.table import Column, Table

from . import doctor
from .emulation import emulated_board, missing_for_emulation, restart_under_umockdev, under_umockdev
from .errors import EmulationUnavailable, NoBoardError, PcbRixError

FRAME_BYTES = 12
MB = 1e6
console = Console(highlight=False, soft_wrap=True)


class CommandError(PcbRixError):
    """Ends the command with its message and exit status 1."""


def positive_int(text: str) -> int:
    value = int(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be positive, not {value}")
    return value


def positive_float(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be positive, not {text}")
    return value


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
def board_for(args: argparse.Namespace, arguments: Sequence[str]) -> Iterator:
    """The board a command asked for: with --emulate the emulated one (the
    process starts again under umockdev first, when it has to)."""
    from .board import open_board

    if args.emulate and not under_umockdev():
        restart_under_umockdev(arguments)
    with ExitStack() as stack:
        emulated_serial = stack.enter_context(emulated_board()) if args.emulate else None
        try:
            board = stack.enter_context(open_board(args.serial or emulated_serial, args.rows))
        except NoBoardError as error:
            raise NoBoardError(f"{error}; with --emulate, `pcb-rix {args.command}` uses the emulated board") from None
        except ValueError as error:  # a row count the module refuses
            raise CommandError(str(error)) from None
        yield board


def progress_bar(description: str, total: float | None) -> tuple[Progress, TaskID]:
    # On a narrow terminal the status text gives way, not the elapsed time.
    progress = Progress(TextColumn(description), BarColumn(bar_width=10, table_column=Column(min_width=10)),
                        TimeElapsedColumn(table_column=Column(min_width=7, no_wrap=True)),
                        TextColumn("{task.fields[status]}", table_column=Column(overflow="ellipsis", no_wrap=True)),
                        console=console)
    return progress, progress.add_task(description, total=total, status="")


def verdict_lines(summary) -> list[str]:
    lines = ["gapless: yes" if summary.gapless else f"gapless: NO: {'; '.join(summary.reasons)}"]
    lines += [f"warning: {warning}" for warning in summary.warnings]
    return lines


# ---- list ----

def run_list(args: argparse.Namespace, arguments: Sequence[str]) -> int:
    import _pynvk_boards_pp as nvk

    from .board import choose_serial

    listed = nvk.list_pcb_rix()
    if not listed:
        # An empty list is an answer, not a failure: the doctor's status tells
        # whether a board is usable.
        console.print("no PCB_RIX board is attached: `pcb-rix doctor` tells why none is listed; "
                      "`pcb-rix record --emulate OUT.h5` records from an emulated board")
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
        device = nvk.PCB_RIX(serial, samples_count=2)
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
    from .recording import RecordingWriter

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
    with board_for(args, arguments) as board, StopSignals() as signals:
        try:
            writer = RecordingWriter(out, serial=board.serial, rows=board.rows, emulated=args.emulate,
                                     overwrite=args.force)
        except OSError as error:
            raise CommandError(f"cannot create {out}: {os.strerror(error.errno) if error.errno else error}") from None
        try:
            console.print(f"recording board {board.serial} ({board.rows} rows per block) to {out}; Ctrl-C stops")
            outcome = record_with_progress(args, board, writer, signals.event)
        finally:
            writer.close()
    blocks = outcome.rows / board.rows
    console.print(f"wrote {outcome.rows:,} rows ({blocks:,.2f} blocks of {board.rows}) to {out} "
                  f"in {outcome.summary.seconds:.2f} s: {outcome.summary.stream_bytes_per_s / MB:.2f} MB/s of stream")
    for line in verdict_lines(outcome.summary):
        console.print(line)
    if outcome.frames_left_out:
        console.print(f"left out: {outcome.frames_left_out:,} frames the board read after the last row kept")
    if outcome.error is not None:
        raise CommandError(f"{outcome.error}; {out} keeps the {outcome.rows:,} rows written before")
    return signals.status


def record_with_progress(args: argparse.Namespace, board, writer, stop: threading.Event):
    from .recording import record

    total = args.seconds if args.seconds is not None else args.blocks
    progress, task = progress_bar("recording", total)

    def on_tick(summary, now, rows):
        done = summary.seconds if args.seconds is not None else rows / board.rows
        status = (f"{rows:,} rows, {rows * FRAME_BYTES / max(summary.seconds, 1e-9) / MB:.1f} MB/s, "
                  f"{now.stats['ready_blocks']} blocks waiting, gapless so far: {'yes' if summary.gapless else 'NO'}")
        progress.update(task, completed=done, status=status)
        if live is not None:
            live.set_summary(summary)

    live = None
    if args.view:
        from .view import LiveView

        live = LiveView(board.serial, board.rows)
    options = dict(seconds=args.seconds, blocks=args.blocks, stopping=stop.is_set, on_tick=on_tick,
                   on_block=live.offer if live else lambda block: None)
    with progress:
        if live is None:
            return record(board, writer, **options)
        # The recording never waits for the window: it only offers blocks.
        return live.run_beside(lambda: record(board, writer, **options), stop)


# ---- info ----

def run_info(args: argparse.Namespace, arguments: Sequence[str]) -> int:
    from .recording import open_recording, read_recording

    with open_recording(args.file) as file:
        recording = read_recording(file)
    attributes = recording.attributes
    table = Table("", "", show_header=False, title=str(args.file))
    for name in ("serial_number", "started_utc", "stopped_utc", "module_version", "host", "emulated"):
        table.add_row(name, str(attributes.get(name, "(missing)")))
    table.add_row("samples_count", f"{attributes['samples_count']} rows per block")
    table.add_row("rows", f"{recording.rows:,} ({recording.rows / attributes['samples_count']:,.2f} blocks)")
    summary = recording.summary()
    if summary is None:
        table.add_row("complete", "NO: the recording was not finished (no stopped_utc, gapless or stats_end)")
    else:
        table.add_row("duration", f"{summary.seconds:.3f} s")
        table.add_row("gapless", "yes" if summary.gapless else "NO: " + "\n".join(summary.reasons))
        for warning in summary.warnings:
            table.add_row("warning", warning)
        if summary.frames != recording.rows:
            table.add_row("left out", f"{summary.frames - recording.rows:,} frames read after the last row kept")
        table.add_row("counters", "growth from stats_start to stats_end")
        for name, grown in summary.counters.items():
            table.add_row(f"  {name}", f"{grown:,}")
    console.print(table)
    return 0


# ---- view ----

def run_view(args: argparse.Namespace, arguments: Sequence[str]) -> int:
    from .view import require_matplotlib

    require_matplotlib(window=args.save is None)
    if args.file is not None:
        return view_file(args.file, args.save)
    with board_for(args, arguments) as board, StopSignals() as signals:
        view_board(board, args.save, signals.event)
    return signals.status


def view_file(path: Path, save: Path | None) -> int:
    from .recording import open_recording, read_recording
    from .view import counters_title, plot_recording

    with open_recording(path) as file:
        recording = read_recording(file)
        summary = recording.summary()
        serial = recording.attributes["serial_number"]
        if summary is None:
            title, rate = f"{serial}: {recording.rows:,} rows (recording not finished)", None
        else:
            title, rate = counters_title(serial, summary), recording.rows / summary.seconds
        plot_recording(file["samples"], rate, title, save)
    if save is not None:
        console.print(f"saved {save}")
    return 0


def view_board(board, save: Path | None, stop: threading.Event) -> None:
    from .board import Ticker
    from .summary import summarize
    from .view import LiveView

    live = LiveView(board.serial, board.rows)
    first = board.snapshot()
    if save is not None:
        for block in board.blocks(until=lambda: len(live.latest) == live.latest.maxlen or stop.is_set()):
            live.offer(block)
        live.set_summary(summarize(first, board.snapshot()))
        live.save(save)
        console.print(f"saved {save}")
        return

    def read():
        ticker = Ticker(0.1)
        for block in board.blocks(until=stop.is_set):
            live.offer(block)
            if ticker.due():
                live.set_summary(summarize(first, board.snapshot()))

    live.run_beside(read, stop)


# ---- stream ----

def run_stream(args: argparse.Namespace, arguments: Sequence[str]) -> int:
    import _pynvk_boards_pp as nvk

    from .summary import summarize

    if not args.emulate and not nvk.list_pcb_rix():
        if missing := missing_for_emulation():
            raise EmulationUnavailable(f"no PCB_RIX board is attached, and {missing}")
        console.print("no PCB_RIX board attached: streaming from an emulated board")
        args.emulate = True
        arguments = [*arguments, "--emulate"]
    with board_for(args, arguments) as board:
        console.print(f"serial number: {board.serial}  ({board.rows} rows per block)")
        first = board.snapshot()
        first_block = None
        blocks = 0
        progress, task = progress_bar("streaming", args.seconds)
        with progress:
            for block in board.blocks(until=lambda: time.monotonic() - first.time >= args.seconds):
                first_block = block if first_block is None else first_block
                blocks += 1
                elapsed = time.monotonic() - first.time
                progress.update(task, completed=elapsed, status=f"{blocks} blocks  "
                                f"{blocks * len(block) * FRAME_BYTES / elapsed / MB:6.2f} MB/s")
        board.stop()
        summary = summarize(first, board.snapshot())
    rows = blocks * board.rows
    console.print(f"{blocks} blocks in {summary.seconds:.2f} s: {blocks / summary.seconds:.1f} blocks/s, "
                  f"{rows * FRAME_BYTES / summary.seconds / MB:.2f} MB/s, {rows / summary.seconds:,.0f} rows/s")
    for line in verdict_lines(summary):
        console.print(line)
    if first_block is not None:
        with np.printoptions(linewidth=120):
            print("first rows of the first block:")
            print(first_block[:5])
    return 0


# ---- command line ----

def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="pcb-rix", description=__doc__.split("\n\n")[0].split(": ", 1)[1])
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def add(name: str, run, help: str) -> argparse.ArgumentParser:
        command = commands.add_parser(name, help=help, description=help)
        command.set_defaults(run=run)
        return command

    def board_options(command: argparse.ArgumentParser, rows: bool = True) -> None:
        command.add_argument("--serial", help="serial number or its beginning (default: the first board listed)")
        if rows:
            command.add_argument("--rows", type=positive_int, default=4096, help="rows per block (default 4096)")
        command.add_argument("--emulate", action="store_true",
                             help="use an emulated board (needs umockdev and the ftdi_emulator package)")

    add("list", run_list, "the attached boards and whether each opens")
    command = add("doctor", run_doctor, "why a board is not listed or does not open (exit 0 when one opens)")
    command.add_argument("--udev-rule", action="store_true",
                         help="print the udev rule that lets the plugdev group open the boards")

    command = add("record", run_record, "record a board to an HDF5 file")
    command.add_argument("out", type=Path, metavar="OUT.h5")
    board_options(command)
    until = command.add_mutually_exclusive_group()
    until.add_argument("--seconds", type=positive_float, help="record this long (default: until Ctrl-C)")
    until.add_argument("--blocks", type=positive_int, help="record exactly this many blocks")
    command.add_argument("--force", action="store_true", help="overwrite OUT.h5 if it exists")
    command.add_argument("--view", action="store_true", help="show the live plot while recording")

    command = add("view", run_view, "plot a recording, or a board live")
    command.add_argument("file", type=Path, nargs="?", metavar="FILE.h5", help="a recording (default: a board, live)")
    board_options(command)
    command.add_argument("--save", type=Path, metavar="PNG", help="render one picture to PNG, without a display")

    command = add("info", run_info, "what a recording holds: attributes, rows, counters and verdict")
    command.add_argument("file", type=Path, metavar="FILE.h5")

    command = add("stream", run_stream, "stream from a board (or the emulated one when none is attached): "
                                         "rate and first rows")
    board_options(command)
    command.add_argument("--seconds", type=positive_float, default=5.0, help="how long (default 5)")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    arguments = list(sys.argv[1:] if argv is None else argv)
    args = build_parser().parse_args(arguments)
    try:
        return args.run(args, arguments)
    except PcbRixError as error:
        print(f"pcb-rix {args.command}: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 128 + signal.SIGINT
