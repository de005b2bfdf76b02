// BulkInQueue through the real libftdi1 and libusb on emulated chips: how it
// splits its bytes into transfers, that the bytes it takes are the stream
// without the packets' status bytes and in order, cancellation, and a device
// that is not open.
#include <chrono>
#include <thread>
#include <vector>

#include "emulated_chip.hpp"
#include "ftdi/bulk_in_queue.hpp"

using namespace std::chrono_literals;

class BulkInQueueTest : public EmulatedChipTest {
 protected:
  void SetUp() override {
    id_ = add_board("SN");
    ASSERT_TRUE(device_.open("SN", INTERFACE_A, BITMODE_SYNCFF, 0xFF));
  }

  // Takes transfers as they complete, resubmitting each, until `bytes`
  // stream bytes have come.
  std::vector<uint8_t> take(BulkInQueue& queue, std::size_t bytes) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> payload(queue.largest_payload());
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (out.size() < bytes && std::chrono::steady_clock::now() < deadline) {
      if (!queue.wait_oldest(10ms)) continue;
      const BulkInQueue::Taken taken = queue.take_oldest(payload.data());
      EXPECT_EQ(taken.outcome, BulkInQueue::Outcome::completed);
      out.insert(out.end(), payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(taken.stream_bytes));
      EXPECT_TRUE(queue.submit_idle());
    }
    return out;
  }

  int id_ = -1;
  FtdiDevice device_;
};

TEST_F(BulkInQueueTest, BytesAreSplitIntoEvenTransfersOfWholePacketsAtMost64KiB) {
  const struct {
    std::size_t bytes;
    std::size_t transfers;
    std::size_t largest;
  } cases[] = {{512, 1, 512}, {1 << 20, 16, 65536}, {(1 << 20) + 512, 17, 121 * 512}, {70'000, 2, 69 * 512}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    BulkInQueue queue(device_, c.bytes);
    EXPECT_EQ(queue.largest_payload(), c.largest);
    EXPECT_TRUE(queue.submit_idle());
    EXPECT_EQ(queue.in_flight(), c.transfers);
    EXPECT_EQ(value(id_, FTDI_EMU_URBS_QUEUED), static_cast<int64_t>(c.transfers));
  }
  EXPECT_EQ(value(id_, FTDI_EMU_URBS_QUEUED), 0) << "a destroyed queue left transfers queued";
}

TEST_F(BulkInQueueTest, TakenBytesAreTheStreamInOrderWithoutStatusBytes) {
  BulkInQueue queue(device_, 4 * 16 * 1024);
  ASSERT_TRUE(queue.submit_idle());
  constexpr std::size_t kBytes = 1 << 20;
  const std::vector<uint8_t> taken = take(queue, kBytes);
  ASSERT_GE(taken.size(), kBytes);
  EXPECT_TRUE(taken == stream(0, taken.size()));
}

TEST_F(BulkInQueueTest, CancelledTransfersCompleteWithWhatTheyHeldAndLeaveNothingQueued) {
  ftdi_emu_set_pace(id_, 200'000);
  BulkInQueue queue(device_, 8 * 4096);
  ASSERT_TRUE(queue.submit_idle());
  const std::vector<uint8_t> first = take(queue, 4000);
  std::this_thread::sleep_for(20ms);
  queue.cancel_all();
  EXPECT_EQ(value(id_, FTDI_EMU_URBS_QUEUED), 0);
  std::vector<uint8_t> rest = first;
  std::vector<uint8_t> payload(queue.largest_payload());
  std::size_t cancelled = 0;
  while (queue.wait_oldest(0us)) {
    const BulkInQueue::Taken taken = queue.take_oldest(payload.data());
    cancelled += taken.outcome == BulkInQueue::Outcome::cancelled;
    EXPECT_NE(taken.outcome, BulkInQueue::Outcome::failed);
    rest.insert(rest.end(), payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(taken.stream_bytes));
  }
  EXPECT_EQ(queue.in_flight(), 0u);
  EXPECT_GE(cancelled, 1u);
  // Nothing a transfer held was lost, nor repeated.
  EXPECT_TRUE(rest == stream(0, rest.size()));
}

TEST_F(BulkInQueueTest, TransfersOfAnUnpluggedOrUnopenedDeviceFailOrAreRefused) {
  {
    ftdi_emu_set_paused(id_, 1);
    BulkInQueue queue(device_, 4 * 4096);
    ASSERT_TRUE(queue.submit_idle());
    ftdi_emu_unplug(id_);
    std::vector<uint8_t> payload(queue.largest_payload());
    std::size_t failed = 0;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (queue.in_flight() > 0 && std::chrono::steady_clock::now() < deadline) {
      if (queue.wait_oldest(10ms)) failed += queue.take_oldest(payload.data()).outcome == BulkInQueue::Outcome::failed;
    }
    // Those the chip had filled before it went completed as usual.
    EXPECT_GE(failed, 1u);
    EXPECT_FALSE(queue.submit_idle());
    EXPECT_EQ(queue.in_flight(), 0u);
  }
  FtdiDevice unopened;
  BulkInQueue queue(unopened, 4096);
  EXPECT_FALSE(queue.submit_idle());
  EXPECT_EQ(queue.in_flight(), 0u);
}
