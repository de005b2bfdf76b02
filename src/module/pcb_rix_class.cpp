// The class PCB_RIX: argument conversions, properties and repr of a board.
#include <fmt/format.h>
#include <pybind11/chrono.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>

#include "module/bindings.hpp"
#include "module/gil.hpp"

namespace py = pybind11;

namespace pynvk {

// A timeout as Python gives it: a datetime.timedelta, or a float of seconds.
struct TimeoutArgument {
  std::chrono::nanoseconds value;
};

}  // namespace pynvk

namespace pybind11::detail {

// pybind11's duration conversion, refusing with OverflowError a value whose
// nanoseconds do not fit the signed 64-bit count (about 292 years either
// way), which would otherwise wrap around into some other timeout, with
// ValueError a NaN, and with a TypeError that names what is accepted anything
// that is neither a timedelta nor a float.
template <>
struct type_caster<pynvk::TimeoutArgument> {
  PYBIND11_TYPE_CASTER(pynvk::TimeoutArgument, const_name("datetime.timedelta | float"));

  bool load(handle src, bool convert) {
    if (!PyDateTimeAPI) PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw error_already_set();
    if (!PyDelta_Check(src.ptr()) && !PyFloat_Check(src.ptr())) {
      throw type_error("timeout must be a datetime.timedelta or a float of seconds, not " +
                       std::string(Py_TYPE(src.ptr())->tp_name));
    }
    if (PyFloat_Check(src.ptr()) && std::isnan(PyFloat_AsDouble(src.ptr()))) {
      throw value_error("timeout must be a number of seconds, not NaN");
    }
    if (!fits_nanoseconds(src)) {
      throw std::overflow_error("timeout must lie within 292 years either way (a signed 64-bit count of nanoseconds)");
    }
    make_caster<std::chrono::nanoseconds> nanoseconds;
    if (!nanoseconds.load(src, convert)) return false;
    value.value = cast_op<std::chrono::nanoseconds>(nanoseconds);
    return true;
  }

 private:
  static bool fits_nanoseconds(handle src) {
    constexpr __int128 kLowest = std::numeric_limits<int64_t>::min();
    constexpr __int128 kHighest = std::numeric_limits<int64_t>::max();
    if (PyDelta_Check(src.ptr())) {
      const __int128 microseconds =
          (__int128{PyDateTime_DELTA_GET_DAYS(src.ptr())} * 86'400 + PyDateTime_DELTA_GET_SECONDS(src.ptr())) *
              1'000'000 +
          PyDateTime_DELTA_GET_MICROSECONDS(src.ptr());
      return microseconds * 1000 >= kLowest && microseconds * 1000 <= kHighest;
    }
    // A float: the conversion multiplies in double precision.
    const double nanoseconds = PyFloat_AsDouble(src.ptr()) * 1e9;
    return nanoseconds >= -0x1p63 && nanoseconds < 0x1p63;
  }
};

}  // namespace pybind11::detail

namespace pynvk {

namespace {

constexpr const char* kClassDoc =
    "\n        PCB_RIX class\n        --------\n        A class to handle the PCB_RIX device.\n"
    "        Attributes\n        ----------\n        serial_number: str\n"
    "            Serial number of the device.\n        ";

constexpr const char* kStatsDoc =
    "Counters of what the reader did with the board's stream, as a dict of int (bool for 'running'),\n"
    "cumulative since the board was made (start, stop and flush never reset them). bytes_read: stream\n"
    "bytes the reader's device reads returned, realignment reads included; frames: rows written into\n"
    "blocks; torn_frames: those of them whose 12 bytes did not begin with 0xF0 0x0F; discarded_bytes:\n"
    "bytes read but written into no row (realignment reads, tails shorter than a frame, reads too\n"
    "short to use, what the reader held when it stopped), so that bytes_read == 12 * frames +\n"
    "discarded_bytes whenever the board is not running; blocks: full blocks handed on;\n"
    "partial_blocks: blocks that stop() handed on before they were full, delivered at full size with\n"
    "older rows or zeros behind their fresh ones; last_cut_rows: the fresh rows of the last of those;\n"
    "alignments: realignments a run needed before its first row (no data lost); realignments: those\n"
    "after a run's first row, each a gap in the data; purges: purges made by realignment; flushes:\n"
    "flush() calls; failed_reads: device reads that failed; short_reads: block reads of at most one\n"
    "frame, taken as no data; pool_waits: times the reader found no free block (a board that cannot\n"
    "pause loses data then); pool_wait_ns: how long it then waited; raw_reads, raw_bytes:\n"
    "_get_raw_data calls and the bytes they returned; ready_blocks: blocks waiting to be read now;\n"
    "running: whether the board is acquiring. A block is counted before it is handed on. Each counter\n"
    "is read atomically, but while the board runs they are read one after another, each at some\n"
    "moment of the call, not all at one instant. A board that did not open and was never started\n"
    "reports all zeros.";

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
      .def("stats", &stats_dict, kStatsDoc);
}

}  // namespace pynvk
