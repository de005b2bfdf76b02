#include "channels/dynamic_array_2d.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <utility>

namespace {

using Block = DynamicArray2D<uint16_t>;

Block numbered_block(std::size_t rows, std::size_t cols) {
  Block block(rows, cols);
  std::iota(block.data.begin(), block.data.end(), uint16_t{1});
  return block;
}

void expect_moved_from(const Block& block) {
  EXPECT_EQ(block.rows, 0u);
  EXPECT_EQ(block.cols, 0u);
  EXPECT_TRUE(block.data.empty());
  EXPECT_EQ(block.data.capacity(), 0u) << "a moved-from block must hold no storage";
}

TEST(DynamicArray2D, NewBlockIsZeroed) {
  const Block block(7, 5);
  EXPECT_EQ(block.rows, 7u);
  EXPECT_EQ(block.cols, 5u);
  ASSERT_EQ(block.data.size(), 35u);
  EXPECT_TRUE(std::ranges::all_of(block.data, [](uint16_t value) { return value == 0; }));
}

TEST(DynamicArray2D, MoveConstructionTakesStorage) {
  Block source = numbered_block(3, 5);
  const uint16_t* storage = source.data.data();

  const Block target(std::move(source));
  EXPECT_EQ(target.rows, 3u);
  EXPECT_EQ(target.cols, 5u);
  EXPECT_EQ(target.data.data(), storage);
  EXPECT_EQ(target.data.back(), 15);
  expect_moved_from(source);
}

TEST(DynamicArray2D, MoveAssignmentTakesStorage) {
  Block source = numbered_block(3, 5);
  const uint16_t* storage = source.data.data();
  Block target(2, 2);

  target = std::move(source);
  EXPECT_EQ(target.rows, 3u);
  EXPECT_EQ(target.cols, 5u);
  EXPECT_EQ(target.data.data(), storage);
  EXPECT_EQ(target.data.size(), 15u);
  expect_moved_from(source);
}

TEST(DynamicArray2D, SelfMoveAssignmentChangesNothing) {
  Block block = numbered_block(3, 5);
  const uint16_t* storage = block.data.data();
  Block& same = block;

  block = std::move(same);
  EXPECT_EQ(block.rows, 3u);
  EXPECT_EQ(block.cols, 5u);
  EXPECT_EQ(block.data.data(), storage);
  EXPECT_EQ(block.data, numbered_block(3, 5).data);
}

}  // namespace
