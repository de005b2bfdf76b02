// The emulated board as libftdi sees it: the stream it sends, pauses,
// failures, garbage, unplugging, pace and overflow. Later tests of the reader rely on
// exactly these behaviours.
#include <libusb.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "emulated_chip.hpp"
#include "ftdi/ftdi_device.hpp"

class BoardModelTest : public EmulatedChipTest {
 protected:
  void open_board(uint64_t stream_position = 0, double pace = 0, uint64_t board_buffer = 0) {
    id_ = add_board("SN");
    ftdi_emu_set_stream_position(id_, stream_position);
    ftdi_emu_set_board_buffer(id_, board_buffer);
    ftdi_emu_set_pace(id_, pace);
    ASSERT_TRUE(device_.open("SN", INTERFACE_A, BITMODE_SYNCFF, 0xFF));
  }

  // Bytes read, or the negative libftdi result as the only element's sign.
  int32_t read_into(std::vector<uint8_t>& bytes, int32_t length) {
    bytes.assign(static_cast<std::size_t>(length), 0);
    const int32_t got = device_.read(bytes.data(), length);
    bytes.resize(static_cast<std::size_t>(std::max(got, 0)));
    return got;
  }

  // Reads until at least `length` bytes came, each read asking for the rest.
  std::vector<uint8_t> read_at_least(std::size_t length) {
    std::vector<uint8_t> joined;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (joined.size() < length && std::chrono::steady_clock::now() < deadline) {
      EXPECT_GE(read_into(bytes_, static_cast<int32_t>(length - joined.size())), 0);
      joined.insert(joined.end(), bytes_.begin(), bytes_.end());
    }
    EXPECT_GE(joined.size(), length);
    return joined;
  }

  // A board that cannot pause, paced at 1 MB/s, started by a read of one
  // whole transfer, whose chip and buffer have then overflowed for at least
  // 20 ms and which then may pause again, so that the count of dropped bytes
  // is final. Returns that count; what the board holds begins at kTransfer.
  int64_t overrun_board(uint64_t board_buffer) {
    constexpr double kPace = 1e6;
    constexpr double kOverrunS = 0.020;
    const double held = static_cast<double>(FTDI_EMU_CHIP_BUFFER + board_buffer);
    open_board(0, kPace, board_buffer);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(read_into(bytes_, kTransfer), kTransfer);
    std::this_thread::sleep_for(std::chrono::duration<double>(held / kPace + kOverrunS));
    ftdi_emu_set_board_buffer(id_, 0);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const int64_t dropped = value(id_, FTDI_EMU_BYTES_DROPPED);
    // What the board made since it started, less what was read and is held.
    EXPECT_GE(dropped, kPace * kOverrunS);
    EXPECT_LE(dropped, kPace * elapsed - held - kTransfer);
    return dropped;
  }

  // Data bytes of one whole transfer of libftdi: 4096 bytes in 512-byte
  // packets, each led by two status bytes.
  static constexpr int32_t kTransfer = 4080;

  int id_ = -1;
  FtdiDevice device_;
  std::vector<uint8_t> bytes_;
};

TEST_F(BoardModelTest, StreamMayBeginInsideAFrame) {
  open_board(5);
  EXPECT_EQ(read_into(bytes_, 100), 100);
  EXPECT_EQ(bytes_, stream(5, 100));
  EXPECT_NE(bytes_[0], 0xF0);
}

TEST_F(BoardModelTest, PausedBoardSendsNothingThenGoesOn) {
  open_board();
  EXPECT_EQ(read_into(bytes_, 600), 600);
  ftdi_emu_set_paused(id_, 1);
  // libftdi still holds the rest of its last transfer.
  EXPECT_EQ(read_into(bytes_, 8000), 4080 - 600);
  EXPECT_EQ(read_into(bytes_, 8000), 0);
  EXPECT_EQ(read_into(bytes_, 8000), 0);
  ftdi_emu_set_paused(id_, 0);
  EXPECT_EQ(read_into(bytes_, 8000), 8000);
  EXPECT_EQ(bytes_, stream(4080, 8000));
}

TEST_F(BoardModelTest, InjectedReadFailuresReachTheCallerAndLoseNothing) {
  open_board();
  ftdi_emu_fail_bulk_reads(id_, 2, -EPIPE);
  EXPECT_EQ(read_into(bytes_, 100), LIBUSB_ERROR_PIPE);
  EXPECT_EQ(read_into(bytes_, 100), LIBUSB_ERROR_PIPE);
  ftdi_emu_fail_bulk_reads(id_, 1, -EPROTO);
  EXPECT_EQ(read_into(bytes_, 100), LIBUSB_ERROR_IO);
  EXPECT_EQ(read_into(bytes_, 100), 100);
  EXPECT_EQ(bytes_, stream(0, 100));
  EXPECT_EQ(value(id_, FTDI_EMU_FAILED_TRANSFERS), 3);
  EXPECT_EQ(value(id_, FTDI_EMU_BULK_IN_TRANSFERS), 4);
}

TEST_F(BoardModelTest, GarbageComesFirstThenTheStreamWhereItWas) {
  open_board();
  EXPECT_EQ(read_into(bytes_, 4080), 4080);
  const uint8_t custom[3] = {0xF0, 0x0F, 0x00};
  ftdi_emu_inject_garbage(id_, nullptr, 7);
  ftdi_emu_inject_garbage(id_, custom, sizeof custom);
  EXPECT_EQ(read_into(bytes_, 4000), 4000);
  const std::vector<uint8_t> head(bytes_.begin(), bytes_.begin() + 10);
  EXPECT_EQ(head, (std::vector<uint8_t>{0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xF0, 0x0F, 0x00}));
  EXPECT_EQ(std::vector<uint8_t>(bytes_.begin() + 10, bytes_.end()), stream(4080, 3990));
}

TEST_F(BoardModelTest, PurgeDiscardsPendingGarbage) {
  open_board();
  ftdi_emu_inject_garbage(id_, nullptr, 5000);
  EXPECT_EQ(value(id_, FTDI_EMU_GARBAGE_PENDING), 5000);
  EXPECT_EQ(device_.purge(), 0);
  EXPECT_EQ(value(id_, FTDI_EMU_GARBAGE_PENDING), 0);
  EXPECT_EQ(read_into(bytes_, 24), 24);
  EXPECT_EQ(bytes_, stream(FTDI_EMU_CHIP_BUFFER, 24));
}

TEST_F(BoardModelTest, UnpluggedDeviceFailsEveryTransfer) {
  open_board();
  ftdi_emu_unplug(id_);
  EXPECT_EQ(read_into(bytes_, 100), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_LT(device_.purge(), 0);
  EXPECT_EQ(read_into(bytes_, 100), LIBUSB_ERROR_NO_DEVICE);
  device_.close();
  EXPECT_TRUE(all_closed(id_));
}

TEST_F(BoardModelTest, FullChipStallsAPacedBoardWithoutLosingBytes) {
  open_board(0, 1e6);
  // The board waits for the host's first transfer.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(value(id_, FTDI_EMU_CHIP_HELD), 0);
  EXPECT_EQ(read_into(bytes_, kTransfer), kTransfer);
  EXPECT_EQ(bytes_, stream(0, kTransfer));

  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(value(id_, FTDI_EMU_CHIP_HELD), FTDI_EMU_CHIP_BUFFER);
  EXPECT_EQ(value(id_, FTDI_EMU_BOARD_HELD), 0);
  EXPECT_EQ(value(id_, FTDI_EMU_STREAM_POSITION), kTransfer);
  EXPECT_EQ(read_into(bytes_, kTransfer), kTransfer);
  EXPECT_EQ(bytes_, stream(kTransfer, kTransfer));
  EXPECT_EQ(value(id_, FTDI_EMU_BYTES_DROPPED), 0);

  // A new pace empties the chip, and the board makes what it held anew.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_GT(value(id_, FTDI_EMU_CHIP_HELD), 0);
  ftdi_emu_set_pace(id_, 0);
  EXPECT_EQ(read_into(bytes_, 100), 100);
  EXPECT_EQ(bytes_, stream(2 * kTransfer, 100));
}

// The chip and the board buffer keep the oldest bytes; every byte made while
// both were full is dropped, counted, and missing from the stream right there.
TEST_F(BoardModelTest, BoardThatCannotPauseDropsWhatFindsItsBufferFull) {
  constexpr uint64_t kBoardBuffer = 4096;
  constexpr std::size_t kHeld = FTDI_EMU_CHIP_BUFFER + kBoardBuffer;
  const int64_t dropped = overrun_board(kBoardBuffer);
  EXPECT_EQ(value(id_, FTDI_EMU_CHIP_HELD), FTDI_EMU_CHIP_BUFFER);
  EXPECT_EQ(value(id_, FTDI_EMU_BOARD_HELD), kBoardBuffer);
  EXPECT_EQ(value(id_, FTDI_EMU_STREAM_POSITION), kTransfer);

  const std::vector<uint8_t> joined = read_at_least(kHeld + 600);
  EXPECT_EQ(std::vector<uint8_t>(joined.begin(), joined.begin() + kHeld), stream(kTransfer, kHeld));
  EXPECT_EQ(std::vector<uint8_t>(joined.begin() + kHeld, joined.end()),
            stream(kTransfer + kHeld + static_cast<uint64_t>(dropped), joined.size() - kHeld));
  EXPECT_EQ(value(id_, FTDI_EMU_BOARD_HELD), 0);
  EXPECT_EQ(value(id_, FTDI_EMU_BYTES_DROPPED), dropped);
}

// A purge empties the chip only: the board buffer moves up behind it.
TEST_F(BoardModelTest, PurgeLeavesTheBoardBuffer) {
  constexpr uint64_t kBoardBuffer = 3000;
  constexpr std::size_t kHeld = FTDI_EMU_CHIP_BUFFER + kBoardBuffer;
  const int64_t dropped = overrun_board(kBoardBuffer);
  EXPECT_EQ(device_.purge(), 0);
  EXPECT_EQ(value(id_, FTDI_EMU_STREAM_POSITION), kTransfer + FTDI_EMU_CHIP_BUFFER);
  EXPECT_EQ(value(id_, FTDI_EMU_CHIP_HELD), FTDI_EMU_CHIP_BUFFER);
  EXPECT_EQ(value(id_, FTDI_EMU_BOARD_HELD), kBoardBuffer - FTDI_EMU_CHIP_BUFFER);

  const std::vector<uint8_t> joined = read_at_least(kBoardBuffer + 600);
  EXPECT_EQ(std::vector<uint8_t>(joined.begin(), joined.begin() + kBoardBuffer),
            stream(kTransfer + FTDI_EMU_CHIP_BUFFER, kBoardBuffer));
  EXPECT_EQ(std::vector<uint8_t>(joined.begin() + kBoardBuffer, joined.end()),
            stream(kTransfer + kHeld + static_cast<uint64_t>(dropped), joined.size() - kBoardBuffer));
}

// A reader that keeps up with a board that cannot pause loses nothing. The
// buffer holds a third of a second, which a busy machine's scheduling does
// not outlast.
TEST_F(BoardModelTest, BoardThatCannotPauseLosesNothingToAReaderThatKeepsUp) {
  constexpr double kPace = 200000;
  open_board(0, kPace, 64 * 1024);
  std::vector<uint8_t> joined;
  const auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(300)) {
    ASSERT_GE(read_into(bytes_, 4096), 0);
    joined.insert(joined.end(), bytes_.begin(), bytes_.end());
  }
  EXPECT_EQ(value(id_, FTDI_EMU_BYTES_DROPPED), 0);
  EXPECT_GE(joined.size(), kPace * 0.1);
  EXPECT_EQ(joined, stream(0, joined.size()));
}

// A loose check of the pace: the board never sends more than it made since
// the pace was set, and a reader that keeps asking gets most of it.
TEST_F(BoardModelTest, PacedBoardSendsRoughlyItsRate) {
  constexpr double kPace = 40000;
  const auto paced = std::chrono::steady_clock::now();
  open_board(0, kPace);
  const auto reading = std::chrono::steady_clock::now();
  int64_t total = 0;
  std::vector<uint8_t> joined;
  while (std::chrono::steady_clock::now() - reading < std::chrono::milliseconds(300)) {
    const int32_t got = read_into(bytes_, 4096);
    ASSERT_GE(got, 0);
    joined.insert(joined.end(), bytes_.begin(), bytes_.end());
    total += got;
  }
  const auto now = std::chrono::steady_clock::now();
  EXPECT_LE(total, kPace * std::chrono::duration<double>(now - paced).count());
  EXPECT_GE(total, kPace * 0.5 * std::chrono::duration<double>(now - reading).count());
  EXPECT_EQ(joined, stream(0, joined.size()));
}
