// The reader thread: reads the board's stream block by block, has the framer
// cut it into rows, fills blocks with them and hands full blocks on.
#include <algorithm>

#include "board/py_pcb_rix.hpp"

namespace {

constexpr std::chrono::nanoseconds kFreeBlockWait = std::chrono::milliseconds(1);
// A board that has nothing to send is read again after a few empty reads
// without a wait, then after one unit each: on real hardware the chip's
// latency timer already paces empty reads, and a board that speaks again must
// not overflow its FIFO meanwhile. A device whose reads fail (unopened,
// unplugged) is tried again after one unit, then twice as long after each
// further failure, up to the longest back-off: it then costs next to nothing,
// and is read within that time once it works. The fuzzer's build counts in
// microseconds, so that inputs full of failed reads run fast.
#ifndef PYNVK_BACK_OFF_UNIT
#define PYNVK_BACK_OFF_UNIT std::chrono::milliseconds
#endif
using BackOffUnit = PYNVK_BACK_OFF_UNIT;
constexpr unsigned kReadsBeforeWaiting = 3;
constexpr unsigned kMostBackOffDoublings = 5;  // 32 units

}  // namespace

template <typename DeviceCall>
auto py_PCB_RIX::with_device_turn(DeviceCall call) {
  std::unique_lock lock(device_mutex);
  device_turn.wait(lock, [this] { return !purge_waiting; });
  return call();
}

// A block read lands after what the framer carries, unless a flush() came
// since the last read: the chip then holds a later part of the stream, which
// the framer takes as a run's start.
int32_t py_PCB_RIX::read_block(StreamFramer& framer) {
  const int32_t read = with_device_turn([&] {
    if (flushes_seen != flushes_made) {
      flushes_seen = flushes_made;
      framer.restart();
    }
    return device.read(framer.input(), static_cast<int32_t>(block_bytes));
  });
  last_read_time_ns = run_clock.now_ns();
  return read;
}

void py_PCB_RIX::reader_purge() {
  with_device_turn([this] { return device.purge(); });
  counters.purges.add(1);
}

// A reader that is to stop starts no further device call: stop() waits for
// the one in progress only, and what a further read would bring is dropped at
// the stop anyway.
void py_PCB_RIX::realign(StreamFramer& framer) {
  if (!running) return;
  if (framer.purge_before_realignment()) reader_purge();
  const std::size_t length = framer.realignment_length();
  if (length == 0 || !running) return;
  framer.take_realignment_read(
      with_device_turn([&] { return device.read(framer.input(), static_cast<int32_t>(length)); }));
}

PooledBlock py_PCB_RIX::AcquireFreeBlock() {
  PooledBlock handle(free_queue->pop(std::chrono::nanoseconds::zero()), &ready_queue);
  if (!handle.block && running) {
    // No free block: Python holds them all. A board that cannot pause loses
    // data for as long as this lasts.
    counters.pool_waits.add(1);
    const auto waiting_since = std::chrono::steady_clock::now();
    while (!handle.block && running) {
      // A reader that reads ahead serves flush() itself, also meanwhile.
      if (read_ahead_run != nullptr && flush_requested) serve_flush(*read_ahead_run);
      handle = PooledBlock(free_queue->pop(kFreeBlockWait), &ready_queue);
    }
    const auto waited = std::chrono::steady_clock::now() - waiting_since;
    counters.pool_wait_ns.add(
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(waited).count()));
  }
  // A block that gets no fresh row before a stop hands it on keeps this time
  // rather than one of its earlier use.
  if (handle.block) handle.block->time_ns = run_clock.now_ns();
  return handle;
}

void py_PCB_RIX::wait_after_empty_read() {
  failed_reads_in_a_row = 0;
  if (++empty_reads < kReadsBeforeWaiting) return;
  std::unique_lock lock(back_off_mutex);
  back_off_wake.wait_for(lock, BackOffUnit(1), [this] { return !running; });
}

void py_PCB_RIX::back_off_after_failed_read() {
  empty_reads = 0;
  if (++failed_reads_in_a_row < kReadsBeforeWaiting) return;
  const unsigned doublings = std::min(failed_reads_in_a_row - kReadsBeforeWaiting, kMostBackOffDoublings);
  std::unique_lock lock(back_off_mutex);
  back_off_wake.wait_for(lock, BackOffUnit(1 << doublings), [this] { return !running; });
}

void py_PCB_RIX::fill_blocks(StreamFramer& framer, BlockInWork& work) {
  while (work.handle.block) {
    SampleBlock& block = *work.handle.block;
    const std::size_t copied = framer.copy_rows(block.data.data() + work.row * kColumns, samples_count - work.row);
    if (copied > 0) {
      work.row += copied;
      block.time_ns = framer.last_row_stamp();
    }
    if (work.row < samples_count) return;
    // Take the next free block before handing the full one on, so that with
    // no free block the full one stays here and the device is not read.
    PooledBlock next = AcquireFreeBlock();
    counters.blocks.add(1);
    work.handle = std::move(next);
    work.row = 0;
  }
}

// The block in work goes to the ready queue as it is when `work` leaves
// scope: whatever rows this run gave it, with the frame the framer held.
void py_PCB_RIX::end_run(StreamFramer& framer, BlockInWork& work) {
  if (!work.handle.block) {
    framer.finish(nullptr, 0);
    return;
  }
  SampleBlock& block = *work.handle.block;
  const std::size_t copied = framer.finish(block.data.data() + work.row * kColumns, samples_count - work.row);
  if (copied > 0) {
    work.row += copied;
    block.time_ns = framer.last_row_stamp();
  }
  counters.partial_blocks.add(1);
  counters.last_cut_rows.set(work.row);
}

void py_PCB_RIX::AcquisitionLoop(StreamFramer framer) {
  empty_reads = failed_reads_in_a_row = 0;
  BlockInWork work{AcquireFreeBlock()};
  while (running && work.handle.block) {
    const int32_t read = read_block(framer);
    switch (framer.take_block_read(read, last_read_time_ns)) {
      case StreamFramer::ReadVerdict::rows:
        empty_reads = failed_reads_in_a_row = 0;
        fill_blocks(framer, work);
        break;
      case StreamFramer::ReadVerdict::empty:
        wait_after_empty_read();
        break;
      case StreamFramer::ReadVerdict::failed:
        back_off_after_failed_read();
        realign(framer);
        break;
      case StreamFramer::ReadVerdict::realign:
        realign(framer);
        break;
    }
  }
  end_run(framer, work);
}
