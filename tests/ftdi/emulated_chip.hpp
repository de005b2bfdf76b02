// Test fixture for code that drives the real libftdi1 and libusb against
// emulated FTDI chips. The emulator starts once per test program, before any
// libusb context exists; each test adds its devices and the fixture removes
// them afterwards. Tests must destroy their FtdiDevice objects before the
// fixture's TearDown, which local objects do.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "board_stream.h"
#include "ftdi_emulator.h"

class EmulatorEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_EQ(ftdi_emu_start(), 0) << "run under umockdev-wrapper (LD_PRELOAD=libumockdev-preload.so.0)";
  }
  void TearDown() override { EXPECT_EQ(ftdi_emu_stop(), 0) << "a device was left open"; }
};

class EmulatedChipTest : public ::testing::Test {
 protected:
  static constexpr uint16_t kFtdiVendor = 0x0403;
  static constexpr uint16_t kFt232h = 0x6014;

  void TearDown() override { ftdi_emu_remove_all(); }

  // A PCB_RIX board on an FT232H unless told otherwise.
  static int add_board(const char* serial, const char* manufacturer = "NVK", const char* description = "PCB_RIX",
                       uint16_t product_id = kFt232h, uint16_t vendor_id = kFtdiVendor) {
    const int id = ftdi_emu_add_device(vendor_id, product_id, manufacturer, description, serial);
    EXPECT_GE(id, 0);
    return id;
  }

  static int64_t value(int id, ftdi_emu_what what) { return ftdi_emu_value(id, what); }

  // Waits for handles to be counted closed, which umockdev reports a moment
  // after close() returns in the client.
  static bool all_closed(int id) { return ftdi_emu_wait_value(id, FTDI_EMU_OPEN_HANDLES, 0, 2000) == 0; }

  static std::vector<uint8_t> stream(uint64_t position, std::size_t length) {
    std::vector<uint8_t> bytes(length);
    board_stream_bytes(position, bytes.data(), length);
    return bytes;
  }
};
