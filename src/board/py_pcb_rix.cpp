#include "board/py_pcb_rix.hpp"

#include <unistd.h>

#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace {

// A pool larger than the computer's memory cannot be made: zero-filling it
// would end the process (the kernel kills it) instead of failing.
class PoolTooLarge : public std::bad_alloc {
 public:
  PoolTooLarge(std::size_t rows, uint64_t pool_bytes, uint64_t memory_bytes)
      : message_("samples_count " + std::to_string(rows) + " needs " + std::to_string(pool_bytes) + " bytes for its " +
                 std::to_string(kBlockPoolSize) + " blocks, more than this computer's memory (" +
                 std::to_string(memory_bytes) + " bytes)") {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

std::size_t checked_rows(std::size_t rows) {
  if (rows < py_PCB_RIX::kMinSamplesCount || rows > py_PCB_RIX::kMaxSamplesCount) {
    throw std::invalid_argument("samples_count must be between " + std::to_string(py_PCB_RIX::kMinSamplesCount) +
                                " and " + std::to_string(py_PCB_RIX::kMaxSamplesCount) + ", got " +
                                std::to_string(rows));
  }
  const uint64_t pool_bytes = uint64_t{kBlockPoolSize} * rows * py_PCB_RIX::kColumns * sizeof(uint16_t);
  const uint64_t memory_bytes =
      static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  if (pool_bytes > memory_bytes) throw PoolTooLarge(rows, pool_bytes, memory_bytes);
  return rows;
}

FtdiDevice open_board_device(const std::string& serial) {
  FtdiDevice device;
  device.open(serial, INTERFACE_A, BITMODE_SYNCFF, 0xFF);
  return device;
}

}  // namespace

py_PCB_RIX::py_PCB_RIX(std::string serial, std::size_t rows)
    : frame_size(kFrameSize),
      block_bytes(checked_rows(rows) * kFrameSize),
      samples_count(rows),
      device(open_board_device(serial)),
      serial_number(std::move(serial)),
      ready_queue(channels::make_fixed_size_queue<BlockQueue>()),
      free_queue(channels::make_fixed_size_queue<BlockQueue>()) {
  for (std::size_t i = 0; i < kBlockPoolSize; ++i) free_queue->push(SampleBlock(samples_count, kColumns));
}

py_PCB_RIX::~py_PCB_RIX() {
  // A reader still running would use the members destroyed below.
  stop_reader();
}

void py_PCB_RIX::start() {
  const std::lock_guard control(control_mutex);
  if (reader_thread.joinable()) {
    if (running) return;
    reader_thread.join();
  }
  spawn_reader();
}

void py_PCB_RIX::spawn_reader() {
  // Buffers and transfers are allocated here so that a failure reaches the
  // caller instead of ending the process on the reader thread.
  const uint64_t read_ahead = read_ahead_bytes;
  std::unique_ptr<BulkInQueue> transfers;
  if (read_ahead > 0) transfers = std::make_unique<BulkInQueue>(device, read_ahead);
  StreamFramer framer = transfers ? StreamFramer(StreamFramer::Checking::every_frame, transfers->largest_payload(), counters)
                                  : StreamFramer(StreamFramer::Checking::first_frame_of_read, block_bytes, counters);
  run_clock.start();
  running = true;
  reader_reads_ahead = transfers != nullptr;
  try {
    if (transfers) {
      reader_thread = std::thread(&py_PCB_RIX::ReadAheadLoop, this, std::move(framer), std::move(transfers));
    } else {
      reader_thread = std::thread(&py_PCB_RIX::AcquisitionLoop, this, std::move(framer));
    }
  } catch (...) {
    running = false;
    throw;
  }
}

void py_PCB_RIX::stop() {
  const std::lock_guard control(control_mutex);
  stop_reader();
}

void py_PCB_RIX::stop_reader() {
  running.exchange(false);
  {
    // Taken so that a reader about to start its back-off sees `running` clear
    // or is already waiting for this wake-up.
    const std::lock_guard lock(back_off_mutex);
  }
  back_off_wake.notify_all();
  if (reader_thread.joinable()) reader_thread.join();
}

void py_PCB_RIX::flush() {
  const std::lock_guard control(control_mutex);
  counters.flushes.add(1);
  if (running && reader_reads_ahead) {
    std::unique_lock lock(flush_mutex);
    flush_requested = true;
    flush_served.wait(lock, [this] { return !flush_requested; });
    return;
  }
  purge_waiting = true;
  {
    const std::lock_guard lock(device_mutex);
    device.purge();
    ++flushes_made;
    purge_waiting = false;
  }
  device_turn.notify_all();
}

int32_t py_PCB_RIX::read_raw(uint8_t* buffer, int32_t length) {
  const std::lock_guard control(control_mutex);
  const bool was_running = running;
  if (was_running) stop_reader();
  const int32_t read = device.read(buffer, length);
  counters.raw_reads.add(1);
  if (read > 0) counters.raw_bytes.add(static_cast<uint64_t>(read));
  if (was_running) spawn_reader();
  return read;
}

void py_PCB_RIX::set_read_ahead(uint64_t bytes) noexcept {
  const uint64_t packets = bytes / kUsbPacketSize + (bytes % kUsbPacketSize != 0);
  read_ahead_bytes = packets * kUsbPacketSize;
}

PooledBlock py_PCB_RIX::pop_ready_block(std::optional<std::chrono::nanoseconds> wait) {
  return PooledBlock(ready_queue->pop(wait), &free_queue);
}

StreamStats py_PCB_RIX::stats() const {
  StreamStats stats;
#define PYNVK_READ_COUNTER(name, writer) stats.name = counters.name.load();
  PYNVK_STREAM_COUNTERS(PYNVK_READ_COUNTER)
#undef PYNVK_READ_COUNTER
  stats.ready_blocks = ready_queue->size();
  stats.running = running;
  return stats;
}
