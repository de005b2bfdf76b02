// Stopping and restarting the emulation inside one test program, which the
// fixtures of the C++ and Python tests rely on.
#include <libusb.h>

#include <string>
#include <vector>

#include "emulated_chip.hpp"
#include "ftdi/ftdi_device.hpp"

class EmulatorLifecycleTest : public EmulatedChipTest {
 protected:
  // Leaves the emulator started for the tests that follow, whatever happened.
  void TearDown() override {
    ASSERT_EQ(ftdi_emu_start(), 0);
    EmulatedChipTest::TearDown();
  }
};

TEST_F(EmulatorLifecycleTest, StopWaitsForOpenDevicesAndRestartGivesFreshTestbed) {
  const int id = add_board("before");
  std::vector<uint8_t> bytes(BOARD_FRAME_SIZE);
  {
    FtdiDevice device;
    ASSERT_TRUE(device.open("before", INTERFACE_A, BITMODE_SYNCFF, 0xFF));
    // Kept up while the device is open, with the device gone.
    EXPECT_EQ(ftdi_emu_stop(), -1);
    EXPECT_TRUE(ftdi_emu_started());
    EXPECT_EQ(device.read(bytes.data(), BOARD_FRAME_SIZE), LIBUSB_ERROR_NO_DEVICE);
  }
  EXPECT_TRUE(all_closed(id));
  EXPECT_EQ(ftdi_emu_stop(), 0);
  EXPECT_FALSE(ftdi_emu_started());
  EXPECT_EQ(ftdi_emu_add_device(kFtdiVendor, kFt232h, "NVK", "PCB_RIX", "too early"), -1);
  EXPECT_EQ(ftdi_emu_value(id, FTDI_EMU_OPEN_HANDLES), FTDI_EMU_NO_VALUE);

  ASSERT_EQ(ftdi_emu_start(), 0);
  const int after = add_board("after");
  EXPECT_EQ(list_ftdi_serials("NVK", "PCB_RIX"), std::vector<std::string>{"after"});
  FtdiDevice device;
  ASSERT_TRUE(device.open("after", INTERFACE_A, BITMODE_SYNCFF, 0xFF));
  EXPECT_EQ(device.read(bytes.data(), BOARD_FRAME_SIZE), BOARD_FRAME_SIZE);
  EXPECT_EQ(bytes, stream(0, BOARD_FRAME_SIZE));
  EXPECT_EQ(value(after, FTDI_EMU_OPEN_HANDLES), 1);
}
