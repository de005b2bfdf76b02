// The stream counters: every byte the reader reads is either a row or
// discarded, every delivered row is counted before its block is handed on,
// and each kind of fault raises exactly the counters that mark it.
#include <algorithm>
#include <atomic>
#include <thread>

#include "board_fixture.hpp"

namespace {

constexpr std::size_t kRows = 4;

// A board that never stops sending: every read gets the stream's next bytes,
// as many as were asked for. `skip` drops bytes as a link would.
class EndlessStream {
 public:
  explicit EndlessStream(uint64_t position = 0) : position_(position) {}

  std::optional<int32_t> read(uint8_t* buffer, int32_t length) {
    const uint64_t position = position_.fetch_add(static_cast<uint64_t>(length));
    board_stream_bytes(position, buffer, static_cast<std::size_t>(length));
    return length;
  }
  void skip(uint64_t bytes) { position_ += bytes; }
  uint64_t position() const { return position_; }

 private:
  std::atomic<uint64_t> position_;
};

void attach(EndlessStream& stream) {
  scripted_ftdi::set_source([&stream](uint8_t* buffer, int32_t length) { return stream.read(buffer, length); });
}

void expect_every_byte_accounted_for(const StreamStats& stats) {
  EXPECT_EQ(stats.bytes_read, BOARD_FRAME_SIZE * stats.frames + stats.discarded_bytes);
}

// Waits until the reader has filled all 64 blocks and waits for a free one.
void wait_for_dry_pool(const py_PCB_RIX& board) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (board.stats().pool_waits == 0) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the reader never ran out of free blocks";
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

using BoardAccounting = BoardTest;

TEST_F(BoardAccounting, UnopenedBoardReportsAllZeros) {
  scripted_ftdi::reset({.serial = "OTHER"});
  py_PCB_RIX board(kSerial, kRows);
  ASSERT_FALSE(board.opened());
  EXPECT_EQ(board.stats(), StreamStats{});
}

TEST_F(BoardAccounting, CleanStreamOverStartStopCyclesCountsExactlyTheFreshRowsDelivered) {
  // Reads of 3, 2 and 4 whole frames in turn, so blocks fill across reads and
  // stop() cuts them at any row.
  EndlessStream stream;
  std::atomic<int> read_number{0};
  scripted_ftdi::set_source([&](uint8_t* buffer, int32_t length) {
    constexpr int32_t kFramesPerRead[] = {3, 2, 4};
    const int32_t frames_in_read = kFramesPerRead[read_number++ % 3];
    return stream.read(buffer, std::min<int32_t>(length, frames_in_read * BOARD_FRAME_SIZE));
  });
  py_PCB_RIX board(kSerial, kRows);
  BoardInspector inspector(board);
  uint64_t fresh_rows = 0;
  for (int cycle = 0; cycle < 20; ++cycle) {
    SCOPED_TRACE(::testing::Message() << "cycle " << cycle);
    const StreamStats before = board.stats();
    // Every third run joins the board inside a frame, as a new reader may.
    if (cycle % 3 == 2) stream.skip(5);
    board.start();
    // A consumer that keeps up, so the reader is mostly filling a block when
    // stop() comes. It leaves before the stop: the block that stop() cuts is
    // drained below.
    std::atomic<bool> stopping{false};
    std::thread consumer([&] {
      while (!stopping) {
        if (inspector.pop_ready(std::chrono::milliseconds(1)).block) fresh_rows += kRows;
      }
    });
    ASSERT_TRUE(scripted_ftdi::wait_reads(scripted_ftdi::read_count() + 10 * cycle + 1, kPatience));
    stopping = true;
    consumer.join();
    board.stop();

    const StreamStats after = board.stats();
    expect_every_byte_accounted_for(after);
    EXPECT_EQ(after.realignments, 0u);
    EXPECT_EQ(after.torn_frames, 0u);
    EXPECT_EQ(after.failed_reads, 0u);
    EXPECT_EQ(after.short_reads, 0u);
    // Joining inside a frame takes one realignment or more (the search may
    // go by what an earlier, longer read left in the buffer), none of them
    // after the run's first row.
    if (cycle % 3 == 2) {
      EXPECT_GE(after.alignments - before.alignments, 1u);
    } else {
      EXPECT_EQ(after.alignments, before.alignments);
    }
    EXPECT_FALSE(after.running);

    // Full blocks count all their rows. A block that stop() cut short is the
    // last one handed on and counts only its fresh rows; a reader stopped
    // while it waited for a free block cut none.
    const std::vector<std::vector<int64_t>> rest = ready_blocks(inspector);
    const uint64_t cut = after.partial_blocks - before.partial_blocks;
    ASSERT_LE(cut, 1u);
    ASSERT_GE(rest.size(), cut);
    fresh_rows += kRows * (rest.size() - cut) + cut * after.last_cut_rows;
    for (std::size_t r = 0; r < cut * after.last_cut_rows; ++r) EXPECT_GE(rest.back()[r], 0) << "row " << r;
  }
  EXPECT_EQ(board.stats().frames, fresh_rows);
}

struct FaultCase {
  const char* name;
  // Read results after a first, clean block read of frames 0..3; the endless
  // stream then goes on from `resume_at`.
  std::vector<scripted_ftdi::ReadStep> fault;
  uint64_t resume_at;
  StreamStats expected;  // torn_frames, alignments, realignments, purges, failed_reads, short_reads
};

std::vector<uint8_t> joined(std::vector<uint8_t> first, const std::vector<uint8_t>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

TEST_F(BoardAccounting, EachFaultRaisesExactlyTheCountersThatMarkIt) {
  constexpr uint64_t kFrame = BOARD_FRAME_SIZE;
  using scripted_ftdi::bytes_read;
  using scripted_ftdi::result_read;
  const FaultCase cases[] = {
      // Frame 4, then 5 bytes that are no stream, then 31 bytes from frame 5
      // on: the last three rows of the read are torn; the next read starts
      // inside frame 7 and is realigned.
      {"garbage burst inside a read", {bytes_read(joined(frames(4, 1), joined({1, 2, 3, 4, 5}, stream_bytes(5 * kFrame, 31))))},
       5 * kFrame + 31,
       {.torn_frames = 3, .realignments = 1, .purges = 1}},
      // Frame 4, then the stream 5 bytes later: three torn rows again.
      {"bytes lost inside a read", {bytes_read(joined(frames(4, 1), stream_bytes(5 * kFrame + 5, 36)))},
       5 * kFrame + 41,
       {.torn_frames = 3, .realignments = 1, .purges = 1}},
      {"failed read", {result_read(-7)}, 4 * kFrame, {.realignments = 1, .purges = 1, .failed_reads = 1}},
      // Short reads of a quiet board are kept: the stream goes on where they
      // end, and nothing is lost or realigned.
      {"read of less than a frame", {bytes_read(stream_bytes(4 * kFrame, 7))}, 4 * kFrame + 7, {.short_reads = 1}},
      {"read of one frame", {bytes_read(frames(4, 1))}, 5 * kFrame, {.short_reads = 1}},
      {"empty read", {result_read(0)}, 4 * kFrame, {.short_reads = 1}},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    scripted_ftdi::reset({.serial = kSerial});
    scripted_ftdi::queue_bytes(frames(0, kRows));
    for (const scripted_ftdi::ReadStep& step : c.fault) scripted_ftdi::queue_read(step);
    EndlessStream stream(c.resume_at);
    attach(stream);
    py_PCB_RIX board(kSerial, kRows);
    BoardInspector inspector(board);
    board.start();
    wait_for_dry_pool(board);
    if (HasFatalFailure()) return;
    board.stop();

    const StreamStats stats = board.stats();
    expect_every_byte_accounted_for(stats);
    EXPECT_EQ(stats.torn_frames, c.expected.torn_frames);
    EXPECT_EQ(stats.alignments, 0u);
    EXPECT_EQ(stats.realignments, c.expected.realignments);
    EXPECT_EQ(stats.purges, c.expected.purges);
    EXPECT_EQ(stats.failed_reads, c.expected.failed_reads);
    EXPECT_EQ(stats.short_reads, c.expected.short_reads);
    // All 64 blocks were filled; the reader held the last one, full, until
    // stop() handed it on.
    EXPECT_EQ(stats.blocks, kBlockPoolSize);
    EXPECT_EQ(stats.partial_blocks, 0u);
    EXPECT_EQ(stats.frames, kBlockPoolSize * kRows);
    EXPECT_EQ(stats.pool_waits, 1u);

    uint64_t rows_that_are_no_frame = 0;
    for (const std::vector<int64_t>& block : ready_blocks(inspector)) {
      rows_that_are_no_frame += static_cast<uint64_t>(std::count(block.begin(), block.end(), -1));
    }
    EXPECT_EQ(rows_that_are_no_frame, stats.torn_frames) << "torn rows delivered";
  }
}

TEST_F(BoardAccounting, JoiningInsideAFrameIsAnAlignmentNotAGap) {
  EndlessStream stream(5);
  attach(stream);
  py_PCB_RIX board(kSerial, kRows);
  board.start();
  wait_for_dry_pool(board);
  board.stop();

  const StreamStats stats = board.stats();
  expect_every_byte_accounted_for(stats);
  EXPECT_EQ(stats.alignments, 1u);
  EXPECT_EQ(stats.purges, 1u);
  EXPECT_EQ(stats.realignments + stats.torn_frames + stats.failed_reads + stats.short_reads, 0u);
}

TEST_F(BoardAccounting, PoolWaitCountsTheTimeWithoutAFreeBlock) {
  EndlessStream stream;
  attach(stream);
  py_PCB_RIX board(kSerial, kRows);
  BoardInspector inspector(board);
  board.start();
  wait_for_dry_pool(board);
  constexpr std::chrono::milliseconds kHeld{30};
  std::this_thread::sleep_for(kHeld);
  inspector.pop_ready(kPatience);  // one block back: the wait ends
  ASSERT_TRUE(scripted_ftdi::wait_reads(kBlockPoolSize + 1, kPatience));
  board.stop();

  const StreamStats stats = board.stats();
  EXPECT_GE(stats.pool_waits, 1u);
  EXPECT_GE(stats.pool_wait_ns, static_cast<uint64_t>(std::chrono::nanoseconds(kHeld).count()));
}

TEST_F(BoardAccounting, FlushesAndRawReadsAreCountedApartFromTheStream) {
  py_PCB_RIX board(kSerial, kRows);
  board.flush();
  board.flush();
  scripted_ftdi::queue_bytes(stream_bytes(0, 10));
  std::vector<uint8_t> raw(16);
  ASSERT_EQ(board.read_raw(raw.data(), 16), 10);

  const StreamStats stats = board.stats();
  EXPECT_EQ(stats.flushes, 2u);
  EXPECT_EQ(stats.raw_reads, 1u);
  EXPECT_EQ(stats.raw_bytes, 10u);
  EXPECT_EQ(stats.bytes_read, 0u);
  EXPECT_EQ(stats.purges, 0u);
}

TEST_F(BoardAccounting, StatsReadFromSeveralThreadsWhileRunningOnlyEverGrow) {
  EndlessStream stream;
  attach(stream);
  py_PCB_RIX board(kSerial, kRows);
  BoardInspector inspector(board);
  board.start();
  std::atomic<bool> done{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      StreamStats last;
      while (!done) {
        const StreamStats now = board.stats();
        EXPECT_GE(now.bytes_read, last.bytes_read);
        EXPECT_GE(now.frames, last.frames);
        EXPECT_GE(now.blocks, last.blocks);
        EXPECT_GE(now.discarded_bytes, last.discarded_bytes);
        EXPECT_LE(now.ready_blocks, kBlockPoolSize);
        last = now;
      }
    });
  }
  for (int taken = 0; taken < 500; ++taken) ASSERT_TRUE(inspector.pop_ready(kPatience).block);
  done = true;
  for (std::thread& reader : readers) reader.join();
  board.stop();
  expect_every_byte_accounted_for(board.stats());
}
