"""Settings shared by the API and the `pcb-rix` command. Loads nothing else,
so that the command's options exist (and `pcb-rix doctor` runs) even when
the module cannot be loaded."""

DISTRIBUTION = "pynvk-boards-pp"
DEFAULT_ROWS = 4096
# USB transfers kept queued while a board runs, so that a busy host still
# takes the board's data (PCB_RIX.read_ahead; 0 reads block by block).
DEFAULT_READ_AHEAD = 1 << 20
# A started board that delivers no block this long ends a read with NoDataError.
NO_DATA_S = 5.0
# How often progress is reported.
TICK_S = 0.1
# How a recording's samples may be stored: as they are, or through HDF5's
# shuffle filter and one of these codecs of hdf5plugin.
NO_COMPRESSION = "none"
CODECS = ("lz4", "zstd")
