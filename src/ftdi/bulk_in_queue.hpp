// BulkInQueue: bulk IN transfers kept queued on an FTDI chip's data endpoint
// through libusb's asynchronous API, on the USB handle that libftdi opened,
// so that the host controller goes on filling them while the process that
// queued them is not scheduled: the data then waits in host memory, not in
// the board's small FIFO.
//
// Contract:
// - One thread uses a queue: it submits the transfers, handles the libusb
//   events in which they complete, takes them in the order they were
//   submitted and cancels them. No other thread may use the device's libusb
//   context while transfers are in flight (no libftdi call on the device);
//   that thread may, between waits, make libftdi calls itself.
// - Transfers complete in submission order, as bulk transfers on one
//   endpoint do. A completed transfer stays until taken; taking it copies its
//   stream bytes out (the two modem-status bytes at the start of every USB
//   packet left out) and leaves it idle for the next submit_idle().
// - Waits are bounded by their timeouts. Destruction cancels what is in
//   flight and waits for it, at most kCancelLimit; a transfer that a broken
//   USB stack never completes is leaked rather than freed under its feet.
// - Nothing allocates after construction.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "ftdi/ftdi_device.hpp"

struct libusb_transfer;

class BulkInQueue {
 public:
  // Transfers are made of whole USB packets of a high-speed chip, and hold at
  // most kMostTransferBytes; more bytes are split into several.
  static constexpr std::size_t kTransferUnit = 512;
  static constexpr std::size_t kMostTransferBytes = 64 * 1024;
  static constexpr std::chrono::milliseconds kCancelLimit{1000};

  // How a taken transfer ended.
  enum class Outcome {
    completed,  // full, or short after the chip's latency timer
    cancelled,  // by cancel_all(): what it holds is still stream
    failed,     // on its own (a USB error, the device gone)
  };

  struct Taken {
    std::size_t stream_bytes;
    Outcome outcome;
  };

  // Transfers holding together `bytes` (whole multiples of `packet_size`,
  // which the caller rounded to), each at most kMostTransferBytes, for the
  // data endpoint of `device`'s interface. Allocates them (std::bad_alloc)
  // and submits nothing. A device that is not open gets transfers that fail
  // to be submitted.
  BulkInQueue(FtdiDevice& device, std::size_t bytes);
  ~BulkInQueue();

  BulkInQueue(const BulkInQueue&) = delete;
  BulkInQueue& operator=(const BulkInQueue&) = delete;

  // Stream bytes one transfer can hold at most.
  std::size_t largest_payload() const { return largest_payload_; }
  std::size_t in_flight() const { return in_flight_; }

  // Submits the idle transfers in order until one is refused (it and the
  // rest stay idle); false when one was refused.
  bool submit_idle();

  // Whether the oldest transfer in flight has completed, handling libusb
  // events for at most `timeout` while it has not. False with none in flight.
  bool wait_oldest(std::chrono::microseconds timeout);

  // Takes the oldest transfer, which wait_oldest() found complete: copies its
  // stream bytes to `out` (room for largest_payload()) and leaves it idle.
  Taken take_oldest(uint8_t* out);

  // Leaves the oldest transfer, which wait_oldest() found complete, idle
  // without taking what it holds.
  void drop_oldest();

  // Cancels every transfer in flight and waits until all have completed, at
  // most kCancelLimit; they stay to be taken.
  void cancel_all();

 private:
  struct Slot;
  static void on_complete(libusb_transfer* transfer);
  bool submit(Slot& slot);
  // The oldest transfer in flight, now idle.
  std::size_t pop_oldest();
  // Handles libusb events until `done`, at most until `deadline`.
  void handle_events_until(const int& done, std::chrono::steady_clock::time_point deadline);

  FtdiDevice& device_;
  std::vector<std::unique_ptr<Slot>> slots_;
  // Slots by submission order (a ring of in_flight_ from oldest_), and the
  // idle ones in the order they became idle: both within capacities reserved
  // up front, so that nothing allocates while streaming.
  std::vector<std::size_t> order_;
  std::size_t oldest_ = 0;
  std::size_t in_flight_ = 0;
  std::vector<std::size_t> idle_;
  std::size_t largest_payload_ = 0;
};
