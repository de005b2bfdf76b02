// Entry of _pynvk_boards_pp. pybind11's module facility gives the PEP 489
// multi-phase definition and refuses interpreters other than the one built for.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "ftdi/ftdi_device.hpp"
#include "module/bindings.hpp"

PYBIND11_MODULE(_pynvk_boards_pp, module) {
  module.doc() = "\n        _pynvk_boards_pp\n        --------\n    ";
  module.def("list_pcb_rix", [] { return list_ftdi_serials(std::string("NVK"), std::string("PCB_RIX")); });
  pynvk::bind_pcb_rix(module);
  pynvk::add_stream_facts(module);
}
