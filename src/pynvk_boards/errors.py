"""The package's exceptions. They load nothing else, so that `pcb-rix
doctor` runs even when the module cannot be loaded."""


class PcbRixError(Exception):
    """An error whose message says all a user needs: `pcb-rix` prints it as one line."""


class BoardError(PcbRixError, RuntimeError):
    """No such board, or the board did not open."""


class NoBoardError(BoardError):
    """No PCB_RIX board is attached."""


class NoDataError(PcbRixError, TimeoutError):
    """A started board delivered no block for too long."""


class NotARecording(PcbRixError, ValueError):
    """A file that is no readable recording."""


class EmulationUnavailable(PcbRixError, RuntimeError):
    """The emulated board cannot run here; the message says what is missing."""


class ViewUnavailable(PcbRixError, RuntimeError):
    """matplotlib, or a display for a window, is missing."""
