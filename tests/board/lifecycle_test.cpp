// The reader's life: waiting for free blocks, stop and start, destruction,
// a repeated start, flush() while it reads, and backing off from a device
// that gives nothing.
#include <algorithm>
#include <atomic>
#include <future>
#include <memory>
#include <set>
#include <thread>

#include "board_fixture.hpp"

using scripted_ftdi::Call;

namespace {

// Enough time for a reader that ought to stay idle to betray itself, or to
// finish copying a read it has made.
constexpr std::chrono::milliseconds kIdleCheck{50};

// Scripts `blocks` aligned block reads of `rows` frames each, from frame 0.
void queue_block_reads(std::size_t rows, std::size_t blocks) {
  for (std::size_t b = 0; b < blocks; ++b) scripted_ftdi::queue_bytes(frames(b * rows, rows));
}

std::vector<int64_t> concatenated(const std::vector<std::vector<int64_t>>& blocks) {
  std::vector<int64_t> rows;
  for (const auto& block : blocks) rows.insert(rows.end(), block.begin(), block.end());
  return rows;
}

std::set<std::thread::id> reading_threads() {
  std::set<std::thread::id> threads;
  for (const Call& call : scripted_ftdi::calls()) {
    if (call.name == "ftdi_read_data") threads.insert(call.thread);
  }
  return threads;
}

}  // namespace

using BoardFlowControl = BoardTest;

TEST_F(BoardFlowControl, NoDeviceReadWhileAllBlocksWaitAndReadingResumesWhenOneReturns) {
  py_PCB_RIX board(kSerial, 2);
  BoardInspector inspector(board);
  queue_block_reads(2, kBlockPoolSize + 1);
  board.start();
  ASSERT_TRUE(scripted_ftdi::wait_reads(kBlockPoolSize, kPatience));
  // 63 blocks wait for Python and the reader holds the 64th, full.
  std::this_thread::sleep_for(kIdleCheck);
  EXPECT_EQ(scripted_ftdi::read_count(), kBlockPoolSize);
  EXPECT_EQ(scripted_ftdi::steps_left(), 1u);
  EXPECT_EQ(inspector.ready_count(), kBlockPoolSize - 1);
  EXPECT_EQ(inspector.free_count(), 0u);

  {
    const PooledBlock oldest = inspector.pop_ready(kPatience);
    ASSERT_TRUE(oldest.block);
    EXPECT_EQ(row_indexes(*oldest.block), index_range(0, 2));
  }
  ASSERT_TRUE(scripted_ftdi::wait_reads(kBlockPoolSize + 1, kPatience));
  board.stop();
  // The resumed read's frames reach the last block only if stop() came after
  // the pass that copies them, so that block is left out.
  std::vector<std::vector<int64_t>> blocks = ready_blocks(inspector);
  ASSERT_EQ(blocks.size(), kBlockPoolSize);
  blocks.pop_back();
  EXPECT_EQ(concatenated(blocks), index_range(2, 2 * (kBlockPoolSize - 1)));
}

using BoardStopping = BoardTest;

TEST_F(BoardStopping, MidBlockHandsTheBlockOnWithItsOtherRowsUntouched) {
  {
    SCOPED_TRACE("a block never filled before keeps zeros");
    py_PCB_RIX board(kSerial, 4);
    BoardInspector inspector(board);
    scripted_ftdi::queue_bytes(frames(0, 2));
    acquire_script(board);
    EXPECT_EQ(ready_blocks(inspector), (std::vector<std::vector<int64_t>>{{0, 1, -1, -1}}));
  }
  {
    SCOPED_TRACE("a recycled block keeps its older samples");
    scripted_ftdi::reset({.serial = kSerial});
    py_PCB_RIX board(kSerial, 4);
    BoardInspector inspector(board);
    queue_block_reads(4, kBlockPoolSize);
    board.start();
    ASSERT_TRUE(scripted_ftdi::wait_reads(kBlockPoolSize, kPatience));
    scripted_ftdi::queue_bytes(frames(4 * kBlockPoolSize, 2));
    inspector.pop_ready(kPatience);  // frames 0..3, released at once
    ASSERT_TRUE(scripted_ftdi::wait_exhausted(kPatience));
    board.stop();

    const std::vector<std::vector<int64_t>> blocks = ready_blocks(inspector);
    ASSERT_EQ(blocks.size(), kBlockPoolSize);
    EXPECT_EQ(blocks.back(), (std::vector<int64_t>{4 * kBlockPoolSize, 4 * kBlockPoolSize + 1, 2, 3}));
  }
}

TEST_F(BoardStopping, WhileWaitingForAFreeBlockHandsTheFullBlockOn) {
  py_PCB_RIX board(kSerial, 2);
  BoardInspector inspector(board);
  queue_block_reads(2, kBlockPoolSize);
  board.start();
  ASSERT_TRUE(scripted_ftdi::wait_reads(kBlockPoolSize, kPatience));
  std::this_thread::sleep_for(kIdleCheck);  // let it copy the read and settle into the wait
  board.stop();

  EXPECT_FALSE(inspector.holds_reader());
  EXPECT_EQ(inspector.free_count(), 0u);
  EXPECT_EQ(concatenated(ready_blocks(inspector)), index_range(0, 2 * kBlockPoolSize));
}

TEST_F(BoardStopping, StartAfterStopRealignsTheNewReaderAndKeepsReadyBlocks) {
  py_PCB_RIX board(kSerial, 4);
  BoardInspector inspector(board);
  scripted_ftdi::queue_bytes(frames(0, 4));
  acquire_script(board);

  scripted_ftdi::reset({.serial = kSerial});
  // The new reader's first read begins 7 bytes into frame 5; its last pair,
  // frame 9's at buffer position 41, is 17 bytes short of frame 11.
  scripted_ftdi::queue_bytes(stream_bytes(67, 48));
  scripted_ftdi::queue_bytes(stream_bytes(115, 17));
  scripted_ftdi::queue_bytes(frames(11, 4));
  acquire_script(board);

  EXPECT_EQ(device_traffic(), (std::vector<Call>{read(48), purge(), read(17), read(48)}));
  const std::vector<std::vector<int64_t>> blocks = ready_blocks(inspector);
  ASSERT_EQ(blocks.size(), 4u);  // each run leaves a block it had just taken
  EXPECT_EQ(blocks[0], index_range(0, 4));
  EXPECT_EQ(blocks[2], index_range(11, 4));
}

using BoardReaderLifetime = BoardTest;

TEST_F(BoardReaderLifetime, DestroyingARunningBoardJoinsItsReaderBeforeClosingTheDevice) {
  auto board = std::make_unique<py_PCB_RIX>(kSerial, 2);
  scripted_ftdi::queue_bytes(frames(0, 2));
  board->start();
  ASSERT_TRUE(scripted_ftdi::wait_exhausted(kPatience));
  board.reset();

  const std::vector<Call> log = scripted_ftdi::calls();
  const auto close = std::find(log.begin(), log.end(), scripted_ftdi::named_call("ftdi_usb_close"));
  ASSERT_NE(close, log.end());
  EXPECT_EQ(log.back(), scripted_ftdi::named_call("ftdi_free"));
  EXPECT_EQ(std::count_if(close, log.end(), [](const Call& c) { return c.name == "ftdi_read_data"; }), 0)
      << "the reader read from a closed device";
}

TEST_F(BoardReaderLifetime, SecondStartKeepsTheOneReader) {
  py_PCB_RIX board(kSerial, 2);
  BoardInspector inspector(board);
  scripted_ftdi::queue_bytes(frames(0, 2));
  board.start();
  board.start();
  ASSERT_TRUE(scripted_ftdi::wait_exhausted(kPatience));
  board.start();
  // A second reader would show within a few of the reader's idle reads.
  ASSERT_TRUE(scripted_ftdi::wait_reads(scripted_ftdi::read_count() + 5, kPatience));
  EXPECT_TRUE(board.stats().running);
  board.stop();
  EXPECT_FALSE(inspector.holds_reader());
  EXPECT_EQ(reading_threads().size(), 1u);
}

TEST_F(BoardReaderLifetime, FlushDuringAcquisitionNeverOverlapsADeviceCall) {
  scripted_ftdi::reset({.serial = kSerial, .idle_wait = std::chrono::microseconds(200)});
  py_PCB_RIX board(kSerial, 2);
  board.start();  // nothing scripted: the reader keeps purging and reading
  constexpr int kFlushes = 50;
  for (int i = 0; i < kFlushes; ++i) {
    // Flush right after one of the reader's reads, while it goes on with the
    // next device call.
    ASSERT_TRUE(scripted_ftdi::wait_reads(scripted_ftdi::read_count() + 1, kPatience));
    board.flush();
  }
  board.stop();

  const std::vector<Call> log = scripted_ftdi::calls();
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const Call& c) {
                            return c.name == "ftdi_tcioflush" && c.thread == std::this_thread::get_id();
                          }),
            kFlushes);
  // Overlapping calls are reported by the stand-in and fail the test in
  // TearDown; the stand-in's own check of that follows.
}

TEST_F(BoardReaderLifetime, FlushPurgesAtTheEndOfTheReadInProgressAtTheLatest) {
  // A slow board: each block read takes a while, and the reader starts the
  // next one at once, so a purge that merely queued for the device behind it
  // could wait for ever.
  std::atomic<uint64_t> next_frame{0};
  scripted_ftdi::set_source([&](uint8_t* buffer, int32_t length) -> std::optional<int32_t> {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    board_stream_bytes(next_frame.fetch_add(2) * BOARD_FRAME_SIZE, buffer, static_cast<std::size_t>(length));
    return length;
  });
  std::vector<std::size_t> reads_at_purge;
  scripted_ftdi::set_purge_hook([&] { reads_at_purge.push_back(scripted_ftdi::read_count()); });
  py_PCB_RIX board(kSerial, 2);
  BoardInspector inspector(board);
  board.start();
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(scripted_ftdi::wait_reads(scripted_ftdi::read_count() + 1, kPatience));
    const std::size_t reads_begun = scripted_ftdi::read_count();
    board.flush();
    ASSERT_EQ(reads_at_purge.size(), static_cast<std::size_t>(i + 1));
    // The read in progress when flush() was called may end first, and one
    // that the reader had just been granted; no later one.
    EXPECT_LE(reads_at_purge.back() - reads_begun, 1u) << "flush " << i << " waited behind later reads";
    while (inspector.pop_ready(std::chrono::milliseconds(0)).block) {
    }
  }
  board.stop();
}

TEST_F(BoardReaderLifetime, FailedReadsBackOffEmptyReadsWaitBrieflyAndTheStreamResumesAsSoonAsDataComes) {
  scripted_ftdi::reset({.serial = kSerial, .idle_wait = std::chrono::microseconds(0)});
  // Every read returns at once: a reader that retried at once would make
  // tens of thousands of reads in each phase.
  std::atomic<int32_t> answer{-7};
  scripted_ftdi::set_source([&answer](uint8_t*, int32_t) -> std::optional<int32_t> { return answer.load(); });
  py_PCB_RIX board(kSerial, 2);
  BoardInspector inspector(board);
  constexpr std::chrono::milliseconds kPhase{300};
  board.start();
  std::this_thread::sleep_for(kPhase);
  const std::size_t failed = scripted_ftdi::read_count();
  EXPECT_LT(failed, 40u) << "a failing device is not backed off from";

  // A quiet board is read again within about a millisecond, so that nothing
  // piles up in its FIFO when it speaks again; but not in a busy loop.
  answer = 0;
  std::this_thread::sleep_for(kPhase);
  const std::size_t empty = scripted_ftdi::read_count() - failed;
  EXPECT_GT(empty, 60u) << "a quiet board is backed off from as if it had failed";
  EXPECT_LT(empty, 3000u) << "a quiet board is read in a busy loop";

  scripted_ftdi::set_source(nullptr);
  queue_block_reads(2, 3);
  const PooledBlock first = inspector.pop_ready(kPatience);
  ASSERT_TRUE(first.block) << "the stream did not resume";
  EXPECT_EQ(row_indexes(*first.block), index_range(0, 2));
  board.stop();
  const StreamStats stats = board.stats();
  EXPECT_GE(stats.failed_reads, failed);
  // Each failed read before the first row made the reader realign, which
  // costs no data then; an empty read needs no realignment.
  EXPECT_EQ(stats.alignments, stats.failed_reads);
  EXPECT_EQ(stats.realignments, 0u);
}

TEST(ScriptedFtdi, ReportsTwoThreadsInsideLibftdiAtOnce) {
  scripted_ftdi::reset();
  std::promise<void> entered;
  std::promise<void> release;
  scripted_ftdi::queue_read([&](uint8_t*, int32_t) {
    entered.set_value();
    release.get_future().wait();
    return 0;
  });
  std::thread reader([] {
    uint8_t byte;
    ftdi_read_data(nullptr, &byte, 1);
  });
  entered.get_future().wait();
  ftdi_tcioflush(nullptr);
  release.set_value();
  reader.join();

  const std::vector<std::string> faults = scripted_ftdi::take_faults();
  ASSERT_EQ(faults.size(), 1u);
  EXPECT_EQ(faults[0], "concurrent entry into ftdi_tcioflush");
}
