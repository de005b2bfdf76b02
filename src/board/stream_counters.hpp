// Counters of what a board's reader did with the byte stream, so that a
// consumer can tell whether what it received was gapless.
//
// Contract:
// - Each counter has one writer at a time: the reader thread (directly or
//   through its framer), or a control call (flush, raw read), which the board
//   serialises with its control lock.
//   A write is a relaxed load and store: no read-modify-write instruction, no
//   lock, no system call. The reader writes once per device read or per pass
//   over a read, never per frame.
// - Any thread may read any counter at any time. Each read is atomic; counters
//   read one after another while the reader runs may come from different
//   moments. Once the reader has been joined, every counter is exact.
// - Values only grow, except last_cut_rows, which is replaced.
#pragma once

#include <atomic>
#include <cstdint>

// The reader's counting can be compiled out (-DPYNVK_STREAM_COUNTING=0) to
// measure what it costs; its counters then stay at zero.
#ifndef PYNVK_STREAM_COUNTING
#define PYNVK_STREAM_COUNTING 1
#endif
inline constexpr bool kStreamCounting = PYNVK_STREAM_COUNTING != 0;

// Every counter, in the order Python shows them, with its writer: X(name,
// READER or CONTROL).
// - bytes_read: stream bytes returned by the reader's device reads or
//   transfers, realignment reads included; == 12 * frames + discarded_bytes
//   once joined.
// - frames: rows written into blocks; torn_frames: those whose 12 source
//   bytes did not begin with the sync pair.
// - discarded_bytes: bytes read but written into no row (realignment reads,
//   data a realignment threw away, a partial frame the reader carried when it
//   stopped, failed or was flushed).
// - blocks: full blocks handed on; partial_blocks: blocks a stopping reader
//   handed on before they were full; last_cut_rows: fresh rows of the last.
// - alignments, realignments: realignments before a run's first row (joining
//   the stream) and after it (each a gap); purges: purges they made.
// - flushes: flush() calls.
// - failed_reads: device reads or transfers that failed; short_reads: block
//   reads of at most one frame, or transfers without a stream byte (a quiet
//   board; their bytes are kept).
// - pool_waits: times the reader found no free block; pool_wait_ns: how long
//   it then waited.
// - raw_reads, raw_bytes: raw reads by the caller and the bytes they got.
#define PYNVK_STREAM_COUNTERS(X) \
  X(bytes_read, READER)          \
  X(frames, READER)              \
  X(torn_frames, READER)         \
  X(discarded_bytes, READER)     \
  X(blocks, READER)              \
  X(partial_blocks, READER)      \
  X(last_cut_rows, READER)       \
  X(alignments, READER)          \
  X(realignments, READER)        \
  X(purges, READER)              \
  X(flushes, CONTROL)            \
  X(failed_reads, READER)        \
  X(short_reads, READER)         \
  X(pool_waits, READER)          \
  X(pool_wait_ns, READER)        \
  X(raw_reads, CONTROL)          \
  X(raw_bytes, CONTROL)

template <bool Enabled>
class SingleWriterCounter {
 public:
  void add(uint64_t amount) noexcept {
    if constexpr (Enabled) value_.store(value_.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
  }
  void set(uint64_t value) noexcept {
    if constexpr (Enabled) value_.store(value, std::memory_order_relaxed);
  }
  uint64_t load() const noexcept { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> value_{0};
};

namespace stream_counter_writer {
using READER = SingleWriterCounter<kStreamCounting>;
using CONTROL = SingleWriterCounter<true>;
}  // namespace stream_counter_writer

struct StreamCounters {
#define PYNVK_DECLARE_COUNTER(name, writer) stream_counter_writer::writer name;
  PYNVK_STREAM_COUNTERS(PYNVK_DECLARE_COUNTER)
#undef PYNVK_DECLARE_COUNTER
};

// One reading of a board's counters, plus what the board holds now.
struct StreamStats {
#define PYNVK_DECLARE_VALUE(name, writer) uint64_t name = 0;
  PYNVK_STREAM_COUNTERS(PYNVK_DECLARE_VALUE)
#undef PYNVK_DECLARE_VALUE
  // Blocks waiting in the ready queue.
  uint64_t ready_blocks = 0;
  bool running = false;

  bool operator==(const StreamStats&) const = default;
};
