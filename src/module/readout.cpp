// Readout of a board into NumPy arrays: `samples` and `_get_raw_data`.
#include <fmt/format.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "module/bindings.hpp"
#include "module/gil.hpp"

namespace py = pybind11;

namespace pynvk {

namespace {

// A wait for a block is cut into slices of this length, with pending signals
// handled between them, so Ctrl-C ends a wait without limit within about this
// time.
constexpr std::chrono::milliseconds kSignalCheckInterval{50};

// The oldest ready block, waiting up to `timeout` (without limit when empty).
// Raises the error of a signal handler (KeyboardInterrupt for Ctrl-C) that ran
// meanwhile; the block, if any comes later, stays in the queue.
PooledBlock wait_for_block(py_PCB_RIX& board, std::optional<std::chrono::nanoseconds> timeout) {
  using clock = std::chrono::steady_clock;
  // A timeout of zero or less is one pop that does not wait: it needs the
  // queue's lock only for a moment, so the interpreter lock is kept.
  if (timeout && *timeout <= std::chrono::nanoseconds::zero()) return board.pop_ready_block(timeout);
  const std::optional<clock::time_point> deadline =
      timeout ? std::optional(channels::deadline_after(*timeout)) : std::nullopt;
  for (;;) {
    std::chrono::nanoseconds slice = kSignalCheckInterval;
    if (deadline) slice = std::min<std::chrono::nanoseconds>(slice, *deadline - clock::now());
    PooledBlock handle = without_gil([&] { return board.pop_ready_block(slice); });
    if (handle.block || (deadline && clock::now() >= *deadline)) return handle;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  }
}

// The block of `handle` as a new int16 array of shape (rows, 5). The handle
// returns the block to the free queue when it goes out of scope, on every
// path (exceptions included).
py::array_t<int16_t> block_array(const PooledBlock& handle) {
  const SampleBlock& block = *handle.block;
  py::array_t<int16_t> samples({block.rows, block.cols});
  int16_t* const target = samples.mutable_data();
  KeptAcrossRelease kept(std::move(samples));
  // Nothing else can reach the new array yet, so the copy needs no lock. The
  // block's uint16 rows and the array's int16 rows have the same contiguous
  // row-major layout and the same bits.
  without_gil([&] { std::memcpy(target, block.data.data(), block.data.size() * sizeof(uint16_t)); });
  return kept.take();
}

}  // namespace

py::typing::Optional<py::array_t<int16_t>> read_samples(py_PCB_RIX& board) {
  // Taken once, under the interpreter lock: a timeout assigned during the
  // wait applies to the next call.
  const PooledBlock handle = wait_for_block(board, board.get_timeout());
  if (!handle.block) return py::none();
  return block_array(handle);
}

py::typing::Optional<py::typing::Tuple<py::array_t<int16_t>, int>> take_block(py_PCB_RIX& board,
                                                                             BlockWaitArgument timeout) {
  const PooledBlock handle = wait_for_block(board, timeout.value);
  if (!handle.block) return py::none();
  const int64_t time_ns = handle.block->time_ns;
  return py::make_tuple(block_array(handle), time_ns);
}

py::array_t<uint8_t> read_raw_data(py_PCB_RIX& board, int64_t count) {
  // A device read takes a signed 32-bit length; a larger count would read
  // into an array of another size, so it is refused before any allocation.
  if (count > std::numeric_limits<int32_t>::max()) {
    throw std::invalid_argument(
        fmt::format("count must be at most {}, got {}", std::numeric_limits<int32_t>::max(), count));
  }
  // NumPy refuses a negative count here with ValueError, before the reader is
  // touched.
  py::array_t<uint8_t> raw(static_cast<py::ssize_t>(count));
  uint8_t* const buffer = raw.mutable_data();
  KeptAcrossRelease kept(std::move(raw));
  const int32_t read = without_gil([&] { return board.read_raw(buffer, static_cast<int32_t>(count)); });
  raw = kept.take();

  if (read < 0) {
    if (!board.opened()) {
      throw std::invalid_argument(
          fmt::format("board '{}' is not open (opened() is False): it has no data to read", board.get_serial_number()));
    }
    throw std::invalid_argument(
        fmt::format("reading raw data from board '{}' failed: libftdi error {}", board.get_serial_number(), read));
  }
  if (read < count) raw.resize({static_cast<py::ssize_t>(read)}, true);
  return raw;
}

}  // namespace pynvk
