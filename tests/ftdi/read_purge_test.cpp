// FtdiDevice::read and purge through libftdi on an emulated board, and the
// behaviour of a device without a libftdi context.
#include <algorithm>
#include <functional>
#include <stdexcept>
#include <vector>

#include "emulated_chip.hpp"
#include "ftdi/ftdi_device.hpp"

namespace {

constexpr int32_t kBlockBytes = 4096 * BOARD_FRAME_SIZE;
constexpr char kNullContext[] = "Can't call libftdi function, ctx handle is null";

void expect_null_context(const std::function<void()>& call) {
  try {
    call();
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), kNullContext);
  }
}

}  // namespace

class ReadPurgeTest : public EmulatedChipTest {
 protected:
  void SetUp() override {
    id_ = add_board("SN");
    ASSERT_TRUE(device_.open("SN", INTERFACE_A, BITMODE_SYNCFF, 0xFF));
  }

  std::vector<uint8_t> read(int32_t length) {
    std::vector<uint8_t> bytes(static_cast<std::size_t>(length));
    const int32_t got = device_.read(bytes.data(), length);
    EXPECT_GE(got, 0);
    bytes.resize(static_cast<std::size_t>(std::max(got, 0)));
    return bytes;
  }

  int id_ = -1;
  FtdiDevice device_;
};

TEST_F(ReadPurgeTest, ReadsWholeBlockOfFramesFromStreamStart) {
  const auto bytes = read(kBlockBytes);
  EXPECT_EQ(bytes, stream(0, kBlockBytes));
  EXPECT_EQ(value(id_, FTDI_EMU_BYTES_DELIVERED), value(id_, FTDI_EMU_STREAM_POSITION));
}

// libftdi keeps what a transfer brought beyond the request; uneven reads must
// still see one gapless stream.
TEST_F(ReadPurgeTest, UnevenReadsContinueWithoutGaps) {
  std::vector<uint8_t> joined;
  for (const int32_t length : {1000, 5000, 1, 4080, kBlockBytes}) {
    const auto part = read(length);
    EXPECT_EQ(part.size(), static_cast<std::size_t>(length));
    joined.insert(joined.end(), part.begin(), part.end());
  }
  EXPECT_EQ(joined, stream(0, joined.size()));
}

// After 1000 bytes, libftdi holds the rest of its 4080-byte transfer and the
// chip a full buffer; the purge drops both.
TEST_F(ReadPurgeTest, PurgeDropsWhatChipAndLibftdiHold) {
  read(1000);
  const int64_t chip_position = value(id_, FTDI_EMU_STREAM_POSITION);
  EXPECT_EQ(device_.purge(), 0);
  EXPECT_EQ(value(id_, FTDI_EMU_RX_PURGES), 1);
  EXPECT_EQ(value(id_, FTDI_EMU_TX_PURGES), 1);
  const uint64_t resumed = static_cast<uint64_t>(chip_position) + FTDI_EMU_CHIP_BUFFER;
  EXPECT_EQ(read(100), stream(resumed, 100));
}

TEST_F(ReadPurgeTest, ReadAfterFailedOpenIsNegative) {
  FtdiDevice unopened;
  EXPECT_FALSE(unopened.open("no such board", INTERFACE_A, BITMODE_SYNCFF, 0xFF));
  uint8_t byte = 0;
  EXPECT_LT(unopened.read(&byte, 1), 0);
  EXPECT_LT(unopened.purge(), 0);
}

TEST_F(ReadPurgeTest, ClosedDeviceThrowsForEveryCallButClose) {
  device_.close();
  EXPECT_NO_THROW(device_.close());
  EXPECT_EQ(device_.ctx(), nullptr);
  uint8_t byte = 0;
  expect_null_context([&] { device_.read(&byte, 1); });
  expect_null_context([&] { device_.purge(); });
  expect_null_context([&] { device_.open("SN", INTERFACE_A, BITMODE_SYNCFF, 0xFF); });
  EXPECT_TRUE(all_closed(id_));
}

TEST_F(ReadPurgeTest, MovedFromDeviceThrowsAndMovedToReads) {
  FtdiDevice target(std::move(device_));
  uint8_t byte = 0;
  expect_null_context([&] { device_.read(&byte, 1); });  // NOLINT(bugprone-use-after-move)
  EXPECT_NO_THROW(device_.close());
  std::vector<uint8_t> bytes(BOARD_FRAME_SIZE);
  EXPECT_EQ(target.read(bytes.data(), BOARD_FRAME_SIZE), BOARD_FRAME_SIZE);
  EXPECT_EQ(bytes, stream(0, BOARD_FRAME_SIZE));
}
