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
 * Beside these counter frames a board can send a waveform (see
 * board_stream_waveform_values): values as a real 12-bit ADC gives them, for
 * figures that depend on the data, such as compression. Those frames carry no
 * index.
 *
 * Header-only and plain C so that the emulator, the scripted stand-ins, the
 * benchmarks and the tests all share one definition. */
#ifndef PYNVK_EMULATOR_BOARD_STREAM_H
#define PYNVK_EMULATOR_BOARD_STREAM_H

#include <math.h>
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

/* What a board's frames carry. */
enum board_stream_kind {
  BOARD_STREAM_COUNTER = 0,  /* each frame its own index (board_stream_values) */
  BOARD_STREAM_WAVEFORM = 1  /* sines plus noise (board_stream_waveform_values) */
};

/* Noise of a few LSB for channel value `n` of the waveform: the sum of two
 * uniform draws from a hash of n, so it is the same on every run. */
static inline int board_stream_noise(uint64_t n) {
  n ^= n >> 33;
  n *= 0xFF51AFD7ED558CCDULL;
  n ^= n >> 33;
  n *= 0xC4CEB9FE1A85EC53ULL;
  n ^= n >> 33;
  return (int)(n & 7) + (int)((n >> 8) & 7) - 7;
}

/* Waveform frame `index`: channel k is a sine of period 997 * (k + 1) + 31 * k
 * frames and amplitude 1800 - 300 * k, plus noise, as a signed value of 12
 * significant bits (-2048..2047) sent in two's complement. Such values never
 * form the sync pair: 0x0FF0 lies outside their range. */
static inline void board_stream_waveform_values(uint64_t index, uint16_t values[5]) {
  for (int k = 0; k < 5; ++k) {
    const uint64_t period = 997 * (uint64_t)(k + 1) + 31 * (uint64_t)k;
    const double phase = 6.283185307179586 * (double)(index % period) / (double)period;
    long value = lround((1800 - 300 * k) * sin(phase)) + board_stream_noise(index * 5 + (uint64_t)k);
    if (value > 2047) value = 2047;
    if (value < -2048) value = -2048;
    values[k] = (uint16_t)(int16_t)value;
  }
}

/* Writes frame `index` of a board of `kind` into out[0..11]. */
static inline void board_stream_frame_of(int kind, uint64_t index, uint8_t out[BOARD_FRAME_SIZE]) {
  uint16_t values[5];
  if (kind == BOARD_STREAM_WAVEFORM) {
    board_stream_waveform_values(index, values);
  } else {
    board_stream_values(index, values);
  }
  out[0] = 0xF0;
  out[1] = 0x0F;
  for (int k = 0; k < 5; ++k) {
    out[2 + 2 * k] = (uint8_t)(values[k] & 0xFF);
    out[3 + 2 * k] = (uint8_t)(values[k] >> 8);
  }
}

/* Writes frame `index` of the counter stream into out[0..11]. */
static inline void board_stream_frame(uint64_t index, uint8_t out[BOARD_FRAME_SIZE]) {
  board_stream_frame_of(BOARD_STREAM_COUNTER, index, out);
}

/* Writes `length` stream bytes of a board of `kind` starting at absolute
 * stream byte `position` (position 0 is the sync byte of frame 0), so a
 * stream may begin anywhere inside a frame. */
static inline void board_stream_bytes_of(int kind, uint64_t position, uint8_t* out, size_t length) {
  uint8_t frame[BOARD_FRAME_SIZE];
  uint64_t index = position / BOARD_FRAME_SIZE;
  size_t within = (size_t)(position % BOARD_FRAME_SIZE);
  board_stream_frame_of(kind, index, frame);
  for (size_t n = 0; n < length; ++n) {
    out[n] = frame[within];
    if (++within == BOARD_FRAME_SIZE) {
      within = 0;
      board_stream_frame_of(kind, ++index, frame);
    }
  }
}

/* `length` bytes of the counter stream from `position`. */
static inline void board_stream_bytes(uint64_t position, uint8_t* out, size_t length) {
  board_stream_bytes_of(BOARD_STREAM_COUNTER, position, out, length);
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
