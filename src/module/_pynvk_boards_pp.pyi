"""
        _pynvk_boards_pp
        --------
    
"""
from __future__ import annotations
import datetime
import numpy
import numpy.typing
import typing
class PCB_RIX:
    """
            PCB_RIX class
            --------
            A class to handle the PCB_RIX device.
            Attributes
            ----------
            serial_number: str
                Serial number of the device.
            
    """
    def __init__(self, serial_number: str, samples_count: typing.SupportsInt | typing.SupportsIndex = 4096) -> None:
        ...
    def __repr__(self) -> str:
        ...
    def _get_raw_data(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> numpy.typing.NDArray[numpy.uint8]:
        ...
    def flush(self) -> None:
        ...
    def opened(self) -> bool:
        ...
    def serial_number(self) -> str:
        ...
    def start(self) -> None:
        ...
    def stats(self) -> dict[str, int]:
        """
        Counters of what the reader did with the board's stream, as a dict of int (bool for 'running'),
        cumulative since the board was made (start, stop and flush never reset them). bytes_read: stream
        bytes the reader's device reads (or USB transfers, with read_ahead) returned, realignment reads
        included; frames: rows written into blocks; torn_frames: those of them whose 12 bytes did not begin
        with 0xF0 0x0F; discarded_bytes: bytes read but written into no row (realignment reads, data a
        realignment threw away, a partial frame carried when the reader stopped, failed or was flushed), so
        that bytes_read == 12 * frames + discarded_bytes whenever the board is not running; blocks: full
        blocks handed on; partial_blocks: blocks that stop() handed on before they were full, delivered at
        full size with older rows or zeros behind their fresh ones; last_cut_rows: the fresh rows of the
        last of those; alignments: realignments a run needed before its first row (no data lost);
        realignments: those after a run's first row, each a gap in the data; purges: purges made by
        realignment; flushes: flush() calls; failed_reads: device reads (or transfers) that failed;
        short_reads: block reads of at most one frame (or transfers without a stream byte), which a quiet
        board gives: their bytes are kept; pool_waits: times the reader found no free block (a board that
        cannot pause loses data then); pool_wait_ns: how long it then waited; raw_reads, raw_bytes:
        _get_raw_data calls and the bytes they returned; ready_blocks: blocks waiting to be read now;
        running: whether the board is acquiring. A block is counted before it is handed on. Each counter
        is read atomically, but while the board runs they are read one after another, each at some
        moment of the call, not all at one instant. A board that did not open and was never started
        reports all zeros.
        """
    def stop(self) -> None:
        ...
    def take_block(self, timeout: float | None = None) -> tuple[numpy.typing.NDArray[numpy.int16], int] | None:
        """
        take_block(timeout=None): the oldest filled block and when it was completed, as (int16 array of
        shape (rows, 5), UTC nanoseconds), or None when none came within `timeout` seconds (None waits
        without limit, zero or less does not wait; Ctrl-C ends the wait). The time is when the device
        read (or transfer) that gave the block's last row returned: the wall-clock time at start() plus
        the steady time since, so times never go backwards within a run. A block cut short by stop()
        carries the time of its last fresh row.
        """
    @property
    def read_ahead(self) -> int:
        """
        Bytes of USB bulk transfers the reader keeps queued while it runs, so that the host goes on
        taking the board's data while the process is not scheduled (a board that cannot pause then
        loses nothing to a busy host). 0 (the default) reads block by block with libftdi's synchronous
        reads, one transfer at a time. Other values are rounded up to whole 512-byte USB packets and
        split into transfers of at most 64 KiB (1 MiB: 16 transfers). Takes effect at the next start().
        A negative value raises ValueError, anything but an int TypeError.
        """
    @read_ahead.setter
    def read_ahead(self, arg1: int) -> None:
        ...
    @property
    def samples(self) -> numpy.typing.NDArray[numpy.int16] | None:
        ...
    @property
    def timeout(self) -> datetime.timedelta | None:
        """
                        Timeout for the device operations in nanoseconds.
        """
    @timeout.setter
    def timeout(self, arg1: datetime.timedelta | float) -> None:
        ...
def list_pcb_rix() -> list[str]:
    ...
COLUMNS: int = 5
FRAME_SIZE: int = 12
MAX_READ_AHEAD: int = 1073741824
MAX_SAMPLES_COUNT: int = 178956970
MIN_SAMPLES_COUNT: int = 2
STATS_KEYS: tuple = ('bytes_read', 'frames', 'torn_frames', 'discarded_bytes', 'blocks', 'partial_blocks', 'last_cut_rows', 'alignments', 'realignments', 'purges', 'flushes', 'failed_reads', 'short_reads', 'pool_waits', 'pool_wait_ns', 'raw_reads', 'raw_bytes', 'ready_blocks', 'running')
STATS_STATES: tuple = ('last_cut_rows', 'ready_blocks', 'running')
USB_PACKET_SIZE: int = 512
