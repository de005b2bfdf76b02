// Opening a board, its pool of blocks, its limits and its teardown.
#include <climits>
#include <set>
#include <stdexcept>

#include "board_fixture.hpp"

using scripted_ftdi::Call;
using scripted_ftdi::named_call;

using BoardConstruction = BoardTest;

TEST_F(BoardConstruction, OpensInSynchronousFifoModeAndFillsTheFreeQueue) {
  py_PCB_RIX board(kSerial, 3);
  BoardInspector inspector(board);

  EXPECT_TRUE(board.opened());
  EXPECT_EQ(board.get_serial_number(), kSerial);
  EXPECT_FALSE(board.stats().running);
  EXPECT_FALSE(inspector.holds_reader());
  EXPECT_FALSE(board.get_timeout().has_value());
  EXPECT_EQ(inspector.block_bytes(), 36u);
  const std::vector<Call> expected{named_call("ftdi_new"),
                                   named_call("ftdi_usb_find_all"),
                                   named_call("ftdi_usb_get_strings"),
                                   named_call("ftdi_usb_open_dev"),
                                   named_call("ftdi_set_interface", {INTERFACE_A}),
                                   named_call("ftdi_set_bitmode", {0xFF, BITMODE_SYNCFF}),
                                   named_call("ftdi_list_free")};
  EXPECT_EQ(scripted_ftdi::calls(), expected);

  EXPECT_EQ(inspector.ready_count(), 0u);
  ASSERT_EQ(inspector.free_count(), kBlockPoolSize);
  std::set<const uint16_t*> storage;
  for (std::size_t i = 0; i < kBlockPoolSize; ++i) {
    const PooledBlock handle(inspector.free_queue().pop(std::chrono::nanoseconds(0)), nullptr);
    ASSERT_TRUE(handle.block);
    EXPECT_EQ(handle.block->rows, 3u);
    EXPECT_EQ(handle.block->cols, 5u);
    EXPECT_EQ(handle.block->data, std::vector<uint16_t>(15, 0));
    storage.insert(handle.block->data.data());
  }
  EXPECT_EQ(storage.size(), kBlockPoolSize) << "blocks share storage";
}

TEST_F(BoardConstruction, MissingOrUnusableDeviceGivesAnUnopenedBoard) {
  {
    py_PCB_RIX board("RIX-0002", 2);
    EXPECT_FALSE(board.opened());
    EXPECT_EQ(board.get_serial_number(), "RIX-0002");
    board.flush();  // fails inside libftdi on a real chip, and is ignored
  }
  scripted_ftdi::reset({.serial = kSerial, .bitmode_result = -1});
  py_PCB_RIX board(kSerial, 2);
  EXPECT_FALSE(board.opened());
}

TEST_F(BoardConstruction, NoLibftdiContextThrows) {
  scripted_ftdi::reset({.context_available = false, .serial = kSerial});
  try {
    py_PCB_RIX board(kSerial, 2);
    FAIL() << "a board without a libftdi context was built";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Can't call libftdi function, ctx handle is null");
  }
}

TEST_F(BoardConstruction, SamplesCountOutsideItsLimitsIsRefusedBeforeTheDeviceIsTouched) {
  for (std::size_t rows : {std::size_t{0}, std::size_t{1}, py_PCB_RIX::kMaxSamplesCount + 1}) {
    SCOPED_TRACE(rows);
    EXPECT_THROW(py_PCB_RIX(kSerial, rows), std::invalid_argument);
  }
  EXPECT_TRUE(scripted_ftdi::calls().empty());

  EXPECT_NO_THROW(py_PCB_RIX(kSerial, 2));
  // The largest count is not built here (its 64 blocks need about 115 GB); it
  // is the largest whose block read length fits the signed 32-bit count that
  // ftdi_read_data takes.
  EXPECT_EQ(py_PCB_RIX::kMaxSamplesCount, 178'956'970u);
  EXPECT_LE(py_PCB_RIX::kMaxSamplesCount * py_PCB_RIX::kFrameSize, std::size_t{INT_MAX});
  EXPECT_GT((py_PCB_RIX::kMaxSamplesCount + 1) * py_PCB_RIX::kFrameSize, std::size_t{INT_MAX});
}
