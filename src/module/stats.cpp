// The board's stream counters as a Python dict.
#include <pybind11/pybind11.h>

#include "module/bindings.hpp"

namespace py = pybind11;

namespace pynvk {

py::typing::Dict<py::str, int> stats_dict(const py_PCB_RIX& board) {
  const StreamStats stats = board.stats();
  py::typing::Dict<py::str, int> counters;
#define PYNVK_ADD_COUNTER(name, writer) counters[#name] = stats.name;
  PYNVK_STREAM_COUNTERS(PYNVK_ADD_COUNTER)
#undef PYNVK_ADD_COUNTER
  counters["ready_blocks"] = stats.ready_blocks;
  counters["running"] = stats.running;
  return counters;
}

}  // namespace pynvk
