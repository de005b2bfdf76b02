// Property: however a clean stream is cut into read results (short reads,
// single frames, partial frames, failures, bytes lost to a purge), every row
// the board delivers is a true frame, rows arrive in stream order without
// repeats, frames are skipped only where a failed read made the reader
// realign, no block of the pool is ever lost, and the counters account for
// every byte read and every row delivered.
//
// Each iteration is seeded from PYNVK_PROPERTY_SEED (environment, default 1)
// plus its number, so a failure names the seed that reproduces it;
// PYNVK_PROPERTY_ITERATIONS overrides the build's iteration count.
#include <cstdlib>
#include <deque>
#include <random>
#include <set>
#include <string>

#include "board_fixture.hpp"

namespace {

uint64_t env_or(const char* name, uint64_t fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::stoull(value) : fallback;
}

// The device side: a clean stream handed out in randomly cut read results,
// `max_reads` of them, after which it has nothing left.
class SplitStream {
 public:
  SplitStream(uint64_t seed, std::size_t max_reads) : rng_(seed), reads_left_(max_reads) {}

  std::optional<int32_t> read(uint8_t* buffer, int32_t length) {
    if (reads_left_ == 0) return std::nullopt;
    --reads_left_;
    const uint64_t roll = rng_() % 100;
    if (roll < 4) return -1 - static_cast<int32_t>(rng_() % 10);
    if (roll < 8) return 0;
    int32_t n = length;                                                          // a whole block: 50%
    if (roll < 16) n = 1 + static_cast<int32_t>(rng_() % 11);                    // less than a frame
    else if (roll < 24) n = BOARD_FRAME_SIZE;                                     // one frame
    else if (roll < 30) n = BOARD_FRAME_SIZE + 1 + static_cast<int32_t>(rng_() % 11);  // a frame and a bit
    else if (roll < 50) n = 1 + static_cast<int32_t>(rng_() % length);           // anything
    n = std::min(n, length);
    board_stream_bytes(position_, buffer, static_cast<std::size_t>(n));
    position_ += static_cast<uint64_t>(n);
    return n;
  }

  // Mostly nothing is in flight when the chip is purged; sometimes whole
  // frames are lost, sometimes the stream resumes inside a frame.
  void purge() {
    const uint64_t roll = rng_() % 100;
    if (roll < 10) position_ += BOARD_FRAME_SIZE * (1 + rng_() % 3);
    else if (roll < 20) position_ += 1 + rng_() % 23;
  }

  uint64_t frames_sent() const { return position_ / BOARD_FRAME_SIZE; }

 private:
  std::mt19937_64 rng_;
  std::size_t reads_left_;
  uint64_t position_ = 0;
};

// Follows the rows delivered by one board.
class DeliveryCheck {
 public:
  // A block handed on full: every row is new.
  void full_block(const SampleBlock& block) {
    for (int64_t index : row_indexes(block)) {
      ASSERT_GT(index, last_) << "row is no frame, or out of order or repeated";
      skips_ += last_ >= 0 && index != last_ + 1;
      last_ = index;
    }
    ++full_blocks_;
    fresh_rows_ += block.rows;
  }

  // The block handed on by stop(): new rows, then rows it held before.
  void last_block(const SampleBlock& block) {
    const int64_t before = last_;
    bool fresh = true;
    for (int64_t index : row_indexes(block)) {
      fresh = fresh && index > last_;
      if (fresh) {
        skips_ += last_ >= 0 && index != last_ + 1;
        last_ = index;
        ++fresh_rows_;
        ++last_block_fresh_rows_;
      } else {
        ASSERT_LE(index, before) << "a row kept from before holds a frame never delivered";
      }
    }
  }

  int64_t last() const { return last_; }
  // Places where frames were skipped between rows.
  uint64_t skips() const { return skips_; }
  uint64_t full_blocks() const { return full_blocks_; }
  uint64_t fresh_rows() const { return fresh_rows_; }
  uint64_t last_block_fresh_rows() const { return last_block_fresh_rows_; }

 private:
  int64_t last_ = -1;
  uint64_t skips_ = 0;
  uint64_t full_blocks_ = 0;
  uint64_t fresh_rows_ = 0;
  uint64_t last_block_fresh_rows_ = 0;
};

}  // namespace

using BoardStreamProperty = BoardTest;

TEST_F(BoardStreamProperty, AnySplittingOfACleanStreamDeliversTrueFramesInOrderAndKeepsEveryBlock) {
  const uint64_t base_seed = env_or("PYNVK_PROPERTY_SEED", 1);
  const uint64_t iterations = env_or("PYNVK_PROPERTY_ITERATIONS", PYNVK_PROPERTY_ITERATIONS);
  constexpr std::size_t kRowChoices[] = {2, 3, 4, 8};
  constexpr std::size_t kReadsPerRun = 150;
  constexpr std::size_t kMostHeld = 3;

  for (uint64_t iteration = 0; iteration < iterations && !HasFatalFailure(); ++iteration) {
    const uint64_t seed = base_seed + iteration;
    SCOPED_TRACE(::testing::Message() << "PYNVK_PROPERTY_SEED=" << seed << " PYNVK_PROPERTY_ITERATIONS=1");
    std::mt19937_64 rng(seed);
    scripted_ftdi::reset({.serial = kSerial, .idle_wait = std::chrono::microseconds(200)});
    SplitStream device(rng(), kReadsPerRun);
    scripted_ftdi::set_source([&device](uint8_t* buffer, int32_t length) { return device.read(buffer, length); });
    scripted_ftdi::set_purge_hook([&device] { device.purge(); });

    const std::size_t rows = kRowChoices[rng() % 4];
    py_PCB_RIX board(kSerial, rows);
    BoardInspector inspector(board);
    DeliveryCheck delivered;
    // Blocks the test keeps a while, as a slow reader of samples would.
    std::deque<PooledBlock> held;

    board.start();
    while (!scripted_ftdi::wait_exhausted(std::chrono::milliseconds(0))) {
      PooledBlock handle = inspector.pop_ready(std::chrono::milliseconds(1));
      if (!handle.block) continue;
      delivered.full_block(*handle.block);
      if (HasFatalFailure()) break;
      if (held.size() < kMostHeld && rng() % 3 == 0) held.push_back(std::move(handle));
      if (!held.empty() && rng() % 3 == 0) held.pop_front();
    }
    board.stop();

    // Every block but the last was handed on full; the last one by stop().
    std::vector<PooledBlock> rest;
    for (;;) {
      PooledBlock handle = inspector.pop_ready(std::chrono::milliseconds(0));
      if (!handle.block) break;
      rest.push_back(std::move(handle));
    }
    for (std::size_t i = 0; i < rest.size(); ++i) {
      if (i + 1 < rest.size()) {
        delivered.full_block(*rest[i].block);
      } else {
        delivered.last_block(*rest[i].block);
      }
    }
    EXPECT_LT(delivered.last(), static_cast<int64_t>(device.frames_sent()));

    // The counters name exactly the rows delivered and account for every
    // byte read.
    const StreamStats stats = board.stats();
    EXPECT_EQ(stats.bytes_read, BOARD_FRAME_SIZE * stats.frames + stats.discarded_bytes);
    EXPECT_EQ(stats.frames, delivered.fresh_rows());
    EXPECT_EQ(stats.torn_frames, 0u);
    // Only a failed read loses continuity: short and empty reads are kept.
    EXPECT_LE(delivered.skips(), stats.realignments);
    if (stats.failed_reads == 0) {
      EXPECT_EQ(stats.realignments + stats.purges, 0u);
    }
    EXPECT_EQ(stats.blocks, delivered.full_blocks());
    EXPECT_EQ(stats.partial_blocks, 1u);
    EXPECT_EQ(stats.last_cut_rows, delivered.last_block_fresh_rows());
    EXPECT_FALSE(stats.running);

    std::vector<const uint16_t*> storage = inspector.queued_storage();
    for (const PooledBlock& handle : held) storage.push_back(handle.block->data.data());
    for (const PooledBlock& handle : rest) storage.push_back(handle.block->data.data());
    EXPECT_EQ(std::set<const uint16_t*>(storage.begin(), storage.end()).size(), kBlockPoolSize);
    EXPECT_EQ(storage.size(), kBlockPoolSize);
  }
}
