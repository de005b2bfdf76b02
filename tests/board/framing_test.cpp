// How the reader cuts the byte stream into rows: block reads, the sync check
// at the start of a read, realignment, and reads that end inside a block or
// inside a frame.
#include <optional>

#include "board_fixture.hpp"

using scripted_ftdi::Call;

namespace {

constexpr int64_t kNoFrame = -1;

// Block reads of `rows`-row blocks are rows * 12 bytes long.
int32_t block_read_length(std::size_t rows) { return static_cast<int32_t>(rows * BOARD_FRAME_SIZE); }

// A block read that does not begin with the sync pair: zeros, with the pair
// at each of `pair_positions`.
std::vector<uint8_t> misaligned_read(std::size_t rows, const std::vector<std::size_t>& pair_positions) {
  std::vector<uint8_t> bytes(rows * BOARD_FRAME_SIZE, 0);
  for (std::size_t p : pair_positions) {
    bytes[p] = 0xF0;
    bytes[p + 1] = 0x0F;
  }
  return bytes;
}

}  // namespace

using BoardFraming = BoardTest;

TEST_F(BoardFraming, AlignedBlockReadsFillOneBlockEach) {
  py_PCB_RIX board(kSerial, 4);
  BoardInspector inspector(board);
  for (uint64_t first : {0, 4, 8}) scripted_ftdi::queue_bytes(frames(first, 4));
  acquire_script(board);

  EXPECT_EQ(device_traffic(), (std::vector<Call>{read(48), read(48), read(48)}));
  // The fourth block was taken when the third filled and holds nothing yet.
  const std::vector<std::vector<int64_t>> expected{
      index_range(0, 4), index_range(4, 4), index_range(8, 4), {kNoFrame, kNoFrame, kNoFrame, kNoFrame}};
  EXPECT_EQ(ready_blocks(inspector), expected);
}

TEST_F(BoardFraming, OnlyTheFirstFrameOfAReadIsCheckedForSync) {
  py_PCB_RIX board(kSerial, 4);
  BoardInspector inspector(board);
  std::vector<uint8_t> bytes = frames(0, 4);
  bytes[24] = bytes[25] = 0x00;  // frame 2
  bytes[36] = 0x0F;              // frame 3, pair reversed
  bytes[37] = 0xF0;
  scripted_ftdi::queue_bytes(bytes);
  acquire_script(board);

  EXPECT_EQ(device_traffic(), std::vector<Call>{read(48)});
  EXPECT_EQ(ready_blocks(inspector).front(), index_range(0, 4));
}

struct ResyncCase {
  std::size_t rows;
  std::vector<std::size_t> pair_positions;
  std::optional<int32_t> realignment_read;
};

TEST_F(BoardFraming, ResyncPurgesSearchesBackwardsForTheSyncPairAndRealigns) {
  const ResyncCase cases[] = {
      {4, {46}, 22},      // pair at block_bytes - 2
      {4, {36}, 12},      // at block_bytes - 12
      {4, {25}, 1},       // at block_bytes - 23, the far end of the window
      {4, {24}, std::nullopt},  // just outside the window
      {4, {30, 40}, 16},  // the pair nearest the end wins
      {2, {22}, 22},      // smallest block: the window covers positions 22 down to 1
      {2, {1}, 1},
      {2, {}, std::nullopt},
  };
  for (const ResyncCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.rows << " rows, pairs at " << ::testing::PrintToString(c.pair_positions));
    scripted_ftdi::reset({.serial = kSerial});
    py_PCB_RIX board(kSerial, c.rows);
    BoardInspector inspector(board);
    scripted_ftdi::queue_bytes(misaligned_read(c.rows, c.pair_positions));
    if (c.realignment_read) scripted_ftdi::queue_bytes(std::vector<uint8_t>(*c.realignment_read, 0x55));
    scripted_ftdi::queue_bytes(frames(0, c.rows));
    acquire_script(board);

    const int32_t block = block_read_length(c.rows);
    std::vector<Call> expected{read(block), purge()};
    if (c.realignment_read) expected.push_back(read(*c.realignment_read));
    expected.push_back(read(block));
    EXPECT_EQ(device_traffic(), expected);
    EXPECT_EQ(ready_blocks(inspector).front(), index_range(0, c.rows));
  }
}

TEST_F(BoardFraming, ResyncWindowSeesBytesLeftByEarlierReads) {
  py_PCB_RIX board(kSerial, 4);
  BoardInspector inspector(board);
  scripted_ftdi::queue_bytes(frames(0, 4));
  // One byte that is no sync byte: the window still holds the frames of the
  // read before, whose last pair lies at block_bytes - 12.
  scripted_ftdi::queue_bytes({0x33});
  scripted_ftdi::queue_bytes(std::vector<uint8_t>(12, 0));
  scripted_ftdi::queue_bytes(frames(4, 4));
  acquire_script(board);

  EXPECT_EQ(device_traffic(), (std::vector<Call>{read(48), read(48), purge(), read(12), read(48)}));
  const std::vector<std::vector<int64_t>> blocks = ready_blocks(inspector);
  ASSERT_GE(blocks.size(), 2u);
  EXPECT_EQ(blocks[0], index_range(0, 4));
  EXPECT_EQ(blocks[1], index_range(4, 4));
}

TEST_F(BoardFraming, RealignmentMissedAfterAPurgeRealignsOnItsOwnReadWithoutPurgingAgain) {
  py_PCB_RIX board(kSerial, 4);
  BoardInspector inspector(board);
  // Begins 5 bytes into frame 0: the last pair lies at position 43, so 19
  // bytes reach the start of frame 6 ...
  scripted_ftdi::queue_bytes(stream_bytes(5, 48));
  scripted_ftdi::queue_bytes(stream_bytes(53, 19));
  // ... but the purge dropped 5 stream bytes, so the block read again begins
  // inside a frame. Its own tail now locates frame 12 exactly.
  scripted_ftdi::queue_bytes(stream_bytes(77, 48));
  scripted_ftdi::queue_bytes(stream_bytes(125, 19));
  scripted_ftdi::queue_bytes(frames(12, 4));
  acquire_script(board);

  EXPECT_EQ(device_traffic(), (std::vector<Call>{read(48), purge(), read(19), read(48), read(19), read(48)}));
  EXPECT_EQ(ready_blocks(inspector).front(), index_range(12, 4));
}

TEST_F(BoardFraming, ReadsOfAtMostOneFrameOrFailedReadsCountAsNoData) {
  using scripted_ftdi::bytes_read;
  using scripted_ftdi::result_read;
  struct Case {
    const char* name;
    std::vector<scripted_ftdi::ReadStep> script;
    std::vector<Call> traffic;
  };
  const Case cases[] = {
      {"exactly one frame, not copied",
       {bytes_read(frames(0, 1)), bytes_read(frames(1, 4))},
       {read(48), purge(), read(48)}},
      {"fewer bytes than a frame",
       {bytes_read(stream_bytes(0, 5)), bytes_read(frames(1, 4))},
       {read(48), purge(), read(48)}},
      // The failed first read leaves the buffer without the sync pair, so it
      // is realigned at once; the failed realigned read then counts as no data.
      {"failed reads",
       {result_read(-5), result_read(-5), bytes_read(frames(1, 4))},
       {read(48), purge(), read(48), purge(), read(48)}},
      {"no data",
       {result_read(0), result_read(0), bytes_read(frames(1, 4))},
       {read(48), purge(), read(48), purge(), read(48)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    scripted_ftdi::reset({.serial = kSerial});
    py_PCB_RIX board(kSerial, 4);
    BoardInspector inspector(board);
    for (const scripted_ftdi::ReadStep& step : c.script) scripted_ftdi::queue_read(step);
    acquire_script(board);

    EXPECT_EQ(device_traffic(), c.traffic);
    EXPECT_EQ(ready_blocks(inspector).front(), index_range(1, 4));
  }
}

TEST_F(BoardFraming, PartialFrameAtTheEndOfAReadIsDroppedAndTheNextReadRealigned) {
  py_PCB_RIX board(kSerial, 4);
  BoardInspector inspector(board);
  scripted_ftdi::queue_bytes(stream_bytes(0, 30));  // frames 0 and 1, half of 2
  // Begins inside frame 2; its last pair is frame 6's, at buffer position 42,
  // so 18 bytes more reach the start of frame 8.
  scripted_ftdi::queue_bytes(stream_bytes(30, 48));
  scripted_ftdi::queue_bytes(stream_bytes(78, 18));
  scripted_ftdi::queue_bytes(frames(8, 4));
  acquire_script(board);

  EXPECT_EQ(device_traffic(), (std::vector<Call>{read(48), read(48), purge(), read(18), read(48)}));
  const std::vector<std::vector<int64_t>> expected{{0, 1, 8, 9}, {10, 11, kNoFrame, kNoFrame}};
  EXPECT_EQ(ready_blocks(inspector), expected);
}

TEST_F(BoardFraming, BlockFilledAcrossTwoReadsPassesTheRestOnToTheNextBlock) {
  const std::pair<std::size_t, std::size_t> cases[] = {{4, 2}, {4, 3}, {8, 2}, {8, 7}};
  for (const auto& [rows, first_read_frames] : cases) {
    SCOPED_TRACE(::testing::Message() << rows << " rows, first read of " << first_read_frames << " frames");
    scripted_ftdi::reset({.serial = kSerial});
    py_PCB_RIX board(kSerial, rows);
    BoardInspector inspector(board);
    scripted_ftdi::queue_bytes(frames(0, first_read_frames));
    scripted_ftdi::queue_bytes(frames(first_read_frames, rows));
    acquire_script(board);

    const int32_t block = block_read_length(rows);
    EXPECT_EQ(device_traffic(), (std::vector<Call>{read(block), read(block)}));
    std::vector<int64_t> second = index_range(static_cast<int64_t>(rows), first_read_frames);
    second.resize(rows, kNoFrame);
    const std::vector<std::vector<int64_t>> expected{index_range(0, rows), second};
    EXPECT_EQ(ready_blocks(inspector), expected);
  }
}
