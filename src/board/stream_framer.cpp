#include "board/stream_framer.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace {

constexpr uint8_t kSync0 = 0xF0;
constexpr uint8_t kSync1 = 0x0F;
constexpr std::size_t kPayloadBytes = StreamFramer::kFrameSize - 2;
static_assert(kPayloadBytes == StreamFramer::kColumns * sizeof(uint16_t));
// How far back from the end of a read the realignment looks for the sync
// pair: every position from which a whole frame and a sync pair fit.
constexpr std::size_t kRealignmentWindow = 2 * StreamFramer::kFrameSize - 2;
// every_frame: a frame is given out once the next frame's pair is there too.
constexpr std::size_t kConfirmedFrame = StreamFramer::kFrameSize + 2;
// every_frame: bytes in which the pair begins three frames in a row.
constexpr std::size_t kThreePairs = 2 * StreamFramer::kFrameSize + 2;

// The sync pair as it lies in memory, read as one 16-bit word.
constexpr uint16_t kSyncWord = std::bit_cast<uint16_t>(std::array<uint8_t, 2>{kSync0, kSync1});

uint16_t word_at(const uint8_t* bytes) {
  uint16_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

// Frames of `count` at `frames` whose first two bytes are not the sync pair.
std::size_t torn_among(const uint8_t* frames, std::size_t count) {
  std::size_t torn = 0;
  for (std::size_t n = 0; n < count; ++n) torn += word_at(frames + n * StreamFramer::kFrameSize) != kSyncWord;
  return torn;
}

uint64_t bytes_of(int32_t result) { return result > 0 ? static_cast<uint64_t>(result) : 0; }

}  // namespace

StreamFramer::StreamFramer(Checking checking, std::size_t input_bytes, StreamCounters& counters)
    : checking_(checking),
      counters_(counters),
      // A block read lands after a carried partial frame; a transfer after a
      // carried frame and the next pair, or the tail of a search.
      buffer_(checking == Checking::first_frame_of_read ? 2 * input_bytes : input_bytes + kThreePairs, 0),
      read_length_(input_bytes) {}

void StreamFramer::restart() {
  drop_carried();
  check_first_bytes_ = true;
  read_after_realignment_ = false;
  searching_ = true;
  search_counted_ = false;
  run_has_rows_ = false;
}

uint8_t* StreamFramer::input() {
  if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, carried());
    end_ -= begin_;
    begin_ = 0;
  }
  return buffer_.data() + end_;
}

bool StreamFramer::pair_at(std::size_t position) const { return word_at(buffer_.data() + position) == kSyncWord; }

void StreamFramer::discard(std::size_t count) {
  counters_.discarded_bytes.add(count);
  begin_ += count;
}

void StreamFramer::drop_carried() {
  discard(carried());
  begin_ = end_ = 0;
}

void StreamFramer::count_realignment() { (run_has_rows_ ? counters_.realignments : counters_.alignments).add(1); }

void StreamFramer::take_new_bytes(std::size_t count, int64_t stamp) {
  counters_.bytes_read.add(count);
  newest_from_ = end_;
  carried_stamp_ = stamp_;
  stamp_ = stamp;
  end_ += count;
}

StreamFramer::ReadVerdict StreamFramer::take_block_read(int32_t result, int64_t stamp) {
  const bool whole_read_after_realignment =
      read_after_realignment_ && result == static_cast<int32_t>(read_length_);
  read_after_realignment_ = false;
  if (result < 0) {
    // What the device lost is unknown: nothing carried can be trusted.
    counters_.failed_reads.add(1);
    drop_carried();
    prepare_realignment(true);
    return ReadVerdict::failed;
  }
  if (result <= static_cast<int32_t>(kFrameSize)) counters_.short_reads.add(1);
  if (result == 0) return ReadVerdict::empty;

  const std::size_t held = carried();
  take_new_bytes(static_cast<std::size_t>(result), stamp);
  // The first frame that begins in the new bytes, or the stream's first two
  // bytes once they are there.
  std::size_t boundary = held == 0 ? begin_ : begin_ + kFrameSize;
  if (check_first_bytes_) {
    boundary = begin_;
    if (carried() < 2) return ReadVerdict::rows;
    check_first_bytes_ = false;
  }
  if (end_ < boundary + 2 || pair_at(boundary)) return ReadVerdict::rows;
  // When the read that missed was a whole block read right after a
  // realignment, its tail places the next frame exactly; a purge would only
  // throw that away, and against a chip that always holds the same amount the
  // misalignment could repeat for ever.
  prepare_realignment(!whole_read_after_realignment);
  return ReadVerdict::realign;
}

void StreamFramer::prepare_realignment(bool purge) {
  count_realignment();
  purge_before_realignment_ = purge;
  // The pair nearest the end of the data wins; reading up to the start of the
  // second frame after it puts the stream on a frame boundary again.
  realignment_length_ = 0;
  for (std::size_t k = 0; k < kRealignmentWindow && k + 2 <= carried(); ++k) {
    if (pair_at(end_ - 2 - k)) {
      realignment_length_ = kRealignmentWindow - k;
      break;
    }
  }
  drop_carried();
  check_first_bytes_ = true;
  read_after_realignment_ = true;
}

void StreamFramer::take_realignment_read(int32_t result) {
  if (result < 0) {
    counters_.failed_reads.add(1);
    return;
  }
  counters_.bytes_read.add(bytes_of(result));
  counters_.discarded_bytes.add(bytes_of(result));
}

void StreamFramer::take_stream_bytes(std::size_t count, int64_t stamp) { take_new_bytes(count, stamp); }

std::size_t StreamFramer::copy_rows(uint16_t* rows, std::size_t room) {
  return checking_ == Checking::first_frame_of_read ? copy_checked_first(rows, room) : copy_checked_every(rows, room);
}

std::size_t StreamFramer::copy_checked_first(uint16_t* rows, std::size_t room) {
  // As many whole frames as both the data and the rows have room for. The
  // bounds are computed once: the copies' stores could otherwise alias them
  // and force a reload per frame.
  const std::size_t frames = std::min(room, carried() / kFrameSize);
  const uint8_t* const first = buffer_.data() + begin_;
  const uint8_t* source = first + 2;
  uint16_t* target = rows;
  // Every frame's sync pair is checked, at the cost of one load and two bit
  // operations; only a copy that met a wrong one counts them.
  uint16_t sync_differences = 0;
  for (std::size_t n = 0; n < frames; ++n, source += kFrameSize, target += kColumns) {
    if constexpr (kStreamCounting) sync_differences |= word_at(source - 2) ^ kSyncWord;
    std::memcpy(target, source, kPayloadBytes);
  }
  if (sync_differences != 0) counters_.torn_frames.add(torn_among(first, frames));
  begin_ += frames * kFrameSize;
  counters_.frames.add(frames);
  if (frames > 0) {
    run_has_rows_ = true;
    // A carried partial frame is completed by the newest read.
    last_row_stamp_ = stamp_;
  }
  return frames;
}

std::size_t StreamFramer::copy_checked_every(uint16_t* rows, std::size_t room) {
  std::size_t copied = 0;
  while (copied < room) {
    if (searching_ && !find_three_pairs()) break;
    // The frames at begin_ whose next frame's pair is there too (begin_'s own
    // pair is true) are given out. Only they are copied, so that rows past
    // the last one given keep what they held.
    const std::size_t room_left = room - copied;
    const std::size_t frames = std::min(room_left, carried() >= 2 ? (carried() - 2) / kFrameSize : 0);
    if (frames == 0) break;
    const uint8_t* const first = buffer_.data() + begin_;
    std::size_t confirmed = 0;
    while (confirmed < frames && word_at(first + (confirmed + 1) * kFrameSize) == kSyncWord) ++confirmed;
    uint16_t* const target = rows + copied * kColumns;
    for (std::size_t n = 0; n < confirmed; ++n) {
      std::memcpy(target + n * kColumns, first + n * kFrameSize + 2, kPayloadBytes);
    }
    if (confirmed > 0) {
      begin_ += confirmed * kFrameSize;
      copied += confirmed;
      run_has_rows_ = true;
      last_row_stamp_ = begin_ - 1 < newest_from_ ? carried_stamp_ : stamp_;
    }
    if (confirmed < frames) {
      // The frame at begin_ began with a true pair, but the next one lacks
      // it: the break lies in this frame or just after it. Both go, and the
      // search starts in this frame, where the stream may resume.
      count_realignment();
      search_counted_ = true;
      searching_ = true;
    } else if (frames < room_left) {
      break;  // the data is used up, not the room
    }
  }
  counters_.frames.add(copied);
  return copied;
}

// Moves begin_ to the first position where the pair begins three frames in a
// row, discarding what lies before it; without one, keeps only the bytes in
// which one may yet begin.
bool StreamFramer::find_three_pairs() {
  std::size_t position = begin_;
  for (; position + kThreePairs <= end_; ++position) {
    if (pair_at(position) && pair_at(position + kFrameSize) && pair_at(position + 2 * kFrameSize)) break;
  }
  const bool found = position + kThreePairs <= end_;
  const std::size_t skipped = position - begin_;
  // A run that had to skip bytes to find its first frame needed an alignment.
  if (skipped > 0 && !search_counted_) {
    count_realignment();
    search_counted_ = true;
  }
  discard(skipped);
  if (found) {
    searching_ = false;
    search_counted_ = false;
  }
  return found;
}

std::size_t StreamFramer::finish(uint16_t* rows, std::size_t room) {
  std::size_t copied = 0;
  if (checking_ == Checking::every_frame && !searching_ && room > 0 && carried() >= kFrameSize) {
    std::memcpy(rows, buffer_.data() + begin_ + 2, kPayloadBytes);
    last_row_stamp_ = begin_ + kFrameSize - 1 < newest_from_ ? carried_stamp_ : stamp_;
    begin_ += kFrameSize;
    copied = 1;
    counters_.frames.add(1);
    run_has_rows_ = true;
  }
  drop_carried();
  return copied;
}
