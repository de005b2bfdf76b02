#include "channels/pooled_block.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// A small block whose first value tells it apart from the others.
SampleBlock marked_block(uint16_t marker) {
  SampleBlock block(2, 5);
  block.data[0] = marker;
  return block;
}

std::vector<uint16_t> markers(const BlockQueue& queue) {
  std::vector<uint16_t> result;
  for (const auto& block : queue.items) result.push_back(block.data[0]);
  return result;
}

class PooledBlockTest : public ::testing::Test {
 protected:
  std::shared_ptr<BlockQueue> first = channels::make_fixed_size_queue<BlockQueue>();
  std::shared_ptr<BlockQueue> second = channels::make_fixed_size_queue<BlockQueue>();
};

TEST_F(PooledBlockTest, EmptyPopGivesEmptyHandleThatChangesNoQueue) {
  second->push(marked_block(1));
  {
    const PooledBlock handle(first->pop(0ns), &second);
    EXPECT_FALSE(handle.block.has_value());
    EXPECT_EQ(handle.home, nullptr);
  }
  EXPECT_TRUE(first->items.empty());
  EXPECT_EQ(markers(*second), std::vector<uint16_t>{1});
}

TEST_F(PooledBlockTest, DestructionReturnsBlockToBackOfHome) {
  first->push(marked_block(1));
  second->push(marked_block(2));
  const uint16_t* storage = first->items.front().data.data();
  {
    PooledBlock handle(first->pop(0ns), &second);
    ASSERT_TRUE(handle.block.has_value());
    EXPECT_EQ(handle.home, &second);
    handle.block->data[0] = 3;
  }
  EXPECT_TRUE(first->items.empty());
  EXPECT_EQ(markers(*second), (std::vector<uint16_t>{2, 3}));
  EXPECT_EQ(second->items.back().data.data(), storage);
}

TEST_F(PooledBlockTest, MoveAssignmentReturnsOldBlockAndTakesOther) {
  first->push(marked_block(1));
  first->push(marked_block(3));
  second->push(marked_block(2));
  const uint16_t* old_storage = first->items.front().data.data();
  const uint16_t* taken_storage = second->items.front().data.data();
  {
    PooledBlock a(first->pop(0ns), &first);
    PooledBlock b(second->pop(0ns), &second);

    a = std::move(b);
    EXPECT_EQ(markers(*first), (std::vector<uint16_t>{3, 1}));
    EXPECT_EQ(first->items.back().data.data(), old_storage);
    ASSERT_TRUE(a.block.has_value());
    EXPECT_EQ(a.block->data.data(), taken_storage);
    EXPECT_EQ(a.home, &second);
    EXPECT_FALSE(b.block.has_value());
    EXPECT_TRUE(second->items.empty());
  }
  EXPECT_EQ(markers(*first), (std::vector<uint16_t>{3, 1})) << "the emptied handle returns nothing";
  EXPECT_EQ(markers(*second), std::vector<uint16_t>{2});
}

TEST_F(PooledBlockTest, MoveAssignmentFromEmptyHandleLeavesTargetEmpty) {
  first->push(marked_block(1));
  PooledBlock a(first->pop(0ns), &first);
  PooledBlock empty(second->pop(0ns), &second);

  a = std::move(empty);
  EXPECT_FALSE(a.block.has_value());
  EXPECT_EQ(a.home, nullptr);
  EXPECT_EQ(markers(*first), std::vector<uint16_t>{1});
}

TEST_F(PooledBlockTest, SelfMoveAssignmentChangesNothing) {
  first->push(marked_block(1));
  const uint16_t* storage = first->items.front().data.data();
  PooledBlock handle(first->pop(0ns), &first);
  PooledBlock& same = handle;

  handle = std::move(same);
  ASSERT_TRUE(handle.block.has_value());
  EXPECT_EQ(handle.block->data.data(), storage);
  EXPECT_EQ(handle.home, &first);
  EXPECT_TRUE(first->items.empty());
}

TEST_F(PooledBlockTest, MoveConstructionHandsOverBlockOnce) {
  first->push(marked_block(1));
  {
    PooledBlock source(first->pop(0ns), &first);
    {
      const PooledBlock target(std::move(source));
      EXPECT_FALSE(source.block.has_value());
      ASSERT_TRUE(target.block.has_value());
      EXPECT_EQ(target.home, &first);
    }
    EXPECT_EQ(markers(*first), std::vector<uint16_t>{1});
  }
  EXPECT_EQ(markers(*first), std::vector<uint16_t>{1}) << "the moved-from handle returns nothing";
}

TEST_F(PooledBlockTest, ClosedHomeFreesBlockInsteadOfReturningIt) {
  // The closed home is full: pushing into it would drop its newest block, so
  // the handle must not even try.
  for (uint16_t marker = 1; marker <= kBlockPoolSize; ++marker) first->push(marked_block(marker));
  second->push(marked_block(100));
  {
    PooledBlock a(first->pop(0ns), &first);
    PooledBlock b(second->pop(0ns), &second);
    first->push(marked_block(kBlockPoolSize + 1));
    const auto full_home = markers(*first);
    first->closed = true;
    second->closed = true;

    a = std::move(b);
    EXPECT_EQ(markers(*first), full_home);
    ASSERT_TRUE(a.block.has_value());
    EXPECT_EQ(a.block->data[0], 100);
  }
  EXPECT_EQ(first->items.size(), kBlockPoolSize);
  EXPECT_TRUE(second->items.empty());
}

// Threads move the whole pool back and forth between two queues the way the
// reader and the Python callers do: pop with a short timeout, write into the
// block, and hand it on by move-assigning the next handle over the held one.
TEST_F(PooledBlockTest, ConcurrentCirculationKeepsEveryBlock) {
  constexpr int kIterations = 2000;
  std::set<const uint16_t*> pool;
  for (std::size_t i = 0; i < kBlockPoolSize; ++i) {
    SampleBlock block(4, 5);
    pool.insert(block.data.data());
    first->push(std::move(block));
  }

  std::atomic<int> handovers{0};
  std::atomic<bool> block_shared{false};
  auto circulate = [&](std::shared_ptr<BlockQueue>& from, std::shared_ptr<BlockQueue>& to, uint16_t marker) {
    PooledBlock held(std::nullopt, nullptr);
    for (int i = 0; i < kIterations; ++i) {
      PooledBlock next(from->pop(1ms), &to);
      if (!next.block) continue;
      auto& data = next.block->data;
      // A block written by two holders at once would show mixed markers.
      if (!std::ranges::all_of(data, [&](uint16_t value) { return value == data[0]; })) block_shared = true;
      std::ranges::fill(data, marker);
      held = std::move(next);
      ++handovers;
    }
  };
  std::vector<std::thread> threads;
  threads.emplace_back(circulate, std::ref(first), std::ref(second), 1);
  threads.emplace_back(circulate, std::ref(first), std::ref(second), 2);
  threads.emplace_back(circulate, std::ref(second), std::ref(first), 3);
  threads.emplace_back(circulate, std::ref(second), std::ref(first), 4);
  for (auto& thread : threads) thread.join();

  EXPECT_GT(handovers, 0);
  EXPECT_FALSE(block_shared);
  std::vector<const uint16_t*> found;
  for (const auto* queue : {first.get(), second.get()}) {
    for (const auto& block : queue->items) {
      EXPECT_EQ(block.data.size(), 20u);
      found.push_back(block.data.data());
    }
  }
  EXPECT_EQ(found.size(), kBlockPoolSize);
  EXPECT_EQ(std::set<const uint16_t*>(found.begin(), found.end()), pool);
}

}  // namespace
