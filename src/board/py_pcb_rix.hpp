// py_PCB_RIX: the native handle of one PCB_RIX board. It owns the board's FTDI
// device, the pool of 64 sample blocks circulating between a free and a ready
// queue, and at most one reader thread that frames the board's byte stream
// into blocks.
//
// Contract:
// - Control calls (start, stop, flush, read_raw, set_timeout, destruction) come
//   from one thread at a time; the Python binding serialises them with the
//   interpreter lock. pop_ready_block may be called from any number of threads
//   at once, also while a control call runs.
// - The reader thread touches only the two queues, the device (under
//   device_mutex) and `running`; it never blocks on anything a control call
//   holds, so stop() may wait for it while its caller holds other locks (the
//   interpreter lock included).
// - stop() returns once the reader has finished its current pass: the device
//   reads of that pass (one block read, or a realignment with its reads; each
//   bounded by libftdi's 5000 ms USB time-out per transfer) and at most 1 ms
//   of waiting for a free block.
// - Destruction stops and joins a running reader first. Every PooledBlock
//   refers to this board's queue pointers, so the board must outlive them:
//   no call may be in progress on another thread when it is destroyed.
// - Never copied or moved: blocks in flight point at its queue members.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "channels/pooled_block.hpp"
#include "ftdi/ftdi_device.hpp"

class py_PCB_RIX {
 public:
  // Accepted rows per block: the realignment window needs two frames in a
  // block, and a block read's length must fit a signed 32-bit count.
  static constexpr std::size_t kMinSamplesCount = 2;
  static constexpr std::size_t kMaxSamplesCount = 178'956'970;

  // Opens the device whose serial number begins with `serial` (interface A,
  // synchronous 245 FIFO, mask 0xFF) and preallocates 64 zeroed blocks of
  // `rows` x 5 in the free queue. A missing or unusable board is not an error:
  // opened() tells. Throws std::invalid_argument for a row count outside
  // [kMinSamplesCount, kMaxSamplesCount], std::runtime_error when libftdi
  // cannot make a context, std::bad_alloc when the blocks do not fit.
  py_PCB_RIX(std::string serial, std::size_t rows);
  ~py_PCB_RIX();

  py_PCB_RIX(const py_PCB_RIX&) = delete;
  py_PCB_RIX& operator=(const py_PCB_RIX&) = delete;

  // Sets `running` and spawns the reader. A board that is already acquiring
  // keeps its one reader. Throws std::system_error when no thread can be made.
  void start();
  // Clears `running` and joins the reader, if one is held. The block being
  // filled goes to the ready queue as it is.
  void stop();

  // Discards what the chip and libftdi hold, without stopping acquisition:
  // the purge waits for the reader's device call in progress to end.
  void flush();

  // Reads up to `length` raw bytes from the device into `buffer`: the count
  // read, or a negative libftdi code. The caller stops the reader first.
  int32_t read_raw(uint8_t* buffer, int32_t length);

  // The oldest filled block, waiting at most `wait` (without limit when
  // empty). The handle returns the block to the free queue when released.
  PooledBlock pop_ready_block(std::optional<std::chrono::nanoseconds> wait);

  bool opened() const noexcept { return device.opened(); }
  const std::string& get_serial_number() const noexcept { return serial_number; }
  std::optional<std::chrono::nanoseconds> get_timeout() const noexcept { return timeout; }
  void set_timeout(std::chrono::nanoseconds value) noexcept { timeout = value; }
  bool is_running() const noexcept { return running; }

  // Bytes per frame of the board's stream: 0xF0 0x0F and five uint16, which
  // become the five columns of one block row.
  static constexpr std::size_t kFrameSize = 12;
  static constexpr std::size_t kColumns = 5;

 private:
  friend class BoardInspector;  // tests look at the queues and the pool

  void AcquisitionLoop();
  std::size_t ReadAligned(std::vector<uint8_t>& buffer);
  void Resync(std::vector<uint8_t>& buffer);
  int32_t ReadBlockAfterResync(std::vector<uint8_t>& buffer);
  PooledBlock AcquireFreeBlock();

  int32_t locked_read(uint8_t* buffer, std::size_t length);
  void locked_purge();

  std::size_t frame_size;
  std::size_t block_bytes;
  std::size_t samples_count;
  FtdiDevice device;
  std::string serial_number;
  std::atomic<bool> running{false};
  std::thread reader_thread;
  std::shared_ptr<BlockQueue> ready_queue;
  std::shared_ptr<BlockQueue> free_queue;
  std::optional<std::chrono::nanoseconds> timeout;
  // Serialises the reader's device calls with a purge from flush(), since a
  // libftdi context must not be used by two threads at once.
  std::mutex device_mutex;
  // Reader thread only: the block read that followed the last realignment
  // came back full, so a realignment now needs no purge (see Resync).
  bool resync_without_purge = false;
};
