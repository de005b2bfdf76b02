// The reader thread: frames the board's byte stream into sample blocks.
#include <algorithm>
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

bool starts_with_sync(const std::vector<uint8_t>& buffer) { return buffer[0] == kSync0 && buffer[1] == kSync1; }

// A failed read, or one shorter than a frame, counts as no data.
std::size_t usable_count(int32_t read) {
  return read >= static_cast<int32_t>(py_PCB_RIX::kFrameSize) ? static_cast<std::size_t>(read) : 0;
}

}  // namespace

std::size_t py_PCB_RIX::ReadAligned(std::vector<uint8_t>& buffer) {
  int32_t read = locked_read(buffer.data(), block_bytes);
  resync_without_purge = false;
  if (!starts_with_sync(buffer)) {
    Resync(buffer);
    read = ReadBlockAfterResync(buffer);
  }
  return usable_count(read);
}

int32_t py_PCB_RIX::ReadBlockAfterResync(std::vector<uint8_t>& buffer) {
  const int32_t read = locked_read(buffer.data(), block_bytes);
  resync_without_purge = read == static_cast<int32_t>(block_bytes);
  return read;
}

void py_PCB_RIX::Resync(std::vector<uint8_t>& buffer) {
  // A purge drops what the chip and libftdi hold of a disturbed stream, but it
  // also drops an unknown number of stream bytes, so the next read lands at an
  // unforeseeable place. When the read that missed the frame start was itself
  // a full block read made right after a realignment, its tail locates the
  // next frame exactly: purging again would only throw that away, and with a
  // chip that always holds the same amount the misalignment could repeat
  // for ever.
  if (!resync_without_purge) locked_purge();
  // The pair nearest the end of the last read wins; reading up to the start of
  // the second frame after it puts the stream on a frame boundary again.
  for (std::size_t k = 0; k < kResyncWindow; ++k) {
    const std::size_t position = block_bytes - 2 - k;
    if (buffer[position] == kSync0 && buffer[position + 1] == kSync1) {
      locked_read(buffer.data(), kResyncWindow - k);
      return;
    }
  }
}

PooledBlock py_PCB_RIX::AcquireFreeBlock() {
  PooledBlock handle(free_queue->pop(kFreeBlockWait), &ready_queue);
  while (!handle.block && running) handle = PooledBlock(free_queue->pop(kFreeBlockWait), &ready_queue);
  return handle;
}

void py_PCB_RIX::AcquisitionLoop() {
  std::vector<uint8_t> buffer(2 * block_bytes, 0);
  std::size_t count = ReadAligned(buffer);
  uint32_t offset = 0;
  uint32_t row = 0;
  PooledBlock current = AcquireFreeBlock();

  do {
    if (count <= frame_size || !starts_with_sync(buffer)) {
      Resync(buffer);
      count = usable_count(ReadBlockAfterResync(buffer));
      offset = 0;
      continue;
    }
    if (!current.block) break;

    // As many whole frames as both the read and the block have room for. The
    // bounds are computed once: the copies' stores could otherwise alias
    // them and force a reload per frame.
    const std::size_t frames = std::min<std::size_t>(samples_count - row, (count - offset) / kFrameSize);
    const uint8_t* source = buffer.data() + offset + 2;
    uint16_t* target = current.block->data.data() + std::size_t{row} * kColumns;
    for (std::size_t n = 0; n < frames; ++n, source += kFrameSize, target += kColumns) {
      std::memcpy(target, source, kPayloadBytes);
    }
    row += static_cast<uint32_t>(frames);
    offset += static_cast<uint32_t>(frames * kFrameSize);

    if (row >= samples_count) {
      // Take the next free block before handing the full one on, so that with
      // no free block the full one stays here and the device is not read.
      PooledBlock next = AcquireFreeBlock();
      current = std::move(next);
      row = 0;
    }

    if (count - offset < frame_size) {
      offset = 0;
      count = ReadAligned(buffer);
    }
  } while (running);
  // `current` goes to the ready queue as it is when it leaves scope.
}
