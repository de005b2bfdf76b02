// Test access to a board's insides, and helpers to build the board's byte
// stream and to tell which stream frames a block holds.
#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <vector>

#include "board/py_pcb_rix.hpp"
#include "board_stream.h"

class BoardInspector {
 public:
  explicit BoardInspector(py_PCB_RIX& board) : board_(board) {}

  BlockQueue& ready_queue() { return *board_.ready_queue; }
  BlockQueue& free_queue() { return *board_.free_queue; }
  std::size_t ready_count() { return size_of(ready_queue()); }
  std::size_t free_count() { return size_of(free_queue()); }
  bool holds_reader() const { return board_.reader_thread.joinable(); }
  std::size_t block_bytes() const { return board_.block_bytes; }

  // A block the test takes from the ready queue; it goes back to the free
  // queue when the handle is released, as a readout's would.
  PooledBlock pop_ready(std::chrono::milliseconds wait) { return board_.pop_ready_block(wait); }

  // The storage of every block sitting in either queue.
  std::vector<const uint16_t*> queued_storage() {
    std::vector<const uint16_t*> storage;
    for (BlockQueue* queue : {&free_queue(), &ready_queue()}) {
      const std::lock_guard lock(queue->mutex);
      for (const SampleBlock& block : queue->items) storage.push_back(block.data.data());
    }
    return storage;
  }

 private:
  static std::size_t size_of(BlockQueue& queue) {
    const std::lock_guard lock(queue.mutex);
    return queue.items.size();
  }

  py_PCB_RIX& board_;
};

// `length` stream bytes from absolute stream byte `position`.
inline std::vector<uint8_t> stream_bytes(uint64_t position, std::size_t length) {
  std::vector<uint8_t> bytes(length);
  board_stream_bytes(position, bytes.data(), length);
  return bytes;
}

// Frames first .. first + count - 1, as a board sends them.
inline std::vector<uint8_t> frames(uint64_t first, std::size_t count) {
  return stream_bytes(first * BOARD_FRAME_SIZE, count * BOARD_FRAME_SIZE);
}

// For each row of `block`, the index of the stream frame whose values it
// holds, or -1 when it holds no frame (a zeroed row, a torn frame).
inline std::vector<int64_t> row_indexes(const SampleBlock& block) {
  std::vector<int64_t> indexes;
  for (std::size_t r = 0; r < block.rows; ++r) indexes.push_back(board_stream_index_of(&block.data[r * block.cols]));
  return indexes;
}

inline std::vector<int64_t> index_range(int64_t first, std::size_t count) {
  std::vector<int64_t> indexes;
  for (std::size_t i = 0; i < count; ++i) indexes.push_back(first + static_cast<int64_t>(i));
  return indexes;
}
