// The class PCB_RIX: argument conversions, properties and repr of a board.
#include <fmt/format.h>
#include <pybind11/chrono.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>

#include "module/bindings.hpp"

namespace py = pybind11;

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
      .def_property("timeout", &py_PCB_RIX::get_timeout, &py_PCB_RIX::set_timeout, kTimeoutDoc)
      .def("serial_number", &py_PCB_RIX::get_serial_number)
      .def("__repr__",
           [](const py_PCB_RIX& board) {
             return fmt::format("PCB_RIX(serial_number='{}')", board.get_serial_number());
           })
      .def("opened", &py_PCB_RIX::opened)
      .def("flush", &py_PCB_RIX::flush);
}

}  // namespace pynvk
