// StreamFramer: cuts the board's byte stream into rows of five values. Bytes
// go in, rows and counter changes come out; it has no thread, device, queue
// or clock, so tests drive it directly. The reader thread feeds it with what
// its device reads or USB transfers return and copies the rows it gives into
// blocks.
//
// Every byte of a whole frame that arrives is kept: a frame cut by the end of
// a read or transfer is completed by the next one (the partial frame is
// carried at the start of the buffer and the next bytes are appended to it),
// and reads with no data or less than a frame only add what they bring.
//
// It judges the stream in one of two ways, fixed when it is made:
// - Checking::first_frame_of_read, for block reads made one at a time: each
//   read is checked where its first frame boundary lies (the first frame that
//   begins in its bytes; at a run's start, the stream's first two bytes once
//   they are there). A missing sync pair there throws away what was carried
//   and the read, and asks the reader to realign the device: a purge (unless
//   the read that missed was a whole block read right after a realignment,
//   whose tail places the stream exactly), the backward search for the pair
//   near the end of the data, a read up to the second frame after it. Later
//   frames of a read are copied without a check of their own and counted as
//   torn when they lack the pair.
// - Checking::every_frame, for a stream of queued transfers that must never
//   be purged: a frame becomes a row only once its own sync pair and the next
//   frame's are there, so the last frame is held until the next pair arrives.
//   Where a pair is missing, that frame and the one before it are dropped and
//   the stream is searched for the next place where the pair begins three
//   frames in a row (one value 0x0FF0 can look like a pair, three in step
//   cannot). No torn row is ever given out.
//
// Counters (see stream_counters.hpp): bytes_read, frames, torn_frames,
// discarded_bytes, alignments and realignments are written here, and for
// block reads failed_reads and short_reads, once per read, transfer or copy;
// whatever came, bytes_read == 12 * frames + discarded_bytes once finish()
// has run.
//
// Contract: one thread uses a framer at a time. Stamps are opaque numbers the
// caller attaches to the bytes it feeds (the reader: when they arrived); each
// row's stamp is that of the bytes that completed it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "board/stream_counters.hpp"

class StreamFramer {
 public:
  static constexpr std::size_t kFrameSize = 12;
  static constexpr std::size_t kColumns = 5;

  enum class Checking { first_frame_of_read, every_frame };

  // What a block read asks of the reader.
  enum class ReadVerdict {
    rows,     // its bytes were taken: copy the rows there are (there may be none yet)
    empty,    // it brought nothing: read again after a short wait
    realign,  // the stream is not where it should be: purge if asked, read the realignment
              // length (if any), then read a block again
    failed,   // the device read failed: back off, then realign as above
  };

  // `input_bytes`: the most bytes one read or transfer brings. Allocates the
  // buffer (std::bad_alloc). Starts as a run starts.
  StreamFramer(Checking checking, std::size_t input_bytes, StreamCounters& counters);

  // A run starts (also after a flush): what was carried is dropped and the
  // stream is judged anew from its first bytes; a realignment before the run's
  // first row counts as an alignment, not as a gap.
  void restart();

  // Where the next read or transfer puts its bytes (after what is carried) and
  // how many fit there.
  uint8_t* input();
  std::size_t input_room() const { return buffer_.size() - end_; }

  // first_frame_of_read: judges a block read of `result` bytes (negative: a
  // failed read) that landed at input().
  ReadVerdict take_block_read(int32_t result, int64_t stamp);
  // After ReadVerdict::realign or ::failed: whether to purge the device first,
  // and how many bytes to read to reach a frame boundary (0: none).
  bool purge_before_realignment() const { return purge_before_realignment_; }
  std::size_t realignment_length() const { return realignment_length_; }
  // The realignment read's result; its bytes are skipped.
  void take_realignment_read(int32_t result);

  // every_frame: `count` stream bytes were written at input().
  void take_stream_bytes(std::size_t count, int64_t stamp);

  // Copies up to `room` rows into `rows` (row-major, kColumns values each) and
  // returns how many. Call until it returns fewer than `room`.
  std::size_t copy_rows(uint16_t* rows, std::size_t room);
  // The stamp of the last row copied.
  int64_t last_row_stamp() const { return last_row_stamp_; }

  // The run ends: every_frame gives the frame it held if its own sync pair
  // is true (into `rows`, if `room`); what is left is discarded. Returns the
  // rows copied.
  std::size_t finish(uint16_t* rows, std::size_t room);

  // Whether the run has given a row, so that a realignment now is a gap.
  bool run_has_rows() const { return run_has_rows_; }

 private:
  bool pair_at(std::size_t position) const;
  std::size_t carried() const { return end_ - begin_; }
  void discard(std::size_t count);
  void drop_carried();
  void count_realignment();
  void take_new_bytes(std::size_t count, int64_t stamp);
  void prepare_realignment(bool purge);
  std::size_t copy_checked_first(uint16_t* rows, std::size_t room);
  std::size_t copy_checked_every(uint16_t* rows, std::size_t room);
  bool find_three_pairs();

  const Checking checking_;
  StreamCounters& counters_;
  std::vector<uint8_t> buffer_;
  // Bytes every block read asks for; a read that brings them all is whole.
  const std::size_t read_length_;
  // Bytes not yet made into rows or discarded: buffer_[begin_, end_).
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  // first_frame_of_read: the stream's first bytes are still to be checked (a
  // run's start, after a flush, a failed read or a realignment).
  bool check_first_bytes_ = true;
  // The block read before this one came right after a realignment.
  bool read_after_realignment_ = false;
  bool purge_before_realignment_ = false;
  std::size_t realignment_length_ = 0;
  // every_frame: the stream is being searched for three pairs in step, and
  // whether that search has been counted as a realignment yet.
  bool searching_ = true;
  bool search_counted_ = false;
  bool run_has_rows_ = false;
  int64_t stamp_ = 0;          // of the newest bytes
  int64_t carried_stamp_ = 0;  // of the bytes carried into the newest input
  std::size_t newest_from_ = 0;  // where the newest input's bytes begin in the buffer
  int64_t last_row_stamp_ = 0;
};
