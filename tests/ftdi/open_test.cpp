// FtdiDevice::open against emulated chips: which device is chosen, and what
// the chip is told.
#include <string>

#include "emulated_chip.hpp"
#include "ftdi/ftdi_device.hpp"

class OpenTest : public EmulatedChipTest {
 protected:
  static bool open_board(FtdiDevice& device, const std::string& serial) {
    return device.open(serial, INTERFACE_A, BITMODE_SYNCFF, 0xFF);
  }
  // The chip was configured by an open (its bit mode was asked for).
  static bool configured(int id) { return value(id, FTDI_EMU_BITMODE_REQUESTS) > 0; }
};

TEST_F(OpenTest, NoDeviceLeavesItUnopened) {
  FtdiDevice device;
  EXPECT_FALSE(open_board(device, ""));
  EXPECT_FALSE(device.opened());
}

TEST_F(OpenTest, SetsSynchronousFifoModeWithFullMask) {
  const int id = add_board("SN1");
  FtdiDevice device;
  EXPECT_TRUE(open_board(device, "SN1"));
  EXPECT_TRUE(device.opened());
  EXPECT_EQ(value(id, FTDI_EMU_BITMODE), 0x40);
  EXPECT_EQ(value(id, FTDI_EMU_BITMASK), 0xFF);
  EXPECT_EQ(value(id, FTDI_EMU_CLAIMED_INTERFACES), 1);
  // Opening resets the port and configures nothing else: no purge, no latency.
  EXPECT_EQ(value(id, FTDI_EMU_RESETS), 1);
  EXPECT_EQ(value(id, FTDI_EMU_RX_PURGES), 0);
  EXPECT_EQ(value(id, FTDI_EMU_LATENCY_TIMER), -1);
}

TEST_F(OpenTest, PassesModeAndMaskAsGiven) {
  const int id = add_board("SN1");
  FtdiDevice device;
  EXPECT_TRUE(device.open("SN1", INTERFACE_A, BITMODE_BITBANG, 0x0F));
  EXPECT_EQ(value(id, FTDI_EMU_BITMODE), BITMODE_BITBANG);
  EXPECT_EQ(value(id, FTDI_EMU_BITMASK), 0x0F);
}

TEST_F(OpenTest, EmptySerialOpensFirstDevice) {
  const int first = add_board("ZZZ");
  const int second = add_board("AAA");
  FtdiDevice device;
  EXPECT_TRUE(open_board(device, ""));
  EXPECT_TRUE(configured(first));
  EXPECT_FALSE(configured(second));
}

TEST_F(OpenTest, SerialIsMatchedAsPrefix) {
  const int first = add_board("AB123");
  const int second = add_board("AB124");
  {
    FtdiDevice device;
    EXPECT_TRUE(open_board(device, "AB124"));
    EXPECT_FALSE(configured(first));
    EXPECT_TRUE(configured(second));
  }
  FtdiDevice device;
  EXPECT_TRUE(open_board(device, "AB12"));
  EXPECT_TRUE(configured(first));
}

TEST_F(OpenTest, LongerOrOversizedSerialSelectsNothing) {
  const int id = add_board("AB1");
  FtdiDevice longer;
  EXPECT_FALSE(open_board(longer, "AB12"));
  FtdiDevice oversized;
  EXPECT_FALSE(open_board(oversized, "AB1" + std::string(125, 'x')));
  EXPECT_FALSE(configured(id));
  EXPECT_TRUE(all_closed(id));
}

TEST_F(OpenTest, WorksOnOtherFtdiChips) {
  const int ft232r = add_board("R", "NVK", "PCB_RIX", 0x6001);
  const int ft2232h = add_board("D", "NVK", "PCB_RIX", 0x6010);
  FtdiDevice on_ft232r;
  FtdiDevice on_ft2232h;
  EXPECT_TRUE(open_board(on_ft232r, "R"));
  EXPECT_TRUE(open_board(on_ft2232h, "D"));
  EXPECT_EQ(value(ft232r, FTDI_EMU_BITMODE), 0x40);
  EXPECT_EQ(value(ft2232h, FTDI_EMU_BITMODE), 0x40);
}

TEST_F(OpenTest, UnreadableSerialIsComparedAsEmpty) {
  const int hidden = add_board("hidden");
  ftdi_emu_set_unreadable_strings(hidden, FTDI_EMU_STRING_SERIAL);
  const int visible = add_board("visible");
  {
    FtdiDevice device;
    EXPECT_FALSE(open_board(device, "hidden"));
  }
  FtdiDevice device;
  EXPECT_TRUE(open_board(device, ""));
  EXPECT_TRUE(configured(hidden));
  EXPECT_FALSE(configured(visible));
}

// The first matching device is final: a failing one is not passed over for a
// later device with the same serial.
TEST_F(OpenTest, FirstMatchIsFinalEvenWhenItFails) {
  const int failing = add_board("twin");
  const int healthy = add_board("twin");
  ftdi_emu_set_failing_steps(failing, FTDI_EMU_FAIL_USB_OPEN);
  FtdiDevice device;
  EXPECT_FALSE(open_board(device, "twin"));
  EXPECT_FALSE(device.opened());
  EXPECT_FALSE(configured(healthy));
  EXPECT_EQ(value(healthy, FTDI_EMU_RESETS), 0);
}

// Each set-up step that the chip refuses leaves the device unopened. A failed
// USB open closes the device again, so the bit mode is never sent then.
TEST_F(OpenTest, RefusedSetUpStepLeavesItUnopened) {
  for (const unsigned step : {FTDI_EMU_FAIL_USB_OPEN, FTDI_EMU_FAIL_CLAIM, FTDI_EMU_FAIL_BAUDRATE,
                              FTDI_EMU_FAIL_BITMODE}) {
    SCOPED_TRACE(step);
    const int id = add_board("SN");
    ftdi_emu_set_failing_steps(id, step);
    {
      FtdiDevice device;
      EXPECT_FALSE(open_board(device, "SN"));
      EXPECT_FALSE(device.opened());
      EXPECT_EQ(value(id, FTDI_EMU_BITMODE_REQUESTS), step == FTDI_EMU_FAIL_BITMODE ? 1 : 0);
      EXPECT_EQ(value(id, FTDI_EMU_BITMODE), -1);
    }
    EXPECT_TRUE(all_closed(id));
    ftdi_emu_remove_device(id);
  }
}

TEST_F(OpenTest, BitModeFailureKeepsDeviceOpenUntilDestruction) {
  const int id = add_board("SN");
  ftdi_emu_set_failing_steps(id, FTDI_EMU_FAIL_BITMODE);
  {
    FtdiDevice device;
    EXPECT_FALSE(open_board(device, "SN"));
    EXPECT_EQ(value(id, FTDI_EMU_BITMODE), -1);
    EXPECT_EQ(value(id, FTDI_EMU_OPEN_HANDLES), 1);
    EXPECT_EQ(value(id, FTDI_EMU_CLAIMED_INTERFACES), 1);
  }
  EXPECT_EQ(value(id, FTDI_EMU_CLAIMED_INTERFACES), 0);
  EXPECT_TRUE(all_closed(id));
}

// libftdi refuses to change the interface of an open device; the bit mode is
// still sent, on interface A.
TEST_F(OpenTest, OtherInterfaceOnOpenDeviceLeavesItUnopened) {
  const int id = add_board("SN");
  FtdiDevice device;
  EXPECT_FALSE(device.open("SN", INTERFACE_B, BITMODE_SYNCFF, 0xFF));
  EXPECT_EQ(value(id, FTDI_EMU_BITMODE), 0x40);
  EXPECT_EQ(value(id, FTDI_EMU_CLAIMED_INTERFACES), 1);
}

TEST_F(OpenTest, InterfaceAnyMeansA) {
  add_board("SN");
  FtdiDevice device;
  EXPECT_TRUE(device.open("SN", INTERFACE_ANY, BITMODE_SYNCFF, 0xFF));
}

TEST_F(OpenTest, CloseReleasesTheDevice) {
  const int id = add_board("SN");
  FtdiDevice device;
  ASSERT_TRUE(open_board(device, "SN"));
  device.close();
  EXPECT_EQ(value(id, FTDI_EMU_CLAIMED_INTERFACES), 0);
  EXPECT_TRUE(all_closed(id));
}

TEST_F(OpenTest, MoveTransfersTheOpenDevice) {
  const int id = add_board("SN");
  FtdiDevice source;
  ASSERT_TRUE(open_board(source, "SN"));
  FtdiDevice target(std::move(source));
  EXPECT_TRUE(target.opened());
  EXPECT_FALSE(source.opened());  // NOLINT(bugprone-use-after-move): moved-from state is specified
  source.close();
  EXPECT_EQ(value(id, FTDI_EMU_CLAIMED_INTERFACES), 1);
  FtdiDevice assigned;
  assigned = std::move(target);
  EXPECT_TRUE(assigned.opened());
  EXPECT_EQ(value(id, FTDI_EMU_OPEN_HANDLES), 1);
}
