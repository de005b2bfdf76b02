// Readout of a board into NumPy arrays: `samples` and `_get_raw_data`.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "module/bindings.hpp"

namespace py = pybind11;

namespace pynvk {

py::typing::Optional<py::array_t<int16_t>> read_samples(py_PCB_RIX& board) {
  // Taken once, under the interpreter lock: a timeout assigned during the
  // wait applies to the next call.
  const auto timeout = board.get_timeout();
  PooledBlock handle = [&] {
    py::gil_scoped_release release;
    return board.pop_ready_block(timeout);
  }();
  if (!handle.block) return py::none();

  // From here `handle` returns the block to the free queue when it goes out of
  // scope, under the interpreter lock, on every path (exceptions included).
  const SampleBlock& block = *handle.block;
  py::array_t<int16_t> samples({block.rows, block.cols});
  {
    // Nothing else can reach the new array yet, so the copy needs no lock.
    // The block's uint16 rows and the array's int16 rows have the same
    // contiguous row-major layout and the same bits.
    py::gil_scoped_release release;
    std::memcpy(samples.mutable_data(), block.data.data(), block.data.size() * sizeof(uint16_t));
  }
  return samples;
}

py::array_t<uint8_t> read_raw_data(py_PCB_RIX& board, int64_t count) {
  // A device read takes a signed 32-bit length; a larger count would read
  // into an array of another size, so it is refused before any allocation.
  if (count > std::numeric_limits<int32_t>::max()) {
    throw std::invalid_argument("count must be at most " + std::to_string(std::numeric_limits<int32_t>::max()) +
                                ", got " + std::to_string(count));
  }
  // NumPy refuses a negative count here with ValueError, before the reader is
  // touched.
  py::array_t<uint8_t> raw(static_cast<py::ssize_t>(count));

  const bool was_running = board.is_running();
  if (was_running) board.stop();
  const int32_t read = board.read_raw(raw.mutable_data(), static_cast<int32_t>(count));
  if (was_running) board.start();

  // A failed read (negative) is refused by NumPy's resize with ValueError.
  if (read < count) raw.resize({static_cast<py::ssize_t>(read)}, true);
  return raw;
}

}  // namespace pynvk
