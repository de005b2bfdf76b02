// The reader thread: frames the board's byte stream into sample blocks, and
// counts what it does with every byte it reads.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "board/py_pcb_rix.hpp"

namespace {

constexpr uint8_t kSync0 = 0xF0;
constexpr uint8_t kSync1 = 0x0F;
constexpr std::size_t kPayloadBytes = py_PCB_RIX::kFrameSize - 2;
static_assert(kPayloadBytes == py_PCB_RIX::kColumns * sizeof(uint16_t));
// How far back from the end of a block read the realignment looks for the
// sync pair: every position from which a whole frame and a sync pair fit.
constexpr std::size_t kResyncWindow = 2 * py_PCB_RIX::kFrameSize - 2;
constexpr std::chrono::nanoseconds kFreeBlockWait = std::chrono::milliseconds(1);
// After a few empty or failed block reads in a row the reader waits one unit
// before it tries again, then twice as long after each further one, up to the
// longest back-off: a dead or unplugged device then costs next to nothing,
// and a board that sends again is read within that time. A stray empty read
// in a flowing stream costs no wait. The fuzzer's build counts in
// microseconds, so that inputs full of failed reads run fast.
#ifndef PYNVK_BACK_OFF_UNIT
#define PYNVK_BACK_OFF_UNIT std::chrono::milliseconds
#endif
using BackOffUnit = PYNVK_BACK_OFF_UNIT;
constexpr unsigned kEmptyReadsBeforeBackOff = 3;
constexpr unsigned kMostBackOffDoublings = 5;  // 32 units

bool starts_with_sync(const std::vector<uint8_t>& buffer) { return buffer[0] == kSync0 && buffer[1] == kSync1; }

// The sync pair as it lies in memory, read as one 16-bit word.
constexpr uint16_t kSyncWord = std::bit_cast<uint16_t>(std::array<uint8_t, 2>{kSync0, kSync1});

uint16_t sync_word_at(const uint8_t* frame) {
  uint16_t word;
  std::memcpy(&word, frame, sizeof word);
  return word;
}

// Frames of `count` at `frames` whose first two bytes are not the sync pair.
std::size_t torn_among(const uint8_t* frames, std::size_t count) {
  std::size_t torn = 0;
  for (std::size_t n = 0; n < count; ++n) torn += sync_word_at(frames + n * py_PCB_RIX::kFrameSize) != kSyncWord;
  return torn;
}

uint64_t bytes_of(int32_t read) { return read > 0 ? static_cast<uint64_t>(read) : 0; }

}  // namespace

template <typename DeviceCall>
auto py_PCB_RIX::with_device_turn(DeviceCall call) {
  std::unique_lock lock(device_mutex);
  device_turn.wait(lock, [this] { return !purge_waiting; });
  return call();
}

int32_t py_PCB_RIX::reader_read(uint8_t* buffer, std::size_t length, ReadKind kind) {
  const int32_t read = with_device_turn([&] { return device.read(buffer, static_cast<int32_t>(length)); });
  last_read_time_ns = run_clock.now_ns();
  if (read < 0) {
    counters.failed_reads.add(1);
  } else {
    counters.bytes_read.add(bytes_of(read));
    if (kind == ReadKind::block && read <= static_cast<int32_t>(kFrameSize)) counters.short_reads.add(1);
  }
  return read;
}

void py_PCB_RIX::reader_purge() {
  with_device_turn([this] { return device.purge(); });
  counters.purges.add(1);
}

// A failed read, or one of at most a frame, counts as no data; its bytes are
// discarded. A read of exactly one frame is kept here and discarded by the
// loop, which treats it as too short.
std::size_t py_PCB_RIX::usable_count(int32_t read) {
  if (read >= static_cast<int32_t>(kFrameSize)) return static_cast<std::size_t>(read);
  counters.discarded_bytes.add(bytes_of(read));
  return 0;
}

// A reader that is to stop starts no further block read, which on a slow
// board can last as long as the board takes to send a block, and no
// realignment: stop() waits for the read in progress only, and what a
// further read would bring is dropped at the stop anyway.
std::size_t py_PCB_RIX::ReadAligned(std::vector<uint8_t>& buffer) {
  if (!running) return 0;
  int32_t read = reader_read(buffer.data(), block_bytes, ReadKind::block);
  resync_without_purge = false;
  if (!starts_with_sync(buffer)) {
    counters.discarded_bytes.add(bytes_of(read));
    if (!running) return 0;
    Resync(buffer);
    read = ReadBlockAfterResync(buffer);
  }
  return usable_count(read);
}

int32_t py_PCB_RIX::ReadBlockAfterResync(std::vector<uint8_t>& buffer) {
  if (!running) return 0;
  const int32_t read = reader_read(buffer.data(), block_bytes, ReadKind::block);
  resync_without_purge = read == static_cast<int32_t>(block_bytes);
  return read;
}

void py_PCB_RIX::Resync(std::vector<uint8_t>& buffer) {
  (run_has_rows ? counters.realignments : counters.alignments).add(1);
  // A purge drops what the chip and libftdi hold of a disturbed stream, but it
  // also drops an unknown number of stream bytes, so the next read lands at an
  // unforeseeable place. When the read that missed the frame start was itself
  // a full block read made right after a realignment, its tail locates the
  // next frame exactly: purging again would only throw that away, and with a
  // chip that always holds the same amount the misalignment could repeat
  // for ever.
  if (!resync_without_purge) reader_purge();
  // The pair nearest the end of the last read wins; reading up to the start of
  // the second frame after it puts the stream on a frame boundary again.
  for (std::size_t k = 0; k < kResyncWindow; ++k) {
    const std::size_t position = block_bytes - 2 - k;
    if (buffer[position] == kSync0 && buffer[position + 1] == kSync1) {
      counters.discarded_bytes.add(bytes_of(reader_read(buffer.data(), kResyncWindow - k, ReadKind::realignment)));
      return;
    }
  }
}

PooledBlock py_PCB_RIX::AcquireFreeBlock() {
  PooledBlock handle = AcquireFreeBlockUntimed();
  // A block that gets no fresh row before a stop hands it on keeps this time
  // rather than one of its earlier use.
  if (handle.block) handle.block->time_ns = run_clock.now_ns();
  return handle;
}

PooledBlock py_PCB_RIX::AcquireFreeBlockUntimed() {
  PooledBlock handle(free_queue->pop(std::chrono::nanoseconds::zero()), &ready_queue);
  if (handle.block || !running) return handle;
  // No free block: Python holds them all. A board that cannot pause loses
  // data for as long as this lasts.
  counters.pool_waits.add(1);
  const auto waiting_since = std::chrono::steady_clock::now();
  while (!handle.block && running) handle = PooledBlock(free_queue->pop(kFreeBlockWait), &ready_queue);
  const auto waited = std::chrono::steady_clock::now() - waiting_since;
  counters.pool_wait_ns.add(static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(waited).count()));
  return handle;
}

void py_PCB_RIX::back_off_after_empty_read() {
  if (++empty_reads < kEmptyReadsBeforeBackOff) return;
  const unsigned doublings = std::min(empty_reads - kEmptyReadsBeforeBackOff, kMostBackOffDoublings);
  std::unique_lock lock(back_off_mutex);
  back_off_wake.wait_for(lock, BackOffUnit(1 << doublings), [this] { return !running; });
}

void py_PCB_RIX::AcquisitionLoop(std::vector<uint8_t> buffer) {
  run_has_rows = false;
  empty_reads = 0;
  std::size_t count = ReadAligned(buffer);
  uint32_t offset = 0;
  uint32_t row = 0;
  PooledBlock current = AcquireFreeBlock();

  do {
    if (count <= frame_size || !starts_with_sync(buffer)) {
      if (count <= frame_size) {
        back_off_after_empty_read();
      } else {
        empty_reads = 0;
      }
      counters.discarded_bytes.add(count - offset);
      count = offset = 0;
      if (!running) break;  // stopped during the back-off
      Resync(buffer);
      count = usable_count(ReadBlockAfterResync(buffer));
      continue;
    }
    empty_reads = 0;
    if (!current.block) break;

    // As many whole frames as both the read and the block have room for. The
    // bounds are computed once: the copies' stores could otherwise alias
    // them and force a reload per frame.
    const std::size_t frames = std::min<std::size_t>(samples_count - row, (count - offset) / kFrameSize);
    const uint8_t* const first = buffer.data() + offset;
    const uint8_t* source = first + 2;
    uint16_t* target = current.block->data.data() + std::size_t{row} * kColumns;
    // Every frame's sync pair is checked, at the cost of one load and two bit
    // operations; only a pass that met a wrong one counts them.
    uint16_t sync_differences = 0;
    for (std::size_t n = 0; n < frames; ++n, source += kFrameSize, target += kColumns) {
      if constexpr (kStreamCounting) sync_differences |= sync_word_at(source - 2) ^ kSyncWord;
      std::memcpy(target, source, kPayloadBytes);
    }
    if (sync_differences != 0) counters.torn_frames.add(torn_among(first, frames));
    row += static_cast<uint32_t>(frames);
    offset += static_cast<uint32_t>(frames * kFrameSize);
    counters.frames.add(frames);
    if (frames > 0) {
      run_has_rows = true;
      current.block->time_ns = last_read_time_ns;
    }

    if (row >= samples_count) {
      // Take the next free block before handing the full one on, so that with
      // no free block the full one stays here and the device is not read.
      PooledBlock next = AcquireFreeBlock();
      counters.blocks.add(1);
      current = std::move(next);
      row = 0;
    }

    if (count - offset < frame_size) {
      counters.discarded_bytes.add(count - offset);
      offset = 0;
      count = ReadAligned(buffer);
    }
  } while (running);

  counters.discarded_bytes.add(count - offset);
  if (current.block) {
    counters.partial_blocks.add(1);
    counters.last_cut_rows.set(row);
  }
  // `current` goes to the ready queue as it is when it leaves scope.
}
