// The emulated board as libftdi sees it: the stream it sends, pauses,
// failures, garbage, unplugging, pace, overflow, bursts and the waveform; and
// as a reader sees it that queues transfers through libusb's asynchronous API.
// Later tests of the reader rely on exactly these behaviours.
#include <libusb.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "emulated_chip.hpp"
#include "ftdi/ftdi_device.hpp"

using namespace std::chrono_literals;

namespace {

// Bulk IN transfers queued on the board's endpoint of an open libftdi
// context through libusb's asynchronous API, as a reader does that keeps many
// in flight. Records each completion and joins the data bytes (status bytes
// stripped) in completion order. Cancels what is in flight when destroyed.
class QueuedTransfers {
 public:
  struct Completion {
    std::size_t index;
    libusb_transfer_status status;
    int actual_length;
    std::chrono::steady_clock::time_point at;
  };

  QueuedTransfers(ftdi_context* ftdi, std::size_t count, int length)
      : ftdi_(ftdi), buffers_(count, std::vector<uint8_t>(static_cast<std::size_t>(length))) {
    for (auto& buffer : buffers_) {
      transfers_.push_back(libusb_alloc_transfer(0));
      libusb_fill_bulk_transfer(transfers_.back(), ftdi->usb_dev, static_cast<unsigned char>(ftdi->out_ep),
                                buffer.data(), length, on_complete, this, 0);
    }
  }
  QueuedTransfers(const QueuedTransfers&) = delete;
  QueuedTransfers& operator=(const QueuedTransfers&) = delete;
  ~QueuedTransfers() {
    for (libusb_transfer* transfer : transfers_) libusb_cancel_transfer(transfer);
    EXPECT_TRUE(run_until([this] { return in_flight_ == 0; }));
    for (libusb_transfer* transfer : transfers_) libusb_free_transfer(transfer);
  }

  int submit(std::size_t index) {
    const int result = libusb_submit_transfer(transfers_[index]);
    in_flight_ += result == 0;
    return result;
  }

  void submit_all() {
    for (std::size_t index = 0; index < transfers_.size(); ++index) EXPECT_EQ(submit(index), 0);
  }

  void cancel(std::size_t index) { libusb_cancel_transfer(transfers_[index]); }

  // Handles libusb's events until `done` holds, for at most 10 s.
  bool run_until(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    timeval slice{0, 10000};
    while (!done() && std::chrono::steady_clock::now() < deadline)
      libusb_handle_events_timeout_completed(ftdi_->usb_ctx, &slice, nullptr);
    return done();
  }

  std::vector<Completion> completions;
  std::vector<uint8_t> data;

 private:
  static void LIBUSB_CALL on_complete(libusb_transfer* transfer) {
    auto* self = static_cast<QueuedTransfers*>(transfer->user_data);
    --self->in_flight_;
    const auto index = std::find(self->transfers_.begin(), self->transfers_.end(), transfer) - self->transfers_.begin();
    self->completions.push_back({static_cast<std::size_t>(index), transfer->status, transfer->actual_length,
                                 std::chrono::steady_clock::now()});
    const int packet = static_cast<int>(self->ftdi_->max_packet_size);
    for (int start = 0; start + 2 < transfer->actual_length; start += packet)
      self->data.insert(self->data.end(), transfer->buffer + start + 2,
                        transfer->buffer + std::min(start + packet, transfer->actual_length));
  }

  ftdi_context* ftdi_;
  std::vector<std::vector<uint8_t>> buffers_;
  std::vector<libusb_transfer*> transfers_;
  std::size_t in_flight_ = 0;
};

}  // namespace

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

// ---- bursts ----

struct BoardKind {
  const char* name;
  double pace;
  uint64_t board_buffer;
};

class BurstyBoardModelTest : public BoardModelTest, public ::testing::WithParamInterface<BoardKind> {};

// Bursts of a length that is no multiple of a frame, and quiet spells longer
// than twice the latency timer: the transfer that ends a burst comes back
// short, the next one empty, so a read ends where the burst did, inside a
// frame; after the spell the stream goes on without a gap.
TEST_P(BurstyBoardModelTest, ReadsEndInsideFramesAndTheStreamStaysGapless) {
  constexpr uint64_t kBurst = 10001, kBursts = 3;
  static_assert(kBurst % BOARD_FRAME_SIZE != 0);
  open_board(0, GetParam().pace, GetParam().board_buffer);
  ftdi_emu_set_bursts(id_, kBurst, 100000);
  std::vector<uint8_t> joined;
  std::vector<uint64_t> read_ends;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (joined.size() < kBursts * kBurst + 100 && std::chrono::steady_clock::now() < deadline) {
    ASSERT_GE(read_into(bytes_, 4096), 0);
    joined.insert(joined.end(), bytes_.begin(), bytes_.end());
    read_ends.push_back(joined.size());
  }
  EXPECT_EQ(joined, stream(0, joined.size()));
  for (uint64_t end = kBurst; end <= kBursts * kBurst; end += kBurst)
    EXPECT_NE(std::find(read_ends.begin(), read_ends.end(), end), read_ends.end()) << "no read ended at " << end;
  EXPECT_GE(value(id_, FTDI_EMU_QUIET_SPELLS), static_cast<int64_t>(kBursts));
  EXPECT_EQ(value(id_, FTDI_EMU_BYTES_DROPPED), 0);
}

// The board buffer of the board that cannot pause holds a second of its
// stream, more than any hiccup of a reader on a sanitizer build.
INSTANTIATE_TEST_SUITE_P(BoardKinds, BurstyBoardModelTest,
                         ::testing::Values(BoardKind{"Unpaced", 0, 0}, BoardKind{"PacedMayPause", 1e6, 0},
                                           BoardKind{"PacedCannotPause", 1e6, 1 << 20}),
                         [](const ::testing::TestParamInfo<BoardKind>& info) { return info.param.name; });

// ---- queued transfers ----

// While the host reaps nothing (a process descheduled or frozen), transfers
// queued on the endpoint keep taking the stream of a board that cannot pause;
// libftdi's synchronous reads leave none queued between reads, and the
// board's FIFO overflows in the same time.
TEST_F(BoardModelTest, QueuedTransfersTakeTheStreamWhileTheHostIsAway) {
  constexpr double kPace = 2e6;
  constexpr uint64_t kFifo = 32 * 1024;
  constexpr auto kAway = 200ms;  // 16 transfers of 64 KiB take half a second of the stream
  const double made_away = kPace * std::chrono::duration<double>(kAway).count();
  open_board(0, kPace, kFifo);
  {
    QueuedTransfers queued(device_.ctx(), 16, 64 * 1024);
    queued.submit_all();
    EXPECT_EQ(value(id_, FTDI_EMU_URBS_QUEUED), 16);
    std::this_thread::sleep_for(kAway);
    EXPECT_EQ(value(id_, FTDI_EMU_BYTES_DROPPED), 0);
    EXPECT_TRUE(queued.run_until([&] { return static_cast<double>(queued.data.size()) >= made_away; }));
    EXPECT_EQ(queued.data, stream(0, queued.data.size()));
  }
  EXPECT_EQ(value(id_, FTDI_EMU_URBS_QUEUED), 0);

  ASSERT_EQ(read_into(bytes_, kTransfer), kTransfer);
  const int64_t dropped_before = value(id_, FTDI_EMU_BYTES_DROPPED);
  std::this_thread::sleep_for(kAway);
  ASSERT_EQ(read_into(bytes_, kTransfer), kTransfer);
  EXPECT_GE(static_cast<double>(value(id_, FTDI_EMU_BYTES_DROPPED) - dropped_before),
            made_away - static_cast<double>(kFifo + FTDI_EMU_CHIP_BUFFER));
}

// A transfer completes at once when full; short when the latency timer runs
// out 16 ms after the chip sent its last whole packet; with the status bytes
// alone when the chip had nothing for it for 16 ms.
TEST_F(BoardModelTest, TransfersCompleteFullShortOrWithTheStatusBytesAlone) {
  constexpr int kTwoPackets = 2 * 510;
  open_board();
  ftdi_emu_set_bursts(id_, kTransfer + kTwoPackets, 10'000'000);
  QueuedTransfers queued(device_.ctx(), 3, 4096);
  const auto submitted = std::chrono::steady_clock::now();
  queued.submit_all();
  ASSERT_TRUE(queued.run_until([&] { return queued.completions.size() == 3; }));
  const auto& done = queued.completions;
  EXPECT_EQ(done[0].actual_length, 4096);
  // Two whole packets, then one of the status bytes alone that ends the transfer.
  EXPECT_EQ(done[1].actual_length, 2 * 512 + 2);
  EXPECT_EQ(done[2].actual_length, 2);
  EXPECT_GE(done[1].at - submitted, 16ms);
  EXPECT_GE(done[2].at - submitted, 32ms);
  EXPECT_EQ(queued.data, stream(0, kTransfer + kTwoPackets));
}

// Transfers of one endpoint are reaped in the order they were queued, also
// when a younger one was cancelled first. A cancelled transfer returns what
// it holds; a purge leaves what transfers hold (the host's already), so the
// stream runs on through both without a gap.
TEST_F(BoardModelTest, QueuedTransfersAreReapedInOrderAndKeepTheirBytesThroughCancelAndPurge) {
  constexpr int kLength = 64 * 1024;
  open_board(0, 1e6);
  QueuedTransfers queued(device_.ctx(), 3, kLength);
  queued.submit_all();
  queued.cancel(2);
  std::this_thread::sleep_for(20ms);
  queued.cancel(0);
  EXPECT_EQ(device_.purge(), 0);
  ASSERT_TRUE(queued.run_until([&] { return queued.completions.size() == 3; }));

  const auto& done = queued.completions;
  for (std::size_t index = 0; index < 3; ++index) EXPECT_EQ(done[index].index, index);
  EXPECT_EQ(done[0].status, LIBUSB_TRANSFER_CANCELLED);
  EXPECT_GT(done[0].actual_length, 0);
  EXPECT_EQ(done[1].status, LIBUSB_TRANSFER_COMPLETED);
  EXPECT_EQ(done[1].actual_length, kLength);
  EXPECT_EQ(done[2].status, LIBUSB_TRANSFER_CANCELLED);
  EXPECT_EQ(done[2].actual_length, 0);
  EXPECT_EQ(queued.data, stream(0, queued.data.size()));
  EXPECT_EQ(value(id_, FTDI_EMU_URBS_DISCARDED), 2);
  EXPECT_EQ(value(id_, FTDI_EMU_RX_PURGES), 1);
}

TEST_F(BoardModelTest, UnplugFailsQueuedTransfersAndRefusesNewOnes) {
  open_board(0, 1e6);
  QueuedTransfers queued(device_.ctx(), 4, 64 * 1024);
  queued.submit_all();
  std::this_thread::sleep_for(10ms);
  ftdi_emu_unplug(id_);
  ASSERT_TRUE(queued.run_until([&] { return queued.completions.size() == 4; }));
  for (const auto& completion : queued.completions) EXPECT_EQ(completion.status, LIBUSB_TRANSFER_NO_DEVICE);
  EXPECT_EQ(value(id_, FTDI_EMU_FAILED_TRANSFERS), 4);
  EXPECT_EQ(value(id_, FTDI_EMU_URBS_QUEUED), 0);
  EXPECT_EQ(queued.submit(0), LIBUSB_ERROR_NO_DEVICE);
}

// ---- the waveform ----

TEST_F(BoardModelTest, WaveformFramesRoundTripWithoutAFalseSyncPair) {
  constexpr uint64_t kStart = 7;
  open_board(kStart);
  ftdi_emu_set_waveform(id_, 1);
  const std::vector<uint8_t> joined = read_at_least(50 * kTransfer);  // whole transfers: libftdi keeps none
  std::vector<uint8_t> expected(joined.size());
  board_stream_bytes_of(BOARD_STREAM_WAVEFORM, kStart, expected.data(), expected.size());
  EXPECT_EQ(joined, expected);
  std::size_t false_sync_pairs = 0;
  for (std::size_t i = 0; i + 1 < joined.size(); ++i)
    false_sync_pairs += joined[i] == 0xF0 && joined[i + 1] == 0x0F && (kStart + i) % BOARD_FRAME_SIZE != 0;
  EXPECT_EQ(false_sync_pairs, 0U);

  // Counter frames again, from the same place in the stream.
  ftdi_emu_set_waveform(id_, 0);
  EXPECT_EQ(read_into(bytes_, 100), 100);
  EXPECT_EQ(bytes_, stream(kStart + joined.size(), 100));
}
