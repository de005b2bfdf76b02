// libFuzzer target: the fuzz input cuts the board stream into block reads or
// transfers and breaks it, and the framer is fed them directly. Whatever the
// input, the frames that reached the framer whole come out in order without
// repeats, rows that hold no frame are counted as torn (never delivered when
// every frame is checked, but across a fault no framing can see), every byte
// is accounted for, and a stream without faults loses no whole frame.
//
// Input: byte 0 picks the checking (bit 0), rows per block (bits 1-2: 2, 3,
// 4 or 100) and transfer size (bits 3-4: 510, 2040, 8160 or 65280 bytes);
// then operations, an opcode byte each, with their argument bytes:
//   0 n  a read or transfer of n stream bytes (at most what fits)
//   1    one of as many as fit
//   2    one with no data
//   3 k  the stream jumps k + 1 bytes ahead
//   4 g  g + 1 garbage bytes come next
//   5    a failed block read (with every frame checked: nothing)
#include <cstdio>
#include <cstdlib>

#include "framer_drive.hpp"

namespace {

class Input {
 public:
  Input(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ == size_; }
  uint8_t byte() { return empty() ? 0 : data_[at_++]; }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  constexpr std::size_t kRowChoices[] = {2, 3, 4, 100};
  constexpr std::size_t kTransferChoices[] = {510, 2040, 8160, 65280};
  Input input(data, size);
  const uint8_t setup = input.byte();
  const bool every_frame = setup & 1;
  const std::size_t rows = kRowChoices[(setup >> 1) & 3];
  const std::size_t most = every_frame ? kTransferChoices[(setup >> 3) & 3] : rows * BOARD_FRAME_SIZE;
  FramerDrive drive(every_frame ? StreamFramer::Checking::every_frame : StreamFramer::Checking::first_frame_of_read,
                    rows, most);
  FaultyStream stream;
  const auto feed = [&](std::size_t count) {
    if (every_frame) {
      drive.transfer(stream, count);
    } else {
      drive.block_read(stream, count);
    }
  };
  while (!input.empty()) {
    switch (input.byte() % 6) {
      case 0:
        feed(std::min<std::size_t>(input.byte(), most));
        break;
      case 1:
        feed(most);
        break;
      case 2:
        feed(0);
        break;
      case 3:
        stream.jump(1 + input.byte());
        break;
      case 4:
        stream.garbage(1 + input.byte());
        break;
      case 5:
        if (!every_frame) {
          stream.jump(0);
          drive.failed_read(stream);
        }
        break;
    }
  }
  drive.finish();
  const std::string problems = drive.problems(stream, every_frame);
  if (!problems.empty()) {
    std::fprintf(stderr, "framer fuzzer: %s\n", problems.c_str());
    std::abort();
  }
  return 0;
}
