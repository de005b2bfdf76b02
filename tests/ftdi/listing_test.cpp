// list_ftdi_serials against emulated chips through the real libftdi1.
#include <string>
#include <vector>

#include "emulated_chip.hpp"
#include "ftdi/ftdi_device.hpp"

using Serials = std::vector<std::string>;

class ListingTest : public EmulatedChipTest {};

TEST_F(ListingTest, NoDeviceGivesEmptyList) { EXPECT_EQ(list_ftdi_serials("NVK", "PCB_RIX"), Serials{}); }

TEST_F(ListingTest, ListsBoardsInEnumerationOrderWithRepeats) {
  add_board("B-2");
  add_board("A-1");
  add_board("B-2");
  EXPECT_EQ(list_ftdi_serials("NVK", "PCB_RIX"), (Serials{"B-2", "A-1", "B-2"}));
}

TEST_F(ListingTest, ManufacturerAndDescriptionArePrefixes) {
  add_board("longer-both", "NVK Systems", "PCB_RIX rev 2");
  add_board("short-maker", "NV", "PCB_RIX");
  add_board("short-description", "NVK", "PCB_RI");
  add_board("other-description", "NVK", "PCB_ADC");
  add_board("other-maker", "FTDI", "PCB_RIX");
  EXPECT_EQ(list_ftdi_serials("NVK", "PCB_RIX"), Serials{"longer-both"});
  EXPECT_EQ(list_ftdi_serials("NVK", ""), (Serials{"longer-both", "short-description", "other-description"}));
  EXPECT_EQ(list_ftdi_serials("", "PCB_RIX"), (Serials{"longer-both", "short-maker", "other-maker"}));
  EXPECT_EQ(list_ftdi_serials("NVK Systems!", "PCB_RIX"), Serials{});
}

TEST_F(ListingTest, ComparesAtMost128Characters) {
  // A string descriptor holds at most 126 characters.
  const std::string maker(126, 'N');
  add_board("long-maker", maker.c_str());
  EXPECT_EQ(list_ftdi_serials(maker, "PCB_RIX"), Serials{"long-maker"});
  EXPECT_EQ(list_ftdi_serials(maker + "N", "PCB_RIX"), Serials{});
  EXPECT_EQ(list_ftdi_serials(std::string(128, 'N'), "PCB_RIX"), Serials{});
  EXPECT_EQ(list_ftdi_serials(std::string(200, 'N'), ""), Serials{});
}

TEST_F(ListingTest, OnlyDefaultFtdiIdsAreListed) {
  add_board("ft232r", "NVK", "PCB_RIX", 0x6001);
  add_board("ft2232h", "NVK", "PCB_RIX", 0x6010);
  add_board("foreign-vendor", "NVK", "PCB_RIX", kFt232h, 0x1234);
  add_board("ft232h", "NVK", "PCB_RIX", kFt232h);
  EXPECT_EQ(list_ftdi_serials("NVK", "PCB_RIX"), (Serials{"ft232r", "ft2232h", "ft232h"}));
}

TEST_F(ListingTest, MissingSerialIsListedEmpty) {
  add_board(nullptr);
  add_board("after");
  EXPECT_EQ(list_ftdi_serials("NVK", "PCB_RIX"), (Serials{"", "after"}));
}

// libusb refuses to read string index 0, so libftdi stops at the first absent
// string and leaves the later ones empty as well: no serial is seen.
TEST_F(ListingTest, AbsentMakerOrDescriptionHidesTheSerial) {
  add_board("no-maker", nullptr, "PCB_RIX");
  add_board("no-description", "NVK", nullptr);
  EXPECT_EQ(list_ftdi_serials("NVK", "PCB_RIX"), Serials{});
  EXPECT_EQ(list_ftdi_serials("NVK", ""), Serials{""});
  EXPECT_EQ(list_ftdi_serials("", ""), (Serials{"", ""}));
}

TEST_F(ListingTest, UnreadableStringsAreLeftOut) {
  const int unreadable = add_board("unreadable");
  ftdi_emu_set_unreadable_strings(unreadable, FTDI_EMU_STRING_ALL);
  add_board("readable");
  EXPECT_EQ(list_ftdi_serials("NVK", "PCB_RIX"), Serials{"readable"});
  // Nothing was read, so the device matches empty texts with an empty serial.
  EXPECT_EQ(list_ftdi_serials("", ""), (Serials{"", "readable"}));
}

TEST_F(ListingTest, UnreadableSerialIsListedEmpty) {
  const int id = add_board("hidden");
  ftdi_emu_set_unreadable_strings(id, FTDI_EMU_STRING_SERIAL);
  EXPECT_EQ(list_ftdi_serials("NVK", "PCB_RIX"), Serials{""});
}

TEST_F(ListingTest, UnpluggedDeviceIsLeftOut) {
  const int gone = add_board("gone");
  add_board("present");
  ftdi_emu_unplug(gone);
  EXPECT_EQ(list_ftdi_serials("NVK", "PCB_RIX"), Serials{"present"});
}

TEST_F(ListingTest, ClosesEveryDeviceItQueried) {
  const int first = add_board("first");
  const int second = add_board("second", "other");
  list_ftdi_serials("NVK", "PCB_RIX");
  EXPECT_TRUE(all_closed(first));
  EXPECT_TRUE(all_closed(second));
  EXPECT_EQ(value(first, FTDI_EMU_CLAIMED_INTERFACES), 0);
  EXPECT_EQ(value(first, FTDI_EMU_BITMODE_REQUESTS), 0);
}

TEST_F(ListingTest, ListsWhileABoardIsOpen) {
  const int id = add_board("busy");
  FtdiDevice device;
  ASSERT_TRUE(device.open("busy", INTERFACE_A, BITMODE_SYNCFF, 0xFF));
  EXPECT_EQ(list_ftdi_serials("NVK", "PCB_RIX"), Serials{"busy"});
  EXPECT_EQ(value(id, FTDI_EMU_CLAIMED_INTERFACES), 1);
}
