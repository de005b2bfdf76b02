// PooledBlock: a move-only handle on at most one sample block that pushes the
// block back into its home queue when the handle is destroyed or assigned
// over, so a block is never lost, also while an exception unwinds.
//
// Contract:
// - One thread uses a handle; handles are never shared.
// - `home` points at the board's own std::shared_ptr member that owns the
//   queue, without sharing ownership: a handle must not outlive its board.
//   Every handle lives inside the reader thread or inside one call on the
//   board, both of which end before the board is destroyed.
// - Returning a block takes the home queue's mutex inside push and never
//   waits otherwise.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "channels/dynamic_array_2d.hpp"
#include "channels/fixed_size_queue.hpp"

using SampleBlock = DynamicArray2D<uint16_t>;
constexpr std::size_t kBlockPoolSize = 64;
using BlockQueue = channels::details::_fixed_size_queue<SampleBlock, kBlockPoolSize, channels::full_policy::overwrite_last>;

struct PooledBlock {
  std::optional<SampleBlock> block;
  std::shared_ptr<BlockQueue>* home = nullptr;

  // Takes the block of a pop result, if any; `home` is kept only with a block,
  // so an empty handle has no home.
  PooledBlock(std::optional<SampleBlock>&& popped, std::shared_ptr<BlockQueue>* home_queue)
      : block(std::move(popped)), home(block ? home_queue : nullptr) {}

  PooledBlock(const PooledBlock&) = delete;
  PooledBlock& operator=(const PooledBlock&) = delete;

  PooledBlock(PooledBlock&& other) noexcept : block(std::move(other.block)), home(other.home) {
    other.block.reset();
  }

  PooledBlock& operator=(PooledBlock&& other) noexcept {
    if (this != &other) {
      release();
      block = std::move(other.block);
      home = other.home;
      other.block.reset();
    }
    return *this;
  }

  ~PooledBlock() { release(); }

 private:
  // Pushes the block home; a block that cannot go home (no home, or a closed
  // queue) is freed. push is noexcept in practice: moving a block into a deque
  // that may need a new chunk can only fail on exhausted memory.
  void release() noexcept {
    if (home != nullptr && block && !(*home)->closed) {
      (*home)->push(std::move(*block));
    }
    block.reset();
  }
};
