// The framer on its own: seeded random splittings of the board stream into
// reads or transfers, with empty and short ones, and with breaks; then exact
// cases of the every-frame checking that queued transfers use.
//
// Each iteration is seeded from PYNVK_PROPERTY_SEED (environment, default 1)
// plus its number, so a failure names the seed that reproduces it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "framer_drive.hpp"

namespace {

using Checking = StreamFramer::Checking;

uint64_t env_or(const char* name, uint64_t fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::stoull(value) : fallback;
}

constexpr std::size_t kRowChoices[] = {2, 3, 4, 8, 100};
// Payloads of one USB transfer: a packet's, a few packets', 8 KiB's.
constexpr std::size_t kTransferChoices[] = {510, 2040, 8160};

// How many bytes the next read or transfer brings: mostly all there is room
// for, often nothing, less than a frame, exactly one frame or any amount.
std::size_t piece(std::mt19937_64& rng, std::size_t most) {
  const uint64_t roll = rng() % 100;
  if (roll < 10) return 0;
  if (roll < 25) return 1 + rng() % 11;
  if (roll < 32) return BOARD_FRAME_SIZE;
  if (roll < 65) return most;
  return 1 + rng() % most;
}

// Feeds `pieces` reads or transfers to a new framer; with `faults`, a few of
// them come after a jump, garbage or (block reads) a failed read.
void run(uint64_t seed, Checking checking, bool faults) {
  SCOPED_TRACE(::testing::Message() << "PYNVK_PROPERTY_SEED=" << seed << " PYNVK_PROPERTY_ITERATIONS=1");
  std::mt19937_64 rng(seed);
  const std::size_t rows = kRowChoices[rng() % std::size(kRowChoices)];
  const bool reads = checking == Checking::first_frame_of_read;
  const std::size_t most = reads ? rows * BOARD_FRAME_SIZE : kTransferChoices[rng() % std::size(kTransferChoices)];
  FramerDrive drive(checking, rows, most);
  FaultyStream stream;
  for (int n = 0; n < 200; ++n) {
    if (faults && rng() % 100 < 4) {
      const uint64_t roll = rng() % 3;
      if (roll == 0) stream.jump(1 + rng() % 40);
      if (roll == 1) stream.garbage(1 + rng() % 40);
      if (roll == 2 && reads) {
        stream.jump(0);  // what the device did meanwhile is unknown
        drive.failed_read(stream);
        continue;
      }
    }
    const std::size_t count = piece(rng, most);
    if (reads) {
      drive.block_read(stream, count);
    } else {
      drive.transfer(stream, count);
    }
  }
  drive.finish();
  EXPECT_EQ(drive.problems(stream, !reads), "");
}

}  // namespace

TEST(FramerProperty, AnySplittingOfACleanStreamDeliversEveryWholeFrameOnceAndInOrder) {
  const uint64_t base_seed = env_or("PYNVK_PROPERTY_SEED", 1);
  const uint64_t iterations = env_or("PYNVK_PROPERTY_ITERATIONS", PYNVK_PROPERTY_ITERATIONS);
  for (uint64_t i = 0; i < iterations && !HasFailure(); ++i) {
    run(base_seed + i, i % 2 ? Checking::every_frame : Checking::first_frame_of_read, false);
  }
}

TEST(FramerProperty, BreaksCostOnlyWhatTheCheckingAllows) {
  const uint64_t base_seed = env_or("PYNVK_PROPERTY_SEED", 1);
  const uint64_t iterations = env_or("PYNVK_PROPERTY_ITERATIONS", PYNVK_PROPERTY_ITERATIONS);
  for (uint64_t i = 0; i < iterations && !HasFailure(); ++i) {
    run(base_seed + i, i % 2 ? Checking::every_frame : Checking::first_frame_of_read, true);
  }
}

namespace {

constexpr std::size_t kRows = 4;
constexpr std::size_t kTransfer = 510;

// Frame indexes of the rows a framer that checks every frame delivers from
// `bytes`, fed in one transfer and then finished.
std::vector<int64_t> every_frame_rows(const std::vector<uint8_t>& bytes, StreamCounters& counters) {
  StreamFramer framer(Checking::every_frame, bytes.size(), counters);
  std::copy(bytes.begin(), bytes.end(), framer.input());
  framer.take_stream_bytes(bytes.size(), 1);
  std::vector<uint16_t> rows(bytes.size() / BOARD_FRAME_SIZE * StreamFramer::kColumns + StreamFramer::kColumns);
  std::size_t count = framer.copy_rows(rows.data(), bytes.size());
  count += framer.finish(rows.data() + count * StreamFramer::kColumns, 1);
  std::vector<int64_t> indexes;
  for (std::size_t r = 0; r < count; ++r) indexes.push_back(board_stream_index_of(&rows[r * StreamFramer::kColumns]));
  return indexes;
}

std::vector<uint8_t> joined(std::vector<uint8_t> first, const std::vector<uint8_t>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

std::vector<uint8_t> stream_piece(uint64_t position, std::size_t length) {
  std::vector<uint8_t> bytes(length);
  board_stream_bytes(position, bytes.data(), length);
  return bytes;
}

std::vector<int64_t> indexes(int64_t first, int64_t last) {
  std::vector<int64_t> range;
  for (int64_t i = first; i <= last; ++i) range.push_back(i);
  return range;
}

}  // namespace

TEST(EveryFrameChecking, AJumpIntoAFrameCostsTheFramesSkippedAndTheFrameBeforeIt) {
  // Frames 0..5, then the stream 7 bytes into frame 20, on to frame 30.
  StreamCounters counters;
  const std::vector<int64_t> rows =
      every_frame_rows(joined(stream_piece(0, 6 * 12), stream_piece(20 * 12 + 7, 11 * 12 - 7)), counters);
  // Frame 5 began with a true pair but the pair after it is missing: it goes.
  std::vector<int64_t> expected = indexes(0, 4);
  const std::vector<int64_t> after = indexes(21, 30);
  expected.insert(expected.end(), after.begin(), after.end());
  EXPECT_EQ(rows, expected);
  EXPECT_EQ(counters.realignments.load(), 1u);
  EXPECT_EQ(counters.torn_frames.load(), 0u);
  EXPECT_EQ(counters.bytes_read.load(), 12 * counters.frames.load() + counters.discarded_bytes.load());
}

TEST(EveryFrameChecking, ValuesThatLookLikeTheSyncPairInTwoFramesDoNotPassForAFrameStart) {
  // Joined 3 bytes into frame 6, whose value 2 and frame 7's are 0x0FF0: the
  // pair then begins two frames in step at position 3, but not three.
  std::vector<uint8_t> bytes = stream_piece(6 * 12 + 3, 6 * 12 - 3);
  for (std::size_t at : {3, 15}) {
    bytes[at] = 0xF0;
    bytes[at + 1] = 0x0F;
  }
  StreamCounters counters;
  const std::vector<int64_t> rows = every_frame_rows(bytes, counters);
  // Frame 7 comes first, its value 2 changed, so it is no counter frame.
  EXPECT_EQ(rows, (std::vector<int64_t>{-1, 8, 9, 10, 11}));
  EXPECT_EQ(counters.alignments.load(), 1u);
  EXPECT_EQ(counters.discarded_bytes.load(), 9u);
}

TEST(EveryFrameChecking, TheLastFrameIsHeldUntilTheNextPairAndGivenAtTheEndOnlyWithItsOwnPair) {
  StreamCounters counters;
  StreamFramer framer(Checking::every_frame, kTransfer, counters);
  std::vector<uint16_t> rows(kRows * StreamFramer::kColumns);
  const auto feed = [&](const std::vector<uint8_t>& bytes, int64_t stamp) {
    std::copy(bytes.begin(), bytes.end(), framer.input());
    framer.take_stream_bytes(bytes.size(), stamp);
  };
  // Three pairs in step are there, so frames 0 and 1 are confirmed; frame 2
  // waits for the pair of frame 3.
  feed(stream_piece(0, 3 * 12 + 1), 10);
  ASSERT_EQ(framer.copy_rows(rows.data(), kRows), 2u);
  EXPECT_EQ(framer.last_row_stamp(), 10);
  feed(stream_piece(37, 1), 20);
  ASSERT_EQ(framer.copy_rows(rows.data(), kRows), 1u);
  EXPECT_EQ(board_stream_index_of(rows.data()), 2);
  // Frame 2's last byte came with the first transfer.
  EXPECT_EQ(framer.last_row_stamp(), 10);
  // Frame 3 arrives whole: held, then given at the end.
  feed(stream_piece(38, 10), 30);
  EXPECT_EQ(framer.copy_rows(rows.data(), kRows), 0u);
  ASSERT_EQ(framer.finish(rows.data(), kRows), 1u);
  EXPECT_EQ(board_stream_index_of(rows.data()), 3);
  EXPECT_EQ(framer.last_row_stamp(), 30);

  // A frame followed by garbage instead of a pair is dropped, not held.
  framer.restart();
  feed(joined(stream_piece(0, 3 * 12), std::vector<uint8_t>(12, 0xA5)), 40);
  EXPECT_EQ(framer.copy_rows(rows.data(), kRows), 2u);
  EXPECT_EQ(framer.finish(rows.data(), kRows), 0u);
  EXPECT_EQ(counters.torn_frames.load(), 0u);
  EXPECT_EQ(counters.bytes_read.load(), 12 * counters.frames.load() + counters.discarded_bytes.load());
}
