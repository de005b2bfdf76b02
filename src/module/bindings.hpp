// Registration of the Python-facing pieces of _pynvk_boards_pp, one file per
// bound piece; module.cpp calls them in the module's attribute order.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

#include "board/py_pcb_rix.hpp"
#include "module/arguments.hpp"

namespace pynvk {

// Adds the class PCB_RIX with its members, in their registration order.
void bind_pcb_rix(pybind11::module_& module);

// Adds the facts of the board's stream that the package, the benchmark and
// the tests share: frame size, columns, block sizes, counter names.
void add_stream_facts(pybind11::module_& module);

// `samples`: the next filled block as a new int16 array of shape (rows, 5), or
// None when none came within the board's timeout.
pybind11::typing::Optional<pybind11::array_t<int16_t>> read_samples(py_PCB_RIX& board);

// `take_block`: the next filled block and the time noted on it, as
// (int16 array, UTC nanoseconds), waiting up to `timeout` seconds (None: without
// limit); None when none came.
pybind11::typing::Optional<pybind11::typing::Tuple<pybind11::array_t<int16_t>, int>> take_block(
    py_PCB_RIX& board, BlockWaitArgument timeout);

// `_get_raw_data`: up to `count` raw bytes from the device, with a running
// reader held off for the read.
pybind11::array_t<uint8_t> read_raw_data(py_PCB_RIX& board, int64_t count);

// `stats`: the board's counters as a dict, in their order.
pybind11::typing::Dict<pybind11::str, int> stats_dict(const py_PCB_RIX& board);

}  // namespace pynvk
