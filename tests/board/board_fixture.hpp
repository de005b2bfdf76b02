// Common ground of the board tests: a scripted device attached before each
// test, and checks after it that the stand-in saw no concurrent use, no
// overlong read and no leaked context.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "board_inspector.hpp"
#include "scripted_ftdi.hpp"

namespace scripted_ftdi {
inline void PrintTo(const Call& call, std::ostream* os) {
  *os << call.name;
  if (call.name == "ftdi_read_data") *os << "(" << call.length << ")";
  for (int arg : call.args) *os << " " << arg;
}
}  // namespace scripted_ftdi

class BoardTest : public ::testing::Test {
 protected:
  static constexpr const char* kSerial = "RIX-0001";
  // Only a broken board waits this long; a passing test is done in
  // milliseconds.
  static constexpr std::chrono::milliseconds kPatience{5000};

  void SetUp() override { scripted_ftdi::reset({.serial = kSerial}); }

  void TearDown() override {
    EXPECT_EQ(scripted_ftdi::take_faults(), std::vector<std::string>{});
    EXPECT_EQ(scripted_ftdi::live_contexts(), 0u) << "a board left its libftdi context behind";
  }

  static scripted_ftdi::Call read(int32_t length) { return scripted_ftdi::read_call(length); }
  static scripted_ftdi::Call purge() { return scripted_ftdi::named_call("ftdi_tcioflush"); }

  // The reads and purges made before the script ran out.
  static std::vector<scripted_ftdi::Call> device_traffic() {
    std::vector<scripted_ftdi::Call> traffic;
    for (const scripted_ftdi::Call& call : scripted_ftdi::calls_before_exhaustion()) {
      if (call.name == "ftdi_read_data" || call.name == "ftdi_tcioflush") traffic.push_back(call);
    }
    return traffic;
  }

  // Starts the reader, lets it use up the script and stops it.
  static void acquire_script(py_PCB_RIX& board) {
    board.start();
    ASSERT_TRUE(scripted_ftdi::wait_exhausted(kPatience)) << "the reader never used up its script";
    board.stop();
  }

  // The frames held by the blocks in the ready queue, block by block.
  static std::vector<std::vector<int64_t>> ready_blocks(BoardInspector& inspector) {
    std::vector<std::vector<int64_t>> blocks;
    for (;;) {
      const PooledBlock handle = inspector.pop_ready(std::chrono::milliseconds(0));
      if (!handle.block) return blocks;
      blocks.push_back(row_indexes(*handle.block));
    }
  }
};
