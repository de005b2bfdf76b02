/* An in-memory stand-in for the libftdi1 calls of the PCB_RIX module, loaded
 * with LD_PRELOAD so that the module and the Python peer read the same
 * emulated board without USB.
 *
 * It presents one FT232H ("NVK" / "PCB_RIX" / BENCH0001) whose byte stream is
 * the board stream of emulator/board_stream.h, replayed from a precomputed
 * ring of kRingFrames frames: frame i carries index i mod kRingFrames. The
 * ring (12 MiB) is larger than the caches, so reads come from memory as a
 * device's DMA would, and its period (315 ms at 40 MB/s) is longer than any
 * gap the benchmark makes, so a reader can still measure gaps by index.
 *
 * Two ways of producing that stream:
 * - unpaced: every read is filled at once, as fast as memcpy allows;
 * - paced: the board produces `rate` bytes per second into a device buffer of
 *   `capacity` bytes. Bytes produced while the buffer is full are lost (the
 *   stream then has a gap, as on a real board whose FIFO overflowed). A read
 *   takes what is buffered and, like libftdi's ftdi_read_data, keeps waiting
 *   while data keeps arriving until it has the requested length; it returns
 *   short only after the latency timer (16 ms) passes without new data. An
 *   outstanding read accepts data as it arrives (the host controller moves it
 *   straight into the transfer), so only data beyond the rest of the request
 *   and the device buffer can be lost during a read.
 *
 * The bench_ftdi_* functions configure the board and report counters; they
 * are reached from Python with ctypes on this library's path. */
#define _GNU_SOURCE
#include <ftdi.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "board_stream.h"

enum { kRingFrames = 1 << 20, kRingBytes = kRingFrames * BOARD_FRAME_SIZE, kMaxSegments = 4096 };

static const int64_t kLatencyTimerNs = 16000000;
static const int64_t kMicroframeNs = 125000;
static const int64_t kMaxWaitStepNs = 1000000;

static const char kManufacturer[] = "NVK";
static const char kDescription[] = "PCB_RIX";
static const char kSerial[] = "BENCH0001";

/* Any non-null address serves as the one USB device and its open handle. */
static char the_device;

struct bench_ftdi_counters {
  uint64_t bytes_delivered;     /* bytes returned by ftdi_read_data */
  uint64_t bytes_lost;          /* produced while the device buffer was full */
  uint64_t bytes_purged;        /* buffered bytes discarded by ftdi_tcioflush */
  uint64_t reads;               /* ftdi_read_data calls */
  uint64_t purges;              /* ftdi_tcioflush calls */
  uint64_t standin_cpu_ns;      /* CPU spent inside the paced stand-in's calls */
};

/* A run of consecutive stream bytes held in the device buffer. */
struct segment {
  uint64_t position;
  uint64_t length;
};

static struct {
  pthread_mutex_t mutex;
  uint8_t* ring;
  int paced;
  double rate;
  uint64_t capacity;
  int64_t start_ns;
  uint64_t produced;       /* stream bytes produced since start, lost ones included */
  uint64_t unpaced_position;
  struct segment segments[kMaxSegments];
  size_t first_segment;
  size_t segment_count;
  uint64_t buffered;
  struct bench_ftdi_counters counters;
} board = {.mutex = PTHREAD_MUTEX_INITIALIZER};

static int64_t clock_ns(clockid_t clock) {
  struct timespec now;
  clock_gettime(clock, &now);
  return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

static void sleep_ns(int64_t duration) {
  struct timespec step = {.tv_sec = duration / 1000000000, .tv_nsec = duration % 1000000000};
  nanosleep(&step, NULL);
}

static uint8_t* stream_ring(void) {
  if (board.ring == NULL) {
    board.ring = malloc(kRingBytes);
    if (board.ring == NULL) abort();
    for (uint64_t i = 0; i < kRingFrames; ++i) board_stream_frame(i, board.ring + i * BOARD_FRAME_SIZE);
  }
  return board.ring;
}

static void copy_stream(uint64_t position, uint8_t* out, uint64_t length) {
  const uint8_t* ring = stream_ring();
  while (length > 0) {
    const uint64_t offset = position % kRingBytes;
    const uint64_t chunk = length < kRingBytes - offset ? length : kRingBytes - offset;
    memcpy(out, ring + offset, chunk);
    out += chunk;
    position += chunk;
    length -= chunk;
  }
}

/* Moves what the board produced up to `now` into the device buffer, which
 * may hold `extra_room` more bytes than its capacity (an outstanding read). */
static void produce_until(int64_t now, uint64_t extra_room) {
  const uint64_t target = (uint64_t)((double)(now - board.start_ns) * 1e-9 * board.rate);
  if (target <= board.produced) return;
  const uint64_t fresh = target - board.produced;
  const uint64_t room = board.capacity + extra_room - board.buffered;
  uint64_t kept = fresh < room ? fresh : room;
  if (kept > 0) {
    struct segment* last =
        board.segment_count ? &board.segments[(board.first_segment + board.segment_count - 1) % kMaxSegments] : NULL;
    if (last != NULL && last->position + last->length == board.produced) {
      last->length += kept;
    } else if (board.segment_count < kMaxSegments) {
      board.segments[(board.first_segment + board.segment_count) % kMaxSegments] =
          (struct segment){board.produced, kept};
      ++board.segment_count;
    } else {
      /* No room to note another gap: the buffer counts as full. */
      kept = 0;
    }
  }
  board.buffered += kept;
  board.counters.bytes_lost += fresh - kept;
  board.produced = target;
}

static uint64_t take_buffered(uint8_t* out, uint64_t wanted) {
  uint64_t taken = 0;
  while (taken < wanted && board.segment_count > 0) {
    struct segment* first = &board.segments[board.first_segment];
    const uint64_t chunk = first->length < wanted - taken ? first->length : wanted - taken;
    copy_stream(first->position, out + taken, chunk);
    first->position += chunk;
    first->length -= chunk;
    taken += chunk;
    if (first->length == 0) {
      board.first_segment = (board.first_segment + 1) % kMaxSegments;
      --board.segment_count;
    }
  }
  board.buffered -= taken;
  return taken;
}

static void reset_stream(int paced, double rate, uint64_t capacity) {
  pthread_mutex_lock(&board.mutex);
  stream_ring();
  board.paced = paced;
  board.rate = rate;
  board.capacity = capacity;
  board.start_ns = clock_ns(CLOCK_MONOTONIC);
  board.produced = 0;
  board.unpaced_position = 0;
  board.first_segment = 0;
  board.segment_count = 0;
  board.buffered = 0;
  memset(&board.counters, 0, sizeof board.counters);
  pthread_mutex_unlock(&board.mutex);
}

static int read_paced(unsigned char* buf, int size) {
  const int64_t cpu_start = clock_ns(CLOCK_THREAD_CPUTIME_ID);
  uint64_t got = 0;
  int64_t last_arrival = clock_ns(CLOCK_MONOTONIC);
  for (;;) {
    const int64_t now = clock_ns(CLOCK_MONOTONIC);
    pthread_mutex_lock(&board.mutex);
    produce_until(now, (uint64_t)size - got);
    const uint64_t taken = take_buffered(buf + got, (uint64_t)size - got);
    const double rate = board.rate;
    const double capacity = (double)board.capacity;
    pthread_mutex_unlock(&board.mutex);

    got += taken;
    if (got == (uint64_t)size) break;
    if (taken > 0) {
      last_arrival = now;
    } else if (now - last_arrival >= kLatencyTimerNs) {
      break;
    }
    /* Sleep until the rest should have arrived, in steps no shorter than a
     * microframe and short enough that half the device buffer cannot fill. */
    int64_t step = (int64_t)((double)((uint64_t)size - got) / rate * 1e9);
    const int64_t half_buffer = (int64_t)(capacity / 2 / rate * 1e9);
    if (step > kMaxWaitStepNs) step = kMaxWaitStepNs;
    if (step > half_buffer) step = half_buffer;
    if (step < kMicroframeNs) step = kMicroframeNs;
    sleep_ns(step);
  }
  pthread_mutex_lock(&board.mutex);
  board.counters.bytes_delivered += got;
  ++board.counters.reads;
  board.counters.standin_cpu_ns += (uint64_t)(clock_ns(CLOCK_THREAD_CPUTIME_ID) - cpu_start);
  pthread_mutex_unlock(&board.mutex);
  return (int)got;
}

/* ---- control API ---- */

/* Reads return the requested length at once. Resets stream and counters. */
void bench_ftdi_configure_unpaced(void) { reset_stream(0, 0.0, 0); }

/* The board produces `bytes_per_second` into a device buffer of
 * `buffer_bytes`, starting now with an empty buffer at frame 0. Resets the
 * counters. */
void bench_ftdi_configure_paced(double bytes_per_second, uint64_t buffer_bytes) {
  reset_stream(1, bytes_per_second, buffer_bytes);
}

/* Drops the next `bytes` of the stream, counted as lost, as a device buffer
 * overflow would: the reader finds a gap at an arbitrary byte position. */
void bench_ftdi_drop(uint64_t bytes) {
  pthread_mutex_lock(&board.mutex);
  if (board.paced) {
    produce_until(clock_ns(CLOCK_MONOTONIC), 0);
    board.start_ns -= (int64_t)((double)bytes / board.rate * 1e9);
    board.produced += bytes;
  } else {
    board.unpaced_position += bytes;
  }
  board.counters.bytes_lost += bytes;
  pthread_mutex_unlock(&board.mutex);
}

void bench_ftdi_get_counters(struct bench_ftdi_counters* out) {
  pthread_mutex_lock(&board.mutex);
  *out = board.counters;
  pthread_mutex_unlock(&board.mutex);
}

/* ---- libftdi ---- */

struct ftdi_context* ftdi_new(void) { return calloc(1, sizeof(struct ftdi_context)); }

void ftdi_free(struct ftdi_context* ftdi) { free(ftdi); }

int ftdi_usb_find_all(struct ftdi_context* ftdi, struct ftdi_device_list** devlist, int vendor, int product) {
  (void)ftdi;
  (void)vendor;
  (void)product;
  *devlist = calloc(1, sizeof(struct ftdi_device_list));
  if (*devlist == NULL) return -3;
  (*devlist)->dev = (struct libusb_device*)&the_device;
  return 1;
}

void ftdi_list_free(struct ftdi_device_list** devlist) {
  while (*devlist != NULL) {
    struct ftdi_device_list* next = (*devlist)->next;
    free(*devlist);
    *devlist = next;
  }
}

static void copy_string(char* out, int capacity, const char* value) {
  if (out == NULL || capacity <= 0) return;
  strncpy(out, value, (size_t)capacity - 1);
  out[capacity - 1] = '\0';
}

int ftdi_usb_get_strings(struct ftdi_context* ftdi, struct libusb_device* dev, char* manufacturer, int mnf_len,
                         char* description, int desc_len, char* serial, int serial_len) {
  (void)ftdi;
  if (dev != (struct libusb_device*)&the_device) return -1;
  copy_string(manufacturer, mnf_len, kManufacturer);
  copy_string(description, desc_len, kDescription);
  copy_string(serial, serial_len, kSerial);
  return 0;
}

int ftdi_usb_open_dev(struct ftdi_context* ftdi, struct libusb_device* dev) {
  if (ftdi == NULL) return -8;
  if (dev != (struct libusb_device*)&the_device) return -4;
  ftdi->usb_dev = (struct libusb_device_handle*)&the_device;
  return 0;
}

int ftdi_set_interface(struct ftdi_context* ftdi, enum ftdi_interface interface) {
  (void)interface;
  return ftdi == NULL ? -2 : 0;
}

int ftdi_set_bitmode(struct ftdi_context* ftdi, unsigned char bitmask, unsigned char mode) {
  (void)bitmask;
  (void)mode;
  return ftdi == NULL || ftdi->usb_dev == NULL ? -2 : 0;
}

int ftdi_usb_close(struct ftdi_context* ftdi) {
  if (ftdi != NULL) ftdi->usb_dev = NULL;
  return 0;
}

int ftdi_tcioflush(struct ftdi_context* ftdi) {
  if (ftdi == NULL || ftdi->usb_dev == NULL) return -3;
  pthread_mutex_lock(&board.mutex);
  if (board.paced) {
    produce_until(clock_ns(CLOCK_MONOTONIC), 0);
    board.counters.bytes_purged += board.buffered;
    board.first_segment = 0;
    board.segment_count = 0;
    board.buffered = 0;
  }
  ++board.counters.purges;
  pthread_mutex_unlock(&board.mutex);
  return 0;
}

int ftdi_read_data(struct ftdi_context* ftdi, unsigned char* buf, int size) {
  if (ftdi == NULL || ftdi->usb_dev == NULL) return -666;
  if (size <= 0) return 0;
  pthread_mutex_lock(&board.mutex);
  if (board.paced) {
    pthread_mutex_unlock(&board.mutex);
    return read_paced(buf, size);
  }
  const uint64_t position = board.unpaced_position;
  board.unpaced_position += (uint64_t)size;
  board.counters.bytes_delivered += (uint64_t)size;
  ++board.counters.reads;
  pthread_mutex_unlock(&board.mutex);
  copy_stream(position, buf, (uint64_t)size);
  return size;
}
