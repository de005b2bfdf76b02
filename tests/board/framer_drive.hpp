// Driving a StreamFramer directly, as the reader thread would, from a board
// stream that the test cuts into reads or transfers and disturbs with jumps,
// garbage and failed reads; and checking what it delivered against the
// frames that reached it whole. Shared by the property test and the fuzzer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "board/stream_framer.hpp"
#include "board_stream.h"

// The bytes a framer is fed: the board stream from frame 0 on, in stretches
// that faults break. A frame reached the framer whole when its 12 bytes lie
// inside one stretch.
class FaultyStream {
 public:
  // Writes the next `count` bytes at `out`.
  void emit(uint8_t* out, std::size_t count) {
    std::size_t written = 0;
    if (garbage_left_ > 0) {
      written = std::min(count, garbage_left_);
      std::memset(out, 0xA5, written);  // no sync pair and no byte of a frame
      garbage_left_ -= written;
    }
    board_stream_bytes(position_, out + written, count - written);
    position_ += count - written;
    stretches_.back().end = position_;
  }

  // The stream goes on `bytes` further on.
  void jump(uint64_t bytes) {
    note_fault(bytes % BOARD_FRAME_SIZE == 0);
    break_stretch(position_ + bytes);
  }
  // `bytes` bytes that are no stream come next; then the stream goes on.
  void garbage(std::size_t bytes) {
    note_fault(false);
    garbage_left_ += bytes;
    break_stretch(position_);
  }

  std::size_t faults() const { return stretches_.size() - 1; }
  // Faults that may leave the stream in step, so that no framing sees them: a
  // jump of whole frames, or a fault that follows another within a few
  // frames (they may cancel out). A row across one mixes bytes of two places.
  // The frame a framer holds at the end is given out on its own sync pair:
  // a fault in the last bytes fed may lie inside it.
  std::size_t unseeable_faults() const {
    return unseeable_faults_ + (faults() > 0 && last_stretch_shorter_than(BOARD_FRAME_SIZE + 2));
  }
  // At the start and after a fault, a framer that checks every frame waits
  // for the sync pair to begin three frames in a row: when the stream ends
  // before, the frames of the last stretch are not given out.
  std::size_t frames_in_short_last_stretch() const { return last_stretch_shorter_than(4 * BOARD_FRAME_SIZE + 2) ? 3 : 0; }

  // Indexes of the frames that reached the framer whole, in order.
  std::vector<int64_t> whole_frames() const {
    std::vector<int64_t> whole;
    for (const Stretch& s : stretches_) {
      for (uint64_t i = (s.begin + BOARD_FRAME_SIZE - 1) / BOARD_FRAME_SIZE; (i + 1) * BOARD_FRAME_SIZE <= s.end; ++i) {
        if (whole.empty() || whole.back() < static_cast<int64_t>(i)) whole.push_back(static_cast<int64_t>(i));
      }
    }
    return whole;
  }

 private:
  struct Stretch {
    uint64_t begin;
    uint64_t end;
  };

  bool last_stretch_shorter_than(uint64_t bytes) const {
    return stretches_.back().end - stretches_.back().begin < bytes;
  }

  void note_fault(bool keeps_step) {
    const bool close = stretches_.size() > 1 && stretches_.back().end - stretches_.back().begin < 3 * BOARD_FRAME_SIZE;
    unseeable_faults_ += keeps_step || close;
  }

  void break_stretch(uint64_t resume_at) {
    position_ = resume_at;
    stretches_.push_back({position_, position_});
  }

  uint64_t position_ = 0;
  std::size_t garbage_left_ = 0;
  std::size_t unseeable_faults_ = 0;
  std::vector<Stretch> stretches_{{0, 0}};
};

// A framer fed as the reader feeds it, with rows written into blocks of
// `rows` rows that are handed on when full (or at finish).
class FramerDrive {
 public:
  FramerDrive(StreamFramer::Checking checking, std::size_t rows, std::size_t input_bytes)
      : framer(checking, input_bytes, counters), block_(rows * StreamFramer::kColumns), rows_(rows) {}

  // Block reads: a read of `count` bytes from `stream`; on a verdict of
  // realignment, the realignment read takes its bytes from `stream` too.
  StreamFramer::ReadVerdict block_read(FaultyStream& stream, std::size_t count) {
    stream.emit(framer.input(), count);
    return after_block_read(stream, framer.take_block_read(static_cast<int32_t>(count), ++stamp_));
  }
  StreamFramer::ReadVerdict failed_read(FaultyStream& stream) {
    return after_block_read(stream, framer.take_block_read(-1, ++stamp_));
  }

  // Transfers: `count` stream bytes.
  void transfer(FaultyStream& stream, std::size_t count) {
    stream.emit(framer.input(), count);
    framer.take_stream_bytes(count, ++stamp_);
    take_rows();
  }

  void finish() {
    take(framer.finish(block_.data() + filled_ * StreamFramer::kColumns, rows_ - filled_));
    for (std::size_t r = 0; r < filled_; ++r) delivered.push_back(board_stream_index_of(&block_[r * StreamFramer::kColumns]));
    filled_ = 0;
  }

  // What is wrong with the delivery, or "" when nothing is: the frames that
  // reached the framer whole come in order without repeats, and rows that
  // hold none, or one out of order, are counted as torn (or lie where a fault
  // began); every byte is accounted for; with `every_frame` no row is
  // torn but one across a fault no framing can see, and a fault costs at most
  // two whole frames (but for a stream that ends too soon after one, or after
  // its start); without faults every whole frame is delivered.
  std::string problems(const FaultyStream& stream, bool every_frame) const {
    const std::vector<int64_t> whole = stream.whole_frames();
    std::size_t not_frames = 0;
    int64_t last = -1;
    int64_t before_last = -1;
    for (int64_t index : delivered) {
      // A row that mixes two stretches may decode as some frame by chance,
      // even as a whole one: a stray row out of order. When the row before it
      // was the stray one, the frames go on from the one before that.
      if (!std::binary_search(whole.begin(), whole.end(), index)) {
        ++not_frames;
      } else if (index <= last) {
        ++not_frames;
        if (index > before_last) last = index;
      } else {
        before_last = last;
        last = index;
      }
    }
    const uint64_t frames = counters.frames.load();
    if (frames != delivered.size()) return "counted " + std::to_string(frames) + " rows, delivered " + std::to_string(delivered.size());
    if (counters.bytes_read.load() != BOARD_FRAME_SIZE * frames + counters.discarded_bytes.load()) return "bytes unaccounted for";
    const std::size_t true_frames = delivered.size() - not_frames;
    if (every_frame && (not_frames > stream.unseeable_faults() || counters.torn_frames.load() > 0)) {
      return "a torn row was delivered";
    }
    if (not_frames > counters.torn_frames.load() + stream.faults()) return "rows that are no frame were not counted";
    const std::size_t allowed_loss = every_frame ? 2 * stream.faults() + stream.frames_in_short_last_stretch()
                                                 : (stream.faults() > 0 ? whole.size() : 0);
    if (true_frames + allowed_loss < whole.size()) {
      return std::to_string(whole.size() - true_frames) + " whole frames lost with " + std::to_string(stream.faults()) + " faults";
    }
    if (stream.faults() == 0 && counters.alignments.load() + counters.realignments.load() > 0) return "realigned a clean stream";
    return "";
  }

  StreamCounters counters;
  StreamFramer framer;
  std::vector<int64_t> delivered;
  // Bytes the realignments skipped.
  std::size_t realignment_reads = 0;

 private:
  StreamFramer::ReadVerdict after_block_read(FaultyStream& stream, StreamFramer::ReadVerdict verdict) {
    if (verdict == StreamFramer::ReadVerdict::rows) take_rows();
    if (verdict == StreamFramer::ReadVerdict::realign || verdict == StreamFramer::ReadVerdict::failed) {
      const std::size_t length = framer.realignment_length();
      if (length > 0) {
        stream.emit(framer.input(), length);
        framer.take_realignment_read(static_cast<int32_t>(length));
        realignment_reads += length;
      }
    }
    return verdict;
  }

  void take_rows() {
    for (;;) {
      const std::size_t room = rows_ - filled_;
      const std::size_t copied = framer.copy_rows(block_.data() + filled_ * StreamFramer::kColumns, room);
      take(copied);
      if (copied < room) return;
    }
  }

  void take(std::size_t copied) {
    filled_ += copied;
    if (filled_ < rows_) return;
    for (std::size_t r = 0; r < rows_; ++r) delivered.push_back(board_stream_index_of(&block_[r * StreamFramer::kColumns]));
    filled_ = 0;
  }

  std::vector<uint16_t> block_;
  std::size_t rows_;
  std::size_t filled_ = 0;
  int64_t stamp_ = 0;
};
