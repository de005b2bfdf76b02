// DynamicArray2D<T>: one block of samples, `rows` x `cols` elements in one
// row-major vector. Row r starts at data[r * cols]. `time_ns` is a time its
// holder notes on it (the reader: when the read that gave its last row
// returned, in UTC nanoseconds); it travels with the block.
//
// Contract: blocks are handed between threads only by moving (through the
// queues and PooledBlock); copying is deleted so sample memory is never
// duplicated by accident. A moved-from block has 0 rows, 0 columns and no
// storage. Not thread-safe: one holder at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

template <typename T>
struct DynamicArray2D {
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::vector<T> data;
  int64_t time_ns = 0;

  // rows x cols elements, all value-initialised (zero).
  DynamicArray2D(std::size_t rows, std::size_t cols) : rows(rows), cols(cols), data(rows * cols) {}

  DynamicArray2D(const DynamicArray2D&) = delete;
  DynamicArray2D& operator=(const DynamicArray2D&) = delete;

  DynamicArray2D(DynamicArray2D&& other) noexcept
      : rows(std::exchange(other.rows, 0)),
        cols(std::exchange(other.cols, 0)),
        data(std::move(other.data)),
        time_ns(std::exchange(other.time_ns, 0)) {
    // A moved-from vector is only "valid but unspecified"; make "no storage"
    // certain.
    std::vector<T>().swap(other.data);
  }

  DynamicArray2D& operator=(DynamicArray2D&& other) noexcept {
    if (this != &other) {
      rows = std::exchange(other.rows, 0);
      cols = std::exchange(other.cols, 0);
      data = std::move(other.data);
      std::vector<T>().swap(other.data);
      time_ns = std::exchange(other.time_ns, 0);
    }
    return *this;
  }

  ~DynamicArray2D() = default;
};
