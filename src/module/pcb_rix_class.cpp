// The class PCB_RIX: argument conversions, properties and repr of a board.
#include <fmt/format.h>
#include <pybind11/chrono.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <limits>
#include <memory>
#include <stdexcept>

#include "module/bindings.hpp"

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
// way), which would otherwise wrap around into some other timeout.
template <>
struct type_caster<pynvk::TimeoutArgument> {
  PYBIND11_TYPE_CASTER(pynvk::TimeoutArgument, const_name("datetime.timedelta"));

  bool load(handle src, bool convert) {
    if (!PyDateTimeAPI) PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw error_already_set();
    if (!fits_nanoseconds(src)) {
      throw std::overflow_error("timeout must lie within 292 years either way (a signed 64-bit count of nanoseconds)");
    }
    make_caster<std::chrono::nanoseconds> nanoseconds;
    if (!nanoseconds.load(src, convert)) return false;
    value.value = cast_op<std::chrono::nanoseconds>(nanoseconds);
    return true;
  }

 private:
  // True for anything that is not a timedelta or float: the duration
  // conversion refuses those itself.
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
    if (PyFloat_Check(src.ptr())) {
      // The conversion multiplies in double precision; NaN fails both tests.
      const double nanoseconds = PyFloat_AsDouble(src.ptr()) * 1e9;
      return nanoseconds >= -0x1p63 && nanoseconds < 0x1p63;
    }
    return true;
  }
};

}  // namespace pybind11::detail

namespace pynvk {

namespace {

constexpr const char* kClassDoc =
    "\n        PCB_RIX class\n        --------\n        A class to handle the PCB_RIX device.\n"
    "        Attributes\n        ----------\n        serial_number: str\n"
    "            Serial number of the device.\n        ";

constexpr const char* kTimeoutDoc = "\n                Timeout for the device operations in nanoseconds.\n                ";

}  // namespace

void bind_pcb_rix(py::module_& module) {
  py::class_<py_PCB_RIX>(module, "PCB_RIX", kClassDoc)
      .def(py::init([](std::string serial_number, std::size_t samples_count) {
             return std::make_unique<py_PCB_RIX>(std::move(serial_number), samples_count);
           }),
           py::arg("serial_number"), py::arg("samples_count") = 4096)
      .def_property_readonly("samples", &read_samples, "")
      .def("_get_raw_data", &read_raw_data)
      .def("start", &py_PCB_RIX::start)
      .def("stop", &py_PCB_RIX::stop)
      .def_property(
          "timeout", &py_PCB_RIX::get_timeout,
          [](py_PCB_RIX& board, TimeoutArgument timeout) { board.set_timeout(timeout.value); }, kTimeoutDoc)
      .def("serial_number", &py_PCB_RIX::get_serial_number)
      .def("__repr__",
           [](const py_PCB_RIX& board) {
             return fmt::format("PCB_RIX(serial_number='{}')", board.get_serial_number());
           })
      .def("opened", &py_PCB_RIX::opened)
      .def("flush", &py_PCB_RIX::flush);
}

}  // namespace pynvk
