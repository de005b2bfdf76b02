// py_PCB_RIX: the native handle of one PCB_RIX board. It owns the board's FTDI
// device, the pool of 64 sample blocks circulating between a free and a ready
// queue, at most one reader thread that frames the board's byte stream into
// blocks, and the counters of what that reader did.
//
// Contract:
// - Control calls (start, stop, flush, read_raw) may come from any thread; the
//   board serialises them with a lock of its own, so each waits for the one in
//   progress. None of them touches Python, so a binding lets the interpreter
//   lock go while they wait. set_timeout and get_timeout are left to the
//   caller to serialise. pop_ready_block and stats may be called from any
//   number of threads at once, also while a control call runs.
// - The reader thread touches only the two queues, the device, `running` and
//   the counters; it never waits for anything a control call holds, except
//   for a flush's purge, which it lets go first.
// - stop() waits until the reader has finished its device read in progress,
//   which lasts until libftdi has the bytes asked for, the board pauses or a
//   USB transfer times out (5000 ms): on a slow board, as long as the board
//   takes to send a block. A reader that is to stop starts no further block
//   read; a free-block wait or a back-off after empty reads ends within about
//   1 ms of stop().
// - flush() purges at the end of the reader's device read in progress at the
//   latest: the reader lets a waiting purge go before its next read. With
//   read-ahead the reader serves the flush itself (cancelling and dropping
//   its transfers, purging, queueing anew) within about 10 ms, also while it
//   waits for a free block.
// - With read-ahead (set_read_ahead) the reader keeps bulk transfers queued
//   on the device while it runs, and only its thread uses the device then;
//   stop() cancels them and waits for them (about 10 ms, at most a second for
//   a broken USB stack).
// - Destruction stops and joins a running reader first, so it can wait as
//   long as stop(). Every PooledBlock refers to this board's queue pointers,
//   so the board must outlive them: no call may be in progress on another
//   thread when it is destroyed.
// - Never copied or moved: blocks in flight point at its queue members.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "board/run_clock.hpp"
#include "board/stream_counters.hpp"
#include "board/stream_framer.hpp"
#include "channels/pooled_block.hpp"
#include "ftdi/bulk_in_queue.hpp"
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
  // cannot make a context, std::bad_alloc when the blocks do not fit (at
  // once, with a message, when they would take more than the computer's
  // memory).
  py_PCB_RIX(std::string serial, std::size_t rows);
  ~py_PCB_RIX();

  py_PCB_RIX(const py_PCB_RIX&) = delete;
  py_PCB_RIX& operator=(const py_PCB_RIX&) = delete;

  // Sets `running` and spawns the reader, with its read buffer allocated here
  // on the caller's thread. A board that is already acquiring keeps its one
  // reader. Throws std::bad_alloc when the buffer does not fit and
  // std::system_error when no thread can be made; the board is then left
  // stopped and usable.
  void start();
  // Clears `running` and joins the reader, if one is held. The block being
  // filled goes to the ready queue as it is.
  void stop();

  // Discards what the chip and libftdi hold, without stopping acquisition.
  void flush();

  // Reads up to `length` raw bytes from the device into `buffer`, with a
  // running reader stopped for the read and started again after it: the count
  // read, or a negative libftdi code.
  int32_t read_raw(uint8_t* buffer, int32_t length);

  // The oldest filled block, waiting at most `wait` (without limit when
  // empty). The handle returns the block to the free queue when released.
  PooledBlock pop_ready_block(std::optional<std::chrono::nanoseconds> wait);

  // The counters, each read atomically (see stream_counters.hpp), with the
  // ready queue's length and whether the board is acquiring.
  StreamStats stats() const;

  // Bytes of bulk transfers the reader keeps queued from the next start() on,
  // rounded up to whole USB packets; 0 reads block by block with libftdi's
  // synchronous reads. May be changed at any time, from any thread.
  void set_read_ahead(uint64_t bytes) noexcept;
  uint64_t get_read_ahead() const noexcept { return read_ahead_bytes; }

  bool opened() const noexcept { return device.opened(); }
  const std::string& get_serial_number() const noexcept { return serial_number; }
  std::optional<std::chrono::nanoseconds> get_timeout() const noexcept { return timeout; }
  void set_timeout(std::chrono::nanoseconds value) noexcept { timeout = value; }

  // Bytes per frame of the board's stream: 0xF0 0x0F and five uint16, which
  // become the five columns of one block row.
  static constexpr std::size_t kFrameSize = StreamFramer::kFrameSize;
  static constexpr std::size_t kColumns = StreamFramer::kColumns;
  // Read-ahead is kept in whole USB packets of this size.
  static constexpr uint64_t kUsbPacketSize = BulkInQueue::kTransferUnit;

 private:
  friend class BoardInspector;  // tests look at the queues and the pool

  // The block the reader fills and its next row.
  struct BlockInWork {
    PooledBlock handle;
    std::size_t row = 0;
  };

  // With the control lock held (stop_reader also from the destructor, when
  // no other call can be in progress).
  void spawn_reader();
  void stop_reader();

  // What a read-ahead run works with, for serving a flush while it waits.
  struct ReadAheadRun {
    StreamFramer& framer;
    BulkInQueue& transfers;
  };

  // Reader thread only.
  void AcquisitionLoop(StreamFramer framer);
  void ReadAheadLoop(StreamFramer framer, std::unique_ptr<BulkInQueue> transfers);
  BulkInQueue::Outcome take_transfer(StreamFramer& framer, BulkInQueue& transfers);
  void submit_transfers(BulkInQueue& transfers);
  void serve_flush(ReadAheadRun& run);
  void fill_blocks(StreamFramer& framer, BlockInWork& work);
  void realign(StreamFramer& framer);
  void end_run(StreamFramer& framer, BlockInWork& work);
  PooledBlock AcquireFreeBlock();
  void wait_after_empty_read();
  void back_off_after_failed_read();
  int32_t read_block(StreamFramer& framer);
  void reader_purge();
  // Runs the reader's device call once no purge from flush() is waiting.
  template <typename DeviceCall>
  auto with_device_turn(DeviceCall call);

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
  std::atomic<uint64_t> read_ahead_bytes{0};

  // Serialises the control calls, so that their order and effect on the
  // reader are as if they came from one thread.
  std::mutex control_mutex;
  // Serialises the reader's device calls with a purge from flush(), since a
  // libftdi context must not be used by two threads at once. A flush sets
  // purge_waiting before it asks for the lock; the reader, which would win it
  // again and again, then waits on device_turn until the purge is done.
  std::mutex device_mutex;
  std::condition_variable device_turn;
  std::atomic<bool> purge_waiting{false};
  // flush() calls made; the reader starts the stream anew after each.
  uint64_t flushes_made = 0;
  // With read-ahead the reader alone may use the device, so it serves a
  // flush() itself: the control call sets flush_requested and waits until
  // the reader has cancelled and dropped its transfers, purged and queued
  // anew.
  bool reader_reads_ahead = false;  // under the control lock
  std::atomic<bool> flush_requested{false};
  std::mutex flush_mutex;
  std::condition_variable flush_served;
  // Wakes the reader from its wait after empty or failed reads when stop()
  // comes.
  std::mutex back_off_mutex;
  std::condition_variable back_off_wake;

  StreamCounters counters;

  // Reader thread only.
  // Reads in a row that gave no data, and that failed, which set the waits.
  unsigned empty_reads = 0;
  unsigned failed_reads_in_a_row = 0;
  // flushes_made when the reader last read, under the device lock.
  uint64_t flushes_seen = 0;
  // The read-ahead run in progress, if any.
  ReadAheadRun* read_ahead_run = nullptr;
  // The run's clock: UTC at start() plus the steady time since, so that the
  // times noted on blocks never go backwards within a run.
  RunClock run_clock;
  // When the reader's last device read returned.
  int64_t last_read_time_ns = 0;
};
