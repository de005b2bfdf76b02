// libFuzzer target: the fuzz input scripts the device a board's reader thread
// talks to (read lengths and bytes, failures, lost bytes) and when the board
// is started, stopped, flushed and relieved of blocks. Whatever the input, no
// memory error may occur, the reader must use up every script, every run's
// counters must account for each byte read and each row written, and all 64
// blocks of the pool must be accounted for at the end.
//
// Input: byte 0 picks the rows per block (2, 3, 4 or 8); then operations, an
// opcode byte each, with their argument bytes:
//   0 n:u16  a read of at most n stream bytes
//   1        a read of as many stream bytes as asked for
//   2 n b*n  a read of the next n input bytes, taken as they are
//   3 c      a failed read returning -(c + 1)
//   4        a read with no data
//   5 n      the next stream read begins n bytes further on
//   6 m      run: start, let the reader use up the script, stop; while it
//            runs, ready blocks are drained, and flush() is called if m is odd
//   7 m      take the oldest ready block and keep it (m even), or give back
//            the oldest kept one (m odd)
// The script left at the end of the input is run as well.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <set>
#include <vector>

#include "board_inspector.hpp"
#include "scripted_ftdi.hpp"

namespace {

constexpr const char* kSerial = "FUZZ";
constexpr std::size_t kMostKept = 8;
// A reader that has not used up a script of one input in this time hangs.
constexpr auto kHangLimit = std::chrono::seconds(10);

class Input {
 public:
  Input(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ == size_; }
  uint8_t byte() { return empty() ? 0 : data_[at_++]; }
  std::vector<uint8_t> bytes(std::size_t n) {
    n = std::min(n, size_ - at_);
    std::vector<uint8_t> taken(data_ + at_, data_ + at_ + n);
    at_ += n;
    return taken;
  }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// The board's stream as the scripted reads hand it out; used by the reader
// thread only, one read at a time.
struct StreamCursor {
  uint64_t position = 0;
};

void fail(const char* what) {
  std::fprintf(stderr, "acquisition fuzzer: %s\n", what);
  std::abort();
}

void check_counters(const StreamStats& before, const StreamStats& after, std::size_t rows) {
  if (after.bytes_read != BOARD_FRAME_SIZE * after.frames + after.discarded_bytes) fail("a byte read is unaccounted for");
  // One run cuts at most one block short, and counts its fresh rows.
  const uint64_t cut = after.partial_blocks - before.partial_blocks;
  if (cut > 1) fail("one run cut more than one block");
  if (after.frames - before.frames != rows * (after.blocks - before.blocks) + cut * after.last_cut_rows) {
    fail("the rows written are not the rows of the blocks handed on");
  }
}

void run(py_PCB_RIX& board, BoardInspector& inspector, uint8_t mode, std::size_t rows) {
  const StreamStats before = board.stats();
  const auto give_up = std::chrono::steady_clock::now() + kHangLimit;
  board.start();
  while (!scripted_ftdi::wait_exhausted(std::chrono::microseconds(100))) {
    if (std::chrono::steady_clock::now() > give_up) fail("the reader never used up its script");
    while (inspector.pop_ready(std::chrono::milliseconds(0)).block) {
    }  // each block goes back to the free queue at once
    if (mode % 2 == 1) board.flush();
  }
  board.stop();
  check_counters(before, board.stats(), rows);
}

void check_pool(BoardInspector& inspector, const std::deque<PooledBlock>& kept, std::size_t rows) {
  std::vector<const uint16_t*> storage = inspector.queued_storage();
  for (const PooledBlock& handle : kept) storage.push_back(handle.block->data.data());
  if (storage.size() != kBlockPoolSize) fail("a block was lost or made");
  if (std::set<const uint16_t*>(storage.begin(), storage.end()).size() != kBlockPoolSize) fail("blocks share storage");
  for (const PooledBlock& handle : kept) {
    if (handle.block->rows != rows || handle.block->cols != 5 || handle.block->data.size() != rows * 5) {
      fail("a block changed its shape");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  Input input(data, size);
  constexpr std::size_t kRowChoices[] = {2, 3, 4, 8};
  const std::size_t rows = kRowChoices[input.byte() % 4];

  scripted_ftdi::reset({.serial = kSerial, .idle_wait = std::chrono::microseconds(100)});
  StreamCursor stream;
  py_PCB_RIX board(kSerial, rows);
  BoardInspector inspector(board);
  std::deque<PooledBlock> kept;
  uint64_t skip = 0;

  const auto stream_read = [&stream, &skip](int32_t most) {
    scripted_ftdi::queue_read([&stream, skip, most](uint8_t* buffer, int32_t length) {
      stream.position += skip;
      const int32_t n = std::min(most, length);
      board_stream_bytes(stream.position, buffer, static_cast<std::size_t>(n));
      stream.position += static_cast<uint64_t>(n);
      return n;
    });
    skip = 0;
  };

  while (!input.empty()) {
    switch (input.byte() % 8) {
      case 0: {
        const int32_t low = input.byte();
        stream_read(low | (input.byte() << 8));
        break;
      }
      case 1:
        stream_read(INT32_MAX);
        break;
      case 2:
        scripted_ftdi::queue_read([bytes = input.bytes(input.byte())](uint8_t* buffer, int32_t length) {
          const std::size_t n = std::min(bytes.size(), static_cast<std::size_t>(length));
          std::copy_n(bytes.begin(), n, buffer);
          return static_cast<int32_t>(n);
        });
        break;
      case 3:
        scripted_ftdi::queue_read(scripted_ftdi::result_read(-1 - input.byte()));
        break;
      case 4:
        scripted_ftdi::queue_read(scripted_ftdi::result_read(0));
        break;
      case 5:
        skip += input.byte();
        break;
      case 6:
        run(board, inspector, input.byte(), rows);
        break;
      case 7:
        if (input.byte() % 2 == 0) {
          if (kept.size() < kMostKept) {
            PooledBlock handle = inspector.pop_ready(std::chrono::milliseconds(0));
            if (handle.block) kept.push_back(std::move(handle));
          }
        } else if (!kept.empty()) {
          kept.pop_front();
        }
        break;
    }
  }
  if (scripted_ftdi::steps_left() > 0) run(board, inspector, 0, rows);

  check_pool(inspector, kept, rows);
  if (!scripted_ftdi::take_faults().empty()) fail("the device was used by two threads at once");
  return 0;
}
