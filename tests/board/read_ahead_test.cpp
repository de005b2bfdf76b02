// A board that reads ahead, on an emulated chip through the real libftdi1 and
// libusb, with a consumer and a thread of control calls at once (flush, raw
// reads, stop and start, stats): the reader alone uses the device while it
// reads ahead, and nothing is lost from the pool or left queued. Runs in the
// ThreadSanitizer and AddressSanitizer builds too.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "board_inspector.hpp"
#include "emulated_chip.hpp"

using namespace std::chrono_literals;

using BoardReadAhead = EmulatedChipTest;

TEST_F(BoardReadAhead, ControlCallsFromAnotherThreadKeepRowsWholeThePoolCompleteAndNothingQueued) {
  const int id = add_board("AHEAD");
  ftdi_emu_set_pace(id, 1'000'000);
  constexpr std::size_t kRows = 64;
  constexpr std::size_t kColumnsOf = py_PCB_RIX::kColumns;
  {
    py_PCB_RIX board("AHEAD", kRows);
    ASSERT_TRUE(board.opened());
    board.set_read_ahead(64 * 1024);
    BoardInspector inspector(board);
    board.start();

    std::atomic<bool> done{false};
    std::atomic<uint64_t> torn_rows{0};
    std::thread consumer([&] {
      while (!done) {
        const PooledBlock handle = inspector.pop_ready(1ms);
        if (!handle.block) continue;
        // Rows the reader wrote are true frames; a block a stop cut short
        // carries older frames or zeros behind them, never a torn row.
        const std::vector<int64_t> indexes = row_indexes(*handle.block);
        for (std::size_t row = 0; row < indexes.size(); ++row) {
          const uint16_t* values = &handle.block->data[row * kColumnsOf];
          const bool zero = std::all_of(values, values + kColumnsOf, [](uint16_t v) { return v == 0; });
          torn_rows += indexes[row] < 0 && !zero;
        }
      }
    });
    std::vector<uint8_t> raw(100);
    const auto end = std::chrono::steady_clock::now() + 1500ms;
    for (int round = 0; std::chrono::steady_clock::now() < end; ++round) {
      std::this_thread::sleep_for(20ms);
      switch (round % 4) {
        case 0:
          board.flush();
          break;
        case 1:
          EXPECT_EQ(board.read_raw(raw.data(), 100), 100);
          break;
        case 2:
          board.stop();
          EXPECT_EQ(value(id, FTDI_EMU_URBS_QUEUED), 0);
          board.start();
          break;
        default:
          EXPECT_TRUE(board.stats().running);
      }
    }
    done = true;
    consumer.join();
    EXPECT_EQ(torn_rows, 0u);
    board.stop();
    EXPECT_EQ(value(id, FTDI_EMU_URBS_QUEUED), 0) << "transfers left queued after stop()";

    const StreamStats stats = board.stats();
    EXPECT_EQ(stats.bytes_read, BOARD_FRAME_SIZE * stats.frames + stats.discarded_bytes);
    EXPECT_EQ(stats.torn_frames, 0u);
    EXPECT_EQ(stats.purges, 0u);
    EXPECT_GT(stats.flushes, 0u);
    EXPECT_GT(stats.blocks, 0u);
    const std::vector<const uint16_t*> storage = inspector.queued_storage();
    EXPECT_EQ(std::set<const uint16_t*>(storage.begin(), storage.end()).size(), kBlockPoolSize);
  }
  EXPECT_TRUE(all_closed(id));
}
