#include "ftdi/bulk_in_queue.hpp"

#include <libusb.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// Every packet the chip sends begins with two modem-status bytes.
constexpr std::size_t kStatusBytes = 2;

}  // namespace

struct BulkInQueue::Slot {
  libusb_transfer* transfer = nullptr;
  std::unique_ptr<uint8_t[]> buffer;
  std::size_t size = 0;
  // Set by on_complete, on the thread that handles the events.
  int done = 0;
};

BulkInQueue::BulkInQueue(FtdiDevice& device, std::size_t bytes) : device_(device) {
  const std::size_t units = (bytes + kTransferUnit - 1) / kTransferUnit;
  const std::size_t count = (units * kTransferUnit + kMostTransferBytes - 1) / kMostTransferBytes;
  // The units spread evenly: transfers differ by at most one unit.
  for (std::size_t n = 0; n < count; ++n) {
    auto slot = std::make_unique<Slot>();
    slot->size = (units / count + (n < units % count ? 1 : 0)) * kTransferUnit;
    slot->buffer = std::make_unique<uint8_t[]>(slot->size);
    slot->transfer = libusb_alloc_transfer(0);
    if (slot->transfer == nullptr) throw std::bad_alloc();
    largest_payload_ = std::max(largest_payload_, slot->size);
    slots_.push_back(std::move(slot));
  }
  order_.assign(count, 0);
  idle_.reserve(count);
  for (std::size_t n = 0; n < count; ++n) idle_.push_back(n);
}

BulkInQueue::~BulkInQueue() {
  if (in_flight_ > 0) cancel_all();
  for (std::size_t k = 0; k < in_flight_; ++k) {
    Slot& slot = *slots_[order_[(oldest_ + k) % order_.size()]];
    if (slot.done) continue;
    // Still owned by libusb: freeing it would let libusb write into freed
    // memory.
    slot.transfer = nullptr;
    (void)slot.buffer.release();
  }
  for (const std::unique_ptr<Slot>& slot : slots_) libusb_free_transfer(slot->transfer);
}

void BulkInQueue::on_complete(libusb_transfer* transfer) { static_cast<Slot*>(transfer->user_data)->done = 1; }

bool BulkInQueue::submit(Slot& slot) {
  ftdi_context* const ftdi = device_.ctx();
  if (ftdi == nullptr || ftdi->usb_dev == nullptr) return false;
  // libftdi reads from the endpoint it names out_ep (0x81 on interface A).
  libusb_fill_bulk_transfer(slot.transfer, ftdi->usb_dev, static_cast<unsigned char>(ftdi->out_ep), slot.buffer.get(),
                            static_cast<int>(slot.size), &BulkInQueue::on_complete, &slot, 0);
  slot.done = 0;
  return libusb_submit_transfer(slot.transfer) == 0;
}

bool BulkInQueue::submit_idle() {
  // Idle slots go out in the order they became idle, until one is refused:
  // the others would be too (the device is gone or out of memory).
  std::size_t submitted = 0;
  while (submitted < idle_.size() && submit(*slots_[idle_[submitted]])) {
    order_[(oldest_ + in_flight_) % order_.size()] = idle_[submitted];
    ++in_flight_;
    ++submitted;
  }
  idle_.erase(idle_.begin(), idle_.begin() + static_cast<std::ptrdiff_t>(submitted));
  return idle_.empty();
}

void BulkInQueue::handle_events_until(const int& done, std::chrono::steady_clock::time_point deadline) {
  libusb_context* const usb = device_.ctx()->usb_ctx;
  while (!done) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return;
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
    timeval wait{static_cast<time_t>(micros / 1'000'000), static_cast<suseconds_t>(micros % 1'000'000)};
    // libusb reads the flag under its own lock, with the callbacks that set
    // it run by this very thread.
    libusb_handle_events_timeout_completed(usb, &wait, const_cast<int*>(&done));
  }
}

bool BulkInQueue::wait_oldest(std::chrono::microseconds timeout) {
  if (in_flight_ == 0) return false;
  const Slot& slot = *slots_[order_[oldest_]];
  handle_events_until(slot.done, std::chrono::steady_clock::now() + timeout);
  return slot.done != 0;
}

std::size_t BulkInQueue::pop_oldest() {
  const std::size_t index = order_[oldest_];
  oldest_ = (oldest_ + 1) % order_.size();
  --in_flight_;
  idle_.push_back(index);
  return index;
}

void BulkInQueue::drop_oldest() { pop_oldest(); }

BulkInQueue::Taken BulkInQueue::take_oldest(uint8_t* out) {
  const libusb_transfer& transfer = *slots_[pop_oldest()]->transfer;
  const std::size_t packet = device_.ctx()->max_packet_size;
  const std::size_t length = static_cast<std::size_t>(std::max(transfer.actual_length, 0));
  std::size_t taken = 0;
  for (std::size_t at = 0; at < length; at += packet) {
    const std::size_t chunk = std::min(packet, length - at);
    if (chunk <= kStatusBytes) continue;
    std::memcpy(out + taken, transfer.buffer + at + kStatusBytes, chunk - kStatusBytes);
    taken += chunk - kStatusBytes;
  }
  switch (transfer.status) {
    case LIBUSB_TRANSFER_COMPLETED:
      return {taken, Outcome::completed};
    case LIBUSB_TRANSFER_CANCELLED:
      return {taken, Outcome::cancelled};
    default:
      return {taken, Outcome::failed};
  }
}

void BulkInQueue::cancel_all() {
  for (std::size_t k = 0; k < in_flight_; ++k) {
    Slot& slot = *slots_[order_[(oldest_ + k) % order_.size()]];
    // One that completed meanwhile cannot be cancelled, and need not be.
    if (!slot.done) libusb_cancel_transfer(slot.transfer);
  }
  const auto deadline = std::chrono::steady_clock::now() + kCancelLimit;
  for (std::size_t k = 0; k < in_flight_; ++k) handle_events_until(slots_[order_[(oldest_ + k) % order_.size()]]->done, deadline);
}
