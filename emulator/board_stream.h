/* The byte stream of an emulated board: an endless, gapless sequence of
 * 12-byte frames (0xF0 0x0F + five little-endian uint16) in which every frame
 * names its own index, so a test can tell a true frame from a torn or shifted
 * one and can check order and repeats.
 *
 * Frame i carries the index in values 0..3: byte j (0..7, little-endian over
 * the four values) is bits 7j..7j+6 of i, so every one of those bytes is below
 * 0x80. Value 4 cycles through 0x7FFF, 0x8000, 0xFFFF, 0x0001 by i % 4, which
 * exercises the int16 edges. No value byte is ever 0xF0, so the pair
 * 0xF0 0x0F occurs only at frame starts. Indexes use 56 bits.
 *
 * Header-only and plain C so that the emulator, the scripted stand-ins, the
 * benchmarks and the tests all share one definition. */
#ifndef PYNVK_EMULATOR_BOARD_STREAM_H
#define PYNVK_EMULATOR_BOARD_STREAM_H

#include <stddef.h>
#include <stdint.h>

#define BOARD_FRAME_SIZE 12

static const uint16_t board_stream_tail_values[4] = {0x7FFF, 0x8000, 0xFFFF, 0x0001};

static inline void board_stream_values(uint64_t index, uint16_t values[5]) {
  uint8_t bytes[8];
  for (int j = 0; j < 8; ++j) bytes[j] = (uint8_t)((index >> (7 * j)) & 0x7F);
  for (int k = 0; k < 4; ++k) values[k] = (uint16_t)(bytes[2 * k] | (bytes[2 * k + 1] << 8));
  values[4] = board_stream_tail_values[index % 4];
}

/* Writes frame `index` into out[0..11]. */
static inline void board_stream_frame(uint64_t index, uint8_t out[BOARD_FRAME_SIZE]) {
  uint16_t values[5];
  board_stream_values(index, values);
  out[0] = 0xF0;
  out[1] = 0x0F;
  for (int k = 0; k < 5; ++k) {
    out[2 + 2 * k] = (uint8_t)(values[k] & 0xFF);
    out[3 + 2 * k] = (uint8_t)(values[k] >> 8);
  }
}

/* Writes `length` stream bytes starting at absolute stream byte `position`
 * (position 0 is the sync byte of frame 0), so a stream may begin anywhere
 * inside a frame. */
static inline void board_stream_bytes(uint64_t position, uint8_t* out, size_t length) {
  uint8_t frame[BOARD_FRAME_SIZE];
  uint64_t index = position / BOARD_FRAME_SIZE;
  size_t within = (size_t)(position % BOARD_FRAME_SIZE);
  board_stream_frame(index, frame);
  for (size_t n = 0; n < length; ++n) {
    out[n] = frame[within];
    if (++within == BOARD_FRAME_SIZE) {
      within = 0;
      board_stream_frame(++index, frame);
    }
  }
}

/* The index of the frame whose five values these are, or -1 when they are
 * not the values of any frame of the stream. */
static inline int64_t board_stream_index_of(const uint16_t values[5]) {
  uint64_t index = 0;
  for (int j = 0; j < 8; ++j) {
    uint8_t byte = (uint8_t)((values[j / 2] >> (8 * (j % 2))) & 0xFF);
    if (byte & 0x80) return -1;
    index |= (uint64_t)byte << (7 * j);
  }
  if (values[4] != board_stream_tail_values[index % 4]) return -1;
  return (int64_t)index;
}

#endif
