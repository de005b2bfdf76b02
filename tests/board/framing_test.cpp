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

TEST_F(BoardFraming, RealignmentSearchesTheEndOfTheDataJustRead) {
  py_PCB_RIX board(kSerial, 4);
  BoardInspector inspector(board);
  // Frames 0 and 1 and 6 bytes of frame 2, carried.
  scripted_ftdi::queue_bytes(stream_bytes(0, 30));
  // 20 bytes from stream position 63 on: the frame beginning in them at
  // buffer position 12 lacks the pair. The data (carry and read) ends at
  // buffer position 26; its last pair is frame 6's at position 15 (stream
  // position 72), so 13 bytes more reach the start of frame 8.
  scripted_ftdi::queue_bytes(stream_bytes(63, 20));
  scripted_ftdi::queue_bytes(stream_bytes(83, 13));
  scripted_ftdi::queue_bytes(frames(8, 4));
  acquire_script(board);

  EXPECT_EQ(device_traffic(), (std::vector<Call>{read(48), read(48), purge(), read(13), read(48)}));
  const std::vector<std::vector<int64_t>> expected{{0, 1, 8, 9}, {10, 11, kNoFrame, kNoFrame}};
  EXPECT_EQ(ready_blocks(inspector), expected);
  EXPECT_EQ(board.stats().realignments, 1u);
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

TEST_F(BoardFraming, ReadsEndingAnywhereInsideAFrameAreContinuedByTheNextRead) {
  for (std::size_t offset = 0; offset < BOARD_FRAME_SIZE; ++offset) {
    SCOPED_TRACE(::testing::Message() << "first read ends " << offset << " bytes into frame 2");
    scripted_ftdi::reset({.serial = kSerial});
    py_PCB_RIX board(kSerial, 4);
    BoardInspector inspector(board);
    scripted_ftdi::queue_bytes(stream_bytes(0, 24 + offset));
    scripted_ftdi::queue_bytes(stream_bytes(24 + offset, 48));
    acquire_script(board);

    EXPECT_EQ(device_traffic(), (std::vector<Call>{read(48), read(48)}));
    const std::vector<std::vector<int64_t>> expected{{0, 1, 2, 3}, {4, 5, kNoFrame, kNoFrame}};
    EXPECT_EQ(ready_blocks(inspector), expected);
    const StreamStats stats = board.stats();
    EXPECT_EQ(stats.frames, 6u);
    // The bytes of frame 6 that had come when the reader stopped.
    EXPECT_EQ(stats.discarded_bytes, offset);
    EXPECT_EQ(stats.alignments + stats.realignments + stats.torn_frames, 0u);
  }
}

TEST_F(BoardFraming, ReadsWithNoDataOrLessThanAFrameAreKeptWithoutAPurge) {
  using scripted_ftdi::bytes_read;
  using scripted_ftdi::result_read;
  struct Case {
    const char* name;
    std::vector<scripted_ftdi::ReadStep> script;
  };
  const Case cases[] = {
      {"exactly one frame", {bytes_read(frames(0, 1)), bytes_read(frames(1, 4))}},
      {"a short first read beginning with the sync pair", {bytes_read(stream_bytes(0, 2)), bytes_read(stream_bytes(2, 48))}},
      {"a first read of one byte", {bytes_read(stream_bytes(0, 1)), bytes_read(stream_bytes(1, 48))}},
      {"empty reads between pieces of one frame",
       {result_read(0), bytes_read(stream_bytes(0, 5)), result_read(0), result_read(0), bytes_read(stream_bytes(5, 3)),
        result_read(0), bytes_read(stream_bytes(8, 50))}},
      {"frames dribbling in a byte at a time", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    scripted_ftdi::reset({.serial = kSerial});
    py_PCB_RIX board(kSerial, 4);
    BoardInspector inspector(board);
    for (const scripted_ftdi::ReadStep& step : c.script) scripted_ftdi::queue_read(step);
    if (c.script.empty()) {
      for (uint64_t position = 0; position < 60; ++position) scripted_ftdi::queue_bytes(stream_bytes(position, 1));
    }
    acquire_script(board);

    for (const Call& call : device_traffic()) EXPECT_EQ(call, read(48));
    EXPECT_EQ(ready_blocks(inspector).front(), index_range(0, 4));
    EXPECT_EQ(board.stats().alignments + board.stats().realignments + board.stats().purges, 0u);
  }
}

TEST_F(BoardFraming, FailedReadsDropWhatWasCarriedAndRealign) {
  using scripted_ftdi::bytes_read;
  using scripted_ftdi::result_read;
  py_PCB_RIX board(kSerial, 4);
  BoardInspector inspector(board);
  // Frame 0 and 5 bytes of frame 1, a failed read, then the stream from
  // frame 1 on: the bytes of frame 1 carried cannot be trusted after a
  // failure, and the next read is checked as a run's first.
  for (const scripted_ftdi::ReadStep& step : {bytes_read(stream_bytes(0, 17)), result_read(-5), result_read(-5),
                                              bytes_read(frames(1, 4))}) {
    scripted_ftdi::queue_read(step);
  }
  acquire_script(board);

  EXPECT_EQ(device_traffic(), (std::vector<Call>{read(48), read(48), purge(), read(48), purge(), read(48)}));
  EXPECT_EQ(ready_blocks(inspector).front(), (std::vector<int64_t>{0, 1, 2, 3}));
  const StreamStats stats = board.stats();
  EXPECT_EQ(stats.failed_reads, 2u);
  EXPECT_EQ(stats.realignments, 2u);
  EXPECT_EQ(stats.discarded_bytes, 5u);  // the bytes of frame 1 carried before the failure
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
