#include "board/py_pcb_rix.hpp"

#include <stdexcept>
#include <string>
#include <utility>

namespace {

std::size_t checked_rows(std::size_t rows) {
  if (rows < py_PCB_RIX::kMinSamplesCount || rows > py_PCB_RIX::kMaxSamplesCount) {
    throw std::invalid_argument("samples_count must be between " + std::to_string(py_PCB_RIX::kMinSamplesCount) +
                                " and " + std::to_string(py_PCB_RIX::kMaxSamplesCount) + ", got " +
                                std::to_string(rows));
  }
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
  running = false;
  if (reader_thread.joinable()) reader_thread.join();
}

void py_PCB_RIX::start() {
  if (reader_thread.joinable()) {
    if (running) return;
    reader_thread.join();
  }
  running = true;
  reader_thread = std::thread(&py_PCB_RIX::AcquisitionLoop, this);
}

void py_PCB_RIX::stop() {
  running.exchange(false);
  if (reader_thread.joinable()) reader_thread.join();
}

void py_PCB_RIX::flush() { locked_purge(); }

int32_t py_PCB_RIX::read_raw(uint8_t* buffer, int32_t length) {
  const std::lock_guard lock(device_mutex);
  return device.read(buffer, length);
}

PooledBlock py_PCB_RIX::pop_ready_block(std::optional<std::chrono::nanoseconds> wait) {
  return PooledBlock(ready_queue->pop(wait), &free_queue);
}

int32_t py_PCB_RIX::locked_read(uint8_t* buffer, std::size_t length) {
  const std::lock_guard lock(device_mutex);
  return device.read(buffer, static_cast<int32_t>(length));
}

void py_PCB_RIX::locked_purge() {
  const std::lock_guard lock(device_mutex);
  device.purge();
}
