// The class PCB_RIX: argument conversions, properties and repr of a board.
#include <fmt/format.h>
#include <pybind11/chrono.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <stdexcept>

#include "module/arguments.hpp"
#include "module/bindings.hpp"
#include "module/gil.hpp"

namespace py = pybind11;

namespace pynvk {

namespace {

constexpr const char* kClassDoc =
    "\n        PCB_RIX class\n        --------\n        A class to handle the PCB_RIX device.\n"
    "        Attributes\n        ----------\n        serial_number: str\n"
    "            Serial number of the device.\n        ";

constexpr const char* kStatsDoc =
    "Counters of what the reader did with the board's stream, as a dict of int (bool for 'running'),\n"
    "cumulative since the board was made (start, stop and flush never reset them). bytes_read: stream\n"
    "bytes the reader's device reads (or USB transfers, with read_ahead) returned, realignment reads\n"
    "included; frames: rows written into blocks; torn_frames: those of them whose 12 bytes did not begin\n"
    "with 0xF0 0x0F; discarded_bytes: bytes read but written into no row (realignment reads, data a\n"
    "realignment threw away, a partial frame carried when the reader stopped, failed or was flushed), so\n"
    "that bytes_read == 12 * frames + discarded_bytes whenever the board is not running; blocks: full\n"
    "blocks handed on; partial_blocks: blocks that stop() handed on before they were full, delivered at\n"
    "full size with older rows or zeros behind their fresh ones; last_cut_rows: the fresh rows of the\n"
    "last of those; alignments: realignments a run needed before its first row (no data lost);\n"
    "realignments: those after a run's first row, each a gap in the data; purges: purges made by\n"
    "realignment; flushes: flush() calls; failed_reads: device reads (or transfers) that failed;\n"
    "short_reads: block reads of at most one frame (or transfers without a stream byte), which a quiet\n"
    "board gives: their bytes are kept; pool_waits: times the reader found no free block (a board that\n"
    "cannot pause loses data then); pool_wait_ns: how long it then waited; raw_reads, raw_bytes:\n"
    "_get_raw_data calls and the bytes they returned; ready_blocks: blocks waiting to be read now;\n"
    "running: whether the board is acquiring. A block is counted before it is handed on. Each counter\n"
    "is read atomically, but while the board runs they are read one after another, each at some\n"
    "moment of the call, not all at one instant. A board that did not open and was never started\n"
    "reports all zeros.";

constexpr const char* kReadAheadDoc =
    "Bytes of USB bulk transfers the reader keeps queued while it runs, so that the host goes on\n"
    "taking the board's data while the process is not scheduled (a board that cannot pause then\n"
    "loses nothing to a busy host). 0 (the default) reads block by block with libftdi's synchronous\n"
    "reads, one transfer at a time. Other values are rounded up to whole 512-byte USB packets and\n"
    "split into transfers of at most 64 KiB (1 MiB: 16 transfers). Takes effect at the next start().\n"
    "A negative value raises ValueError, anything but an int TypeError.";

constexpr const char* kTakeBlockDoc =
    "take_block(timeout=None): the oldest filled block and when it was completed, as (int16 array of\n"
    "shape (rows, 5), UTC nanoseconds), or None when none came within `timeout` seconds (None waits\n"
    "without limit, zero or less does not wait; Ctrl-C ends the wait). The time is when the device\n"
    "read (or transfer) that gave the block's last row returned: the wall-clock time at start() plus\n"
    "the steady time since, so times never go backwards within a run. A block cut short by stop()\n"
    "carries the time of its last fresh row.";

constexpr const char* kTimeoutDoc = "\n                Timeout for the device operations in nanoseconds.\n                ";

}  // namespace

void bind_pcb_rix(py::module_& module) {
  py::class_<py_PCB_RIX>(module, "PCB_RIX", kClassDoc)
      .def(py::init([](std::string serial_number, std::size_t samples_count) {
             // pybind11 looks NumPy's API up on first use and lets the
             // interpreter lock go meanwhile, in a destructor that must not
             // meet interpreter exit: done here, before a readout of this
             // board can be the first use on a thread that exit may end.
             py::dtype::of<int16_t>();
             return std::make_unique<py_PCB_RIX>(std::move(serial_number), samples_count);
           }),
           py::arg("serial_number"), py::arg("samples_count") = 4096)
      .def_property_readonly("samples", &read_samples, "")
      .def("_get_raw_data", &read_raw_data)
      .def("start", [](py_PCB_RIX& board) { without_gil([&] { board.start(); }); })
      .def("stop", [](py_PCB_RIX& board) { without_gil([&] { board.stop(); }); })
      .def_property(
          "timeout", &py_PCB_RIX::get_timeout,
          [](py_PCB_RIX& board, TimeoutArgument timeout) { board.set_timeout(timeout.value); }, kTimeoutDoc)
      .def("serial_number", &py_PCB_RIX::get_serial_number)
      .def("__repr__",
           [](const py_PCB_RIX& board) {
             return fmt::format("PCB_RIX(serial_number='{}')", board.get_serial_number());
           })
      .def("opened", &py_PCB_RIX::opened)
      .def("flush", [](py_PCB_RIX& board) { without_gil([&] { board.flush(); }); })
      .def("stats", &stats_dict, kStatsDoc)
      .def_property(
          "read_ahead", &py_PCB_RIX::get_read_ahead,
          [](py_PCB_RIX& board, ReadAheadArgument bytes) { board.set_read_ahead(bytes.value); },
          kReadAheadDoc)
      .def("take_block", &take_block, py::arg("timeout") = py::none(), kTakeBlockDoc);
}

void add_stream_facts(py::module_& module) {
  module.attr("FRAME_SIZE") = py_PCB_RIX::kFrameSize;
  module.attr("COLUMNS") = py_PCB_RIX::kColumns;
  module.attr("MIN_SAMPLES_COUNT") = py_PCB_RIX::kMinSamplesCount;
  module.attr("MAX_SAMPLES_COUNT") = py_PCB_RIX::kMaxSamplesCount;
  module.attr("USB_PACKET_SIZE") = py_PCB_RIX::kUsbPacketSize;
  module.attr("MAX_READ_AHEAD") = ReadAheadArgument::kMost;
  // The keys of stats(), in order, and those of them that tell a state rather
  // than a running total.
  py::list keys;
#define PYNVK_ADD_NAME(name, writer) keys.append(#name);
  PYNVK_STREAM_COUNTERS(PYNVK_ADD_NAME)
#undef PYNVK_ADD_NAME
  keys.append("ready_blocks");
  keys.append("running");
  module.attr("STATS_KEYS") = py::tuple(keys);
  module.attr("STATS_STATES") = py::make_tuple("last_cut_rows", "ready_blocks", "running");
}

}  // namespace pynvk
