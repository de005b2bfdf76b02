/* An in-memory stand-in for the libusb-1.0 calls of libftdi1 and of an
 * asynchronous reader, loaded with LD_PRELOAD under the real libftdi1 so that
 * the module and the Python peer read the same emulated board without USB.
 *
 * It presents one FT232H (0403:6014, bcdDevice 0x0900, "NVK" / "PCB_RIX" /
 * "BENCH0001", one interface with bulk endpoints 0x81 IN and 0x02 OUT of 512
 * bytes). Its byte stream is a board stream of emulator/board_stream.h, the
 * counter frames (frame i carries index i mod kRingFrames) or the waveform,
 * replayed from a precomputed ring of kRingFrames frames: 12 MiB, larger than
 * the caches, so transfers are filled from memory as a DMA would, and with a
 * period (315 ms at 40 MB/s) longer than any gap the benchmark makes, so a
 * reader can still measure gaps by index.
 *
 * Two ways of producing that stream:
 * - unpaced: every bulk IN transfer is filled at once, full, on submission;
 * - paced: the board makes `rate` bytes per second (optionally in bursts of
 *   `burst_bytes` separated by `quiet_ns` without data) and cannot pause. The
 *   host controller moves the bytes made into the bulk IN transfers that are
 *   submitted and not yet completed, oldest first, each up to its capacity,
 *   2 status bytes (0x32 0x60) at the start of every 512-byte packet; bytes
 *   made while no transfer has room go into the FIFO (`fifo_capacity`), and
 *   what finds the FIFO full too is lost. A newly submitted transfer first
 *   takes what the FIFO holds. A transfer completes when full; or, through
 *   the chip's latency timer, 16 ms after it last received a byte, or 16 ms
 *   after it became the transfer being filled without receiving any, ending
 *   with a status-only packet. (The timer of a transfer queued behind others
 *   starts when the one before it completes, as the chip serves one request
 *   at a time.) The paced board may start at the first bulk IN submission
 *   rather than when configured, and may be halted: it then makes no more
 *   bytes, so that neither a reader's start nor its stop loses any.
 *
 * The model is computed lazily: whenever a libusb call or event handling
 * runs, what the board made since the last such moment is placed, in stream
 * order and at the times it was made, so the outcome does not depend on when
 * the calls come. Completed transfers wait for event handling, which runs
 * their callbacks in submission order on the handling thread; a synchronous
 * libusb_bulk_transfer is one such transfer, submitted and waited for as
 * libusb does. No call spins: waiting is a timed wait on a condition variable
 * until the earliest moment a transfer could complete.
 *
 * The bench_usb_* functions configure the board and report counters; they
 * are reached from Python with ctypes on this library's path. */
#define _GNU_SOURCE
#include <ftdi.h>
#include <libusb.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "board_stream.h"

enum {
  kRingFrames = 1 << 20,
  kRingBytes = kRingFrames * BOARD_FRAME_SIZE,
  kMaxSegments = 4096,
  kPacketBytes = 512,
  kStatusBytes = 2,
  kStreamKinds = 2,
};

static const int64_t kLatencyTimerNs = 16000000;
static const int64_t kSecondNs = 1000000000;
/* How long event handling waits at most when libusb_handle_events(_completed)
 * is given no timeout, as libusb does. */
static const struct timeval kDefaultEventTimeout = {.tv_sec = 60, .tv_usec = 0};
static const uint8_t kModemStatus[kStatusBytes] = {0x32, 0x60};
static const uint8_t kInEndpoint = 0x81;
static const uint8_t kOutEndpoint = 0x02;
static const uint8_t kConfigurationValue = 1;

enum string_index { kManufacturerIndex = 1, kProductIndex = 2, kSerialIndex = 3 };
static const char* const kStrings[] = {
    [kManufacturerIndex] = "NVK",
    [kProductIndex] = "PCB_RIX",
    [kSerialIndex] = "BENCH0001",
};

static const struct libusb_device_descriptor kDeviceDescriptor = {
    .bLength = LIBUSB_DT_DEVICE_SIZE,
    .bDescriptorType = LIBUSB_DT_DEVICE,
    .bcdUSB = 0x0200,
    .bMaxPacketSize0 = 64,
    .idVendor = 0x0403,
    .idProduct = 0x6014,
    .bcdDevice = 0x0900,
    .iManufacturer = kManufacturerIndex,
    .iProduct = kProductIndex,
    .iSerialNumber = kSerialIndex,
    .bNumConfigurations = 1,
};

struct bench_usb_counters {
  uint64_t bytes_sent;       /* stream bytes the board made, lost and dropped ones included */
  uint64_t bytes_delivered;  /* stream bytes in completed bulk IN transfers */
  uint64_t bytes_lost;       /* made while the FIFO and every transfer were full, or dropped */
  uint64_t bytes_purged;     /* discarded from the FIFO by receive purges */
  uint64_t bytes_buffered;   /* held now in the FIFO and in transfers not yet completed */
  uint64_t transfers;        /* bulk IN transfers completed, cancelled ones included */
  uint64_t purges;           /* receive purges (ftdi_tcioflush) */
  uint64_t standin_cpu_ns;   /* CPU spent in the paced stand-in's calls, callbacks left out */
  uint64_t standin_wait_cpu_ns;  /* the part of it spent going to sleep and waking up */
};

struct libusb_context {
  struct libusb_device* device;
};

struct libusb_device {
  struct libusb_context* ctx;
  int references;
};

struct libusb_device_handle {
  struct libusb_device* device;
};

/* The stand-in's side of a transfer; the public part comes last because of
 * its flexible array of isochronous packet descriptors. */
struct transfer_state {
  struct transfer_state* next;  /* in flight: the next submitted; reaped: the next to call back */
  struct libusb_context* ctx;
  int in_flight;                /* submitted, callback not yet started */
  int completed;                /* completed, callback not yet started */
  enum libusb_transfer_status status;
  int filled;                   /* bytes written into the buffer, status bytes included */
  uint64_t data_bytes;          /* stream bytes among them */
  int64_t timer_from_ns;        /* board time the latency timer of the transfer last started */
  struct libusb_transfer transfer;
};

/* A run of consecutive stream bytes held in the FIFO. */
struct segment {
  uint64_t position;
  uint64_t length;
};

static struct {
  pthread_mutex_t mutex;
  pthread_cond_t changed;  /* transfers submitted, cancelled or called back; the board reconfigured */
  uint8_t* rings[kStreamKinds];
  int kind;
  int paced;
  uint64_t rate;           /* bytes per second while the board makes bytes */
  uint64_t fifo_capacity;
  uint64_t burst_bytes;    /* 0: the board makes bytes without pause */
  int64_t burst_ns;        /* how long a burst lasts */
  int64_t period_ns;       /* a burst and the quiet spell after it */
  int64_t start_ns;        /* CLOCK_MONOTONIC at which board time 0 began */
  int awaiting_request;    /* the paced board makes nothing until a bulk IN transfer is submitted */
  uint64_t halt_at;        /* the paced board makes no more than this many bytes (bench_usb_halt) */
  uint64_t produced;       /* bytes of the board's schedule placed (in a transfer, the FIFO or lost) */
  uint64_t next_position;  /* stream position of the next byte made */
  struct segment segments[kMaxSegments];
  size_t first_segment;
  size_t segment_count;
  uint64_t fifo_bytes;
  struct transfer_state* first_in_flight;  /* in submission order */
  struct transfer_state* last_in_flight;
  struct bench_usb_counters counters;
} board = {.mutex = PTHREAD_MUTEX_INITIALIZER, .halt_at = UINT64_MAX};

__attribute__((constructor)) static void init_condition(void) {
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_init(&board.changed, &attributes);
  pthread_condattr_destroy(&attributes);
}

static int64_t clock_ns(clockid_t clock) {
  struct timespec now;
  clock_gettime(clock, &now);
  return (int64_t)now.tv_sec * kSecondNs + now.tv_nsec;
}

static int64_t min_ns(int64_t a, int64_t b) { return a < b ? a : b; }

static uint64_t min_bytes(uint64_t a, uint64_t b) { return a < b ? a : b; }

/* ---- CPU accounting ---- */

/* The CPU a thread spends in the paced stand-in's calls, counted once at the
 * outermost call; callbacks, which are the caller's code, are left out. */
static __thread struct {
  int depth;
  int counting;
  int64_t since;
} cpu_span;

static void standin_enter(void) {
  if (cpu_span.depth++ > 0) return;
  cpu_span.counting = __atomic_load_n(&board.paced, __ATOMIC_RELAXED);
  if (cpu_span.counting) cpu_span.since = clock_ns(CLOCK_THREAD_CPUTIME_ID);
}

static void standin_leave(void) {
  if (--cpu_span.depth > 0 || !cpu_span.counting) return;
  __atomic_fetch_add(&board.counters.standin_cpu_ns, (uint64_t)(clock_ns(CLOCK_THREAD_CPUTIME_ID) - cpu_span.since),
                     __ATOMIC_RELAXED);
}

/* Stops counting for the callbacks; returns the depth to resume at. */
static int pause_accounting(void) {
  const int depth = cpu_span.depth;
  cpu_span.depth = 1;
  standin_leave();
  return depth;
}

static void resume_accounting(int depth) {
  standin_enter();
  cpu_span.depth = depth;
}

/* Waits on board.changed, the mutex held, until CLOCK_MONOTONIC `wake`. On a
 * virtual machine a sleep costs the sleeping thread tens of microseconds of
 * CPU, as a real libusb's wait for a completion would: counted apart. */
static void wait_until(int64_t wake) {
  const int counting = cpu_span.depth > 0 && cpu_span.counting;
  const int64_t cpu_before = counting ? clock_ns(CLOCK_THREAD_CPUTIME_ID) : 0;
  const struct timespec until = {.tv_sec = wake / kSecondNs, .tv_nsec = wake % kSecondNs};
  pthread_cond_timedwait(&board.changed, &board.mutex, &until);
  if (counting) board.counters.standin_wait_cpu_ns += (uint64_t)(clock_ns(CLOCK_THREAD_CPUTIME_ID) - cpu_before);
}

/* ---- the stream ---- */

static const uint8_t* stream_ring(void) {
  uint8_t** ring = &board.rings[board.kind];
  if (*ring == NULL) {
    *ring = malloc(kRingBytes);
    if (*ring == NULL) abort();
    for (uint64_t i = 0; i < kRingFrames; ++i) board_stream_frame_of(board.kind, i, *ring + i * BOARD_FRAME_SIZE);
  }
  return *ring;
}

static void copy_stream(uint64_t position, uint8_t* out, uint64_t length) {
  const uint8_t* ring = stream_ring();
  while (length > 0) {
    const uint64_t offset = position % kRingBytes;
    const uint64_t chunk = min_bytes(length, kRingBytes - offset);
    memcpy(out, ring + offset, chunk);
    out += chunk;
    position += chunk;
    length -= chunk;
  }
}

/* ---- the board's schedule, in board time (ns since start_ns) ---- */

/* Bytes the board has made by board time t. */
static uint64_t made_by(int64_t t) {
  if (t <= 0) return 0;
  if (board.burst_bytes == 0) return min_bytes((uint64_t)((unsigned __int128)t * board.rate / kSecondNs), board.halt_at);
  const uint64_t bursts = (uint64_t)(t / board.period_ns);
  const int64_t within = t - (int64_t)bursts * board.period_ns;
  const uint64_t in_burst = (uint64_t)((unsigned __int128)within * board.rate / kSecondNs);
  return min_bytes(bursts * board.burst_bytes + min_bytes(in_burst, board.burst_bytes), board.halt_at);
}

static int64_t ns_to_make(uint64_t bytes) {
  return (int64_t)(((unsigned __int128)bytes * kSecondNs + board.rate - 1) / board.rate);
}

/* The board time at which byte `n` (counting from 1) is made: the earliest t
 * with made_by(t) >= n; INT64_MAX for a byte a halted board never makes. */
static int64_t time_of_byte(uint64_t n) {
  if (n > board.halt_at) return INT64_MAX;
  if (board.burst_bytes == 0) return ns_to_make(n);
  const uint64_t bursts = (n - 1) / board.burst_bytes;
  return (int64_t)bursts * board.period_ns + ns_to_make(n - bursts * board.burst_bytes);
}

/* The end of the burst that makes bytes at board time t. */
static int64_t burst_end(int64_t t) {
  if (board.burst_bytes == 0) return INT64_MAX;
  return t / board.period_ns * board.period_ns + board.burst_ns;
}

/* ---- the FIFO ---- */

static void fifo_store(uint64_t count) {
  const uint64_t kept = min_bytes(count, board.fifo_capacity - board.fifo_bytes);
  if (kept > 0) {
    struct segment* last = board.segment_count
                               ? &board.segments[(board.first_segment + board.segment_count - 1) % kMaxSegments]
                               : NULL;
    if (last != NULL && last->position + last->length == board.next_position) {
      last->length += kept;
    } else if (board.segment_count < kMaxSegments) {
      board.segments[(board.first_segment + board.segment_count) % kMaxSegments] =
          (struct segment){board.next_position, kept};
      ++board.segment_count;
    } else {
      /* No room to note another gap: the FIFO counts as full. */
      board.counters.bytes_lost += count;
      board.next_position += count;
      return;
    }
  }
  board.fifo_bytes += kept;
  board.counters.bytes_lost += count - kept;
  board.next_position += count;
}

static void fifo_clear(void) {
  board.first_segment = 0;
  board.segment_count = 0;
  board.fifo_bytes = 0;
}

/* ---- transfers ---- */

static struct transfer_state* state_of(struct libusb_transfer* transfer) {
  return (struct transfer_state*)((char*)transfer - offsetof(struct transfer_state, transfer));
}

/* Stream bytes a bulk IN transfer of `length` bytes can hold. */
static uint64_t data_capacity(int length) {
  const uint64_t rest = (uint64_t)length % kPacketBytes;
  return (uint64_t)length / kPacketBytes * (kPacketBytes - kStatusBytes) + (rest > kStatusBytes ? rest - kStatusBytes : 0);
}

static uint64_t room_of(const struct transfer_state* state) {
  return data_capacity(state->transfer.length) - state->data_bytes;
}

/* The transfer the host controller fills now: the oldest one in flight not
 * yet completed. */
static struct transfer_state* receiving_transfer(void) {
  for (struct transfer_state* state = board.first_in_flight; state != NULL; state = state->next) {
    if (!state->completed) return state;
  }
  return NULL;
}

static void put_status(struct transfer_state* state) {
  memcpy(state->transfer.buffer + state->filled, kModemStatus, kStatusBytes);
  state->filled += kStatusBytes;
}

/* Appends `count` stream bytes from `position` on, at most its room. */
static void place(struct transfer_state* state, uint64_t position, uint64_t count) {
  state->data_bytes += count;
  while (count > 0) {
    if (state->filled % kPacketBytes == 0) put_status(state);
    const uint64_t chunk = min_bytes(count, (uint64_t)(kPacketBytes - state->filled % kPacketBytes));
    copy_stream(position, state->transfer.buffer + state->filled, chunk);
    state->filled += (int)chunk;
    position += chunk;
    count -= chunk;
  }
}

/* Moves up to the transfer's room from the FIFO into it. */
static void take_from_fifo(struct transfer_state* state) {
  uint64_t wanted = room_of(state);
  while (wanted > 0 && board.segment_count > 0) {
    struct segment* first = &board.segments[board.first_segment];
    const uint64_t chunk = min_bytes(first->length, wanted);
    place(state, first->position, chunk);
    first->position += chunk;
    first->length -= chunk;
    board.fifo_bytes -= chunk;
    wanted -= chunk;
    if (first->length == 0) {
      board.first_segment = (board.first_segment + 1) % kMaxSegments;
      --board.segment_count;
    }
  }
}

/* Completes a transfer at board time `when`. A transfer the latency timer
 * ends carries a status-only packet when its data ended on a packet boundary
 * (a transfer with no data is that packet alone). */
static void complete(struct transfer_state* state, enum libusb_transfer_status status, int64_t when) {
  const int was_receiving = state == receiving_transfer();
  if (status == LIBUSB_TRANSFER_COMPLETED && room_of(state) > 0 && state->filled % kPacketBytes == 0 &&
      state->transfer.length - state->filled >= kStatusBytes) {
    put_status(state);
  }
  state->completed = 1;
  state->status = status;
  board.counters.bytes_delivered += state->data_bytes;
  ++board.counters.transfers;
  struct transfer_state* next = receiving_transfer();
  if (was_receiving && next != NULL && next->timer_from_ns < when) next->timer_from_ns = when;
}

/* Places what the paced board made up to `now` (CLOCK_MONOTONIC), in stream
 * order and at the board times it was made: into the transfer being filled
 * while there is one, completing transfers as they fill or as their latency
 * timer runs out, and into the FIFO while there is none. */
static void advance(int64_t now) {
  if (!board.paced || board.awaiting_request) return;
  const int64_t until = now - board.start_ns;
  for (;;) {
    struct transfer_state* receiving = receiving_transfer();
    if (receiving == NULL) {
      const uint64_t made = made_by(until);
      fifo_store(made - board.produced);
      board.produced = made;
      return;
    }
    const int64_t next_byte = time_of_byte(board.produced + 1);
    const int64_t timer_end = receiving->timer_from_ns + kLatencyTimerNs;
    if (timer_end < next_byte && timer_end <= until) {
      complete(receiving, LIBUSB_TRANSFER_COMPLETED, timer_end);
      continue;
    }
    if (next_byte > until) return;
    /* Bytes come without pause from next_byte to the end of its burst. */
    const uint64_t count = made_by(min_ns(until, burst_end(next_byte))) - board.produced;
    const uint64_t taken = min_bytes(count, room_of(receiving));
    place(receiving, board.next_position, taken);
    board.next_position += taken;
    board.produced += taken;
    receiving->timer_from_ns = time_of_byte(board.produced);
    if (room_of(receiving) == 0) complete(receiving, LIBUSB_TRANSFER_COMPLETED, receiving->timer_from_ns);
  }
}

/* When (CLOCK_MONOTONIC) the transfer being filled could complete at the
 * earliest: full, or at the end of its latency timer; INT64_MAX without one. */
static int64_t next_completion(void) {
  struct transfer_state* receiving = board.paced ? receiving_transfer() : NULL;
  if (receiving == NULL) return INT64_MAX;
  const int64_t full = time_of_byte(board.produced + room_of(receiving));
  return board.start_ns + min_ns(full, receiving->timer_from_ns + kLatencyTimerNs);
}

/* The longest a waiting thread sleeps before it looks at the model again:
 * the time half the FIFO takes to fill. */
static int64_t longest_wait(void) {
  if (!board.paced) return INT64_MAX;
  const int64_t half_fifo = ns_to_make(board.fifo_capacity / 2);
  return half_fifo > 0 ? half_fifo : 1;
}

/* The unpaced board fills a transfer at once, full. */
static void fill_unpaced(struct transfer_state* state) {
  const uint64_t count = room_of(state);
  place(state, board.next_position, count);
  board.next_position += count;
  complete(state, LIBUSB_TRANSFER_COMPLETED, state->timer_from_ns);
}

static int submit(struct libusb_transfer* transfer) {
  struct transfer_state* state = state_of(transfer);
  if (transfer->dev_handle == NULL || transfer->length < 0) return LIBUSB_ERROR_INVALID_PARAM;
  if (transfer->type != LIBUSB_TRANSFER_TYPE_BULK || transfer->endpoint != kInEndpoint) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
  }
  pthread_mutex_lock(&board.mutex);
  if (state->in_flight) {
    pthread_mutex_unlock(&board.mutex);
    return LIBUSB_ERROR_BUSY;
  }
  const int64_t now = clock_ns(CLOCK_MONOTONIC);
  if (board.awaiting_request) {
    board.start_ns = now;
    board.awaiting_request = 0;
  }
  advance(now);
  state->ctx = transfer->dev_handle->device->ctx;
  state->in_flight = 1;
  state->completed = 0;
  state->filled = 0;
  state->data_bytes = 0;
  state->timer_from_ns = now - board.start_ns;
  state->next = NULL;
  if (board.last_in_flight != NULL) {
    board.last_in_flight->next = state;
  } else {
    board.first_in_flight = state;
  }
  board.last_in_flight = state;
  if (!board.paced) {
    fill_unpaced(state);
  } else {
    /* Bytes wait in the FIFO only while no transfer is being filled: when it
     * holds any, this one is the transfer being filled. */
    take_from_fifo(state);
    if (room_of(state) == 0) complete(state, LIBUSB_TRANSFER_COMPLETED, state->timer_from_ns);
  }
  pthread_cond_broadcast(&board.changed);
  pthread_mutex_unlock(&board.mutex);
  return LIBUSB_SUCCESS;
}

/* Unlinks the completed transfers of `ctx` from the in-flight list and
 * returns them chained in submission order. */
static struct transfer_state* reap_completed(struct libusb_context* ctx) {
  struct transfer_state* reaped = NULL;
  struct transfer_state** reaped_tail = &reaped;
  struct transfer_state* previous = NULL;
  struct transfer_state* state = board.first_in_flight;
  while (state != NULL) {
    struct transfer_state* next = state->next;
    if (state->completed && state->ctx == ctx) {
      if (previous != NULL) {
        previous->next = next;
      } else {
        board.first_in_flight = next;
      }
      if (board.last_in_flight == state) board.last_in_flight = previous;
      state->next = NULL;
      *reaped_tail = state;
      reaped_tail = &state->next;
    } else {
      previous = state;
    }
    state = next;
  }
  return reaped;
}

static void LIBUSB_CALL set_completed(struct libusb_transfer* transfer) {
  __atomic_store_n((int*)transfer->user_data, 1, __ATOMIC_RELEASE);
}

/* Runs the callbacks of reaped transfers. The CPU of the caller's callbacks
 * is not the stand-in's; that of its own, set_completed, is. */
static void call_back(struct transfer_state* reaped) {
  int paused_depth = -1;
  while (reaped != NULL) {
    struct transfer_state* next = reaped->next;
    struct libusb_transfer* transfer = &reaped->transfer;
    const uint8_t flags = transfer->flags;
    transfer->actual_length = reaped->filled;
    transfer->status = reaped->status;
    if (reaped->status == LIBUSB_TRANSFER_COMPLETED && (flags & LIBUSB_TRANSFER_SHORT_NOT_OK) &&
        reaped->filled < transfer->length) {
      transfer->status = LIBUSB_TRANSFER_ERROR;
    }
    pthread_mutex_lock(&board.mutex);
    reaped->in_flight = 0;
    pthread_mutex_unlock(&board.mutex);
    if (transfer->callback != set_completed && paused_depth < 0) paused_depth = pause_accounting();
    transfer->callback(transfer);
    /* The callback may have freed or resubmitted the transfer. */
    if (flags & LIBUSB_TRANSFER_FREE_TRANSFER) libusb_free_transfer(transfer);
    reaped = next;
  }
  if (paused_depth >= 0) resume_accounting(paused_depth);
}

static int handle_events(libusb_context* ctx, const struct timeval* tv, int* completed) {
  if (ctx == NULL || tv == NULL) return LIBUSB_ERROR_INVALID_PARAM;
  const int64_t deadline = clock_ns(CLOCK_MONOTONIC) + tv->tv_sec * kSecondNs + tv->tv_usec * 1000;
  pthread_mutex_lock(&board.mutex);
  while (completed == NULL || !__atomic_load_n(completed, __ATOMIC_ACQUIRE)) {
    const int64_t now = clock_ns(CLOCK_MONOTONIC);
    advance(now);
    struct transfer_state* reaped = reap_completed(ctx);
    if (reaped != NULL) {
      pthread_mutex_unlock(&board.mutex);
      call_back(reaped);
      pthread_mutex_lock(&board.mutex);
      pthread_cond_broadcast(&board.changed);
      break;
    }
    if (now >= deadline) break;
    int64_t wake = min_ns(deadline, next_completion());
    if (wake - now > longest_wait()) wake = now + longest_wait();
    wait_until(wake);
  }
  pthread_mutex_unlock(&board.mutex);
  return LIBUSB_SUCCESS;
}

/* ---- control API ---- */

/* Restarts the stream of `kind` at frame 0 with the board idle and zeroes the
 * counters. Transfers being filled start over empty, as if submitted now. A
 * paced board with `at_request` starts at the next bulk IN submission instead
 * of now (at once if one is in flight). */
static void reset_stream(int kind, int paced, uint64_t rate, uint64_t fifo_capacity, uint64_t burst_bytes,
                         int64_t quiet_ns, int at_request) {
  pthread_mutex_lock(&board.mutex);
  board.kind = kind;
  stream_ring();
  __atomic_store_n(&board.paced, paced, __ATOMIC_RELAXED);
  board.rate = rate;
  board.fifo_capacity = fifo_capacity;
  board.burst_bytes = burst_bytes;
  board.burst_ns = burst_bytes ? ns_to_make(burst_bytes) : 0;
  board.period_ns = board.burst_ns + quiet_ns;
  board.start_ns = clock_ns(CLOCK_MONOTONIC);
  board.awaiting_request = paced && at_request && board.first_in_flight == NULL;
  board.halt_at = UINT64_MAX;
  board.produced = 0;
  board.next_position = 0;
  fifo_clear();
  memset(&board.counters, 0, sizeof board.counters);
  for (struct transfer_state* state = board.first_in_flight; state != NULL; state = state->next) {
    if (state->completed) continue;
    state->filled = 0;
    state->data_bytes = 0;
    state->timer_from_ns = 0;
    if (!paced) fill_unpaced(state);
  }
  pthread_cond_broadcast(&board.changed);
  pthread_mutex_unlock(&board.mutex);
}

/* Every transfer is filled at once, full. `kind`: a board_stream_kind. */
void bench_usb_configure_unpaced(int kind) { reset_stream(kind, 0, 0, 0, 0, 0, 0); }

/* The board makes `bytes_per_second` from now on, or with `at_request` from
 * the next bulk IN submission on (a reader's first read starts it, so that
 * the reader's own start-up loses nothing); with `burst_bytes` > 0 it falls
 * quiet for `quiet_ns` after every burst_bytes bytes. */
void bench_usb_configure_paced(int kind, uint64_t bytes_per_second, uint64_t fifo_bytes, uint64_t burst_bytes,
                               int64_t quiet_ns, int at_request) {
  reset_stream(kind, 1, bytes_per_second, fifo_bytes, burst_bytes, quiet_ns, at_request);
}

/* Skips the next `bytes` of the stream, counted as lost, as a FIFO overflow
 * would: the reader finds a gap at an arbitrary byte position. */
void bench_usb_drop(uint64_t bytes) {
  pthread_mutex_lock(&board.mutex);
  advance(clock_ns(CLOCK_MONOTONIC));
  board.next_position += bytes;
  board.counters.bytes_lost += bytes;
  pthread_mutex_unlock(&board.mutex);
}

/* The paced board makes no more bytes, as if quiet from now on; what it made
 * stays where it is, and transfers being filled complete by the latency
 * timer. A reader stopped after this loses nothing to the board going on. */
void bench_usb_halt(void) {
  pthread_mutex_lock(&board.mutex);
  advance(clock_ns(CLOCK_MONOTONIC));
  board.halt_at = board.produced;
  pthread_cond_broadcast(&board.changed);
  pthread_mutex_unlock(&board.mutex);
}

void bench_usb_get_counters(struct bench_usb_counters* out) {
  pthread_mutex_lock(&board.mutex);
  advance(clock_ns(CLOCK_MONOTONIC));
  board.counters.bytes_sent = board.next_position;
  board.counters.bytes_buffered = board.fifo_bytes;
  for (struct transfer_state* state = board.first_in_flight; state != NULL; state = state->next) {
    if (!state->completed) board.counters.bytes_buffered += state->data_bytes;
  }
  *out = board.counters;
  out->standin_cpu_ns = __atomic_load_n(&board.counters.standin_cpu_ns, __ATOMIC_RELAXED);
  pthread_mutex_unlock(&board.mutex);
}

/* ---- libusb: contexts, devices, descriptors ---- */

int LIBUSB_CALL libusb_init(libusb_context** ctx) {
  /* One context per call; the stand-in keeps no default context. */
  if (ctx == NULL) return LIBUSB_ERROR_INVALID_PARAM;
  struct libusb_context* context = calloc(1, sizeof *context);
  struct libusb_device* device = calloc(1, sizeof *device);
  if (context == NULL || device == NULL) {
    free(context);
    free(device);
    return LIBUSB_ERROR_NO_MEM;
  }
  device->ctx = context;
  device->references = 1;
  context->device = device;
  *ctx = context;
  return LIBUSB_SUCCESS;
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev) {
  pthread_mutex_lock(&board.mutex);
  ++dev->references;
  pthread_mutex_unlock(&board.mutex);
  return dev;
}

void LIBUSB_CALL libusb_unref_device(libusb_device* dev) {
  if (dev == NULL) return;
  pthread_mutex_lock(&board.mutex);
  const int left = --dev->references;
  pthread_mutex_unlock(&board.mutex);
  if (left == 0) free(dev);
}

void LIBUSB_CALL libusb_exit(libusb_context* ctx) {
  if (ctx == NULL) return;
  libusb_unref_device(ctx->device);
  free(ctx);
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
  if (ctx == NULL) return LIBUSB_ERROR_INVALID_PARAM;
  libusb_device** devices = calloc(2, sizeof *devices);
  if (devices == NULL) return LIBUSB_ERROR_NO_MEM;
  devices[0] = libusb_ref_device(ctx->device);
  *list = devices;
  return 1;
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unref_devices) {
  if (list == NULL) return;
  if (unref_devices) {
    for (libusb_device** device = list; *device != NULL; ++device) libusb_unref_device(*device);
  }
  free(list);
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev, struct libusb_device_descriptor* desc) {
  (void)dev;
  *desc = kDeviceDescriptor;
  return LIBUSB_SUCCESS;
}

/* The configuration descriptor and what it points to, freed as one block. */
struct configuration_block {
  struct libusb_config_descriptor config;
  struct libusb_interface interface;
  struct libusb_interface_descriptor altsetting;
  struct libusb_endpoint_descriptor endpoints[2];
};

static struct libusb_endpoint_descriptor bulk_endpoint(uint8_t address) {
  return (struct libusb_endpoint_descriptor){
      .bLength = LIBUSB_DT_ENDPOINT_SIZE,
      .bDescriptorType = LIBUSB_DT_ENDPOINT,
      .bEndpointAddress = address,
      .bmAttributes = LIBUSB_TRANSFER_TYPE_BULK,
      .wMaxPacketSize = kPacketBytes,
  };
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device* dev, uint8_t config_index,
                                             struct libusb_config_descriptor** config) {
  (void)dev;
  if (config_index != 0) return LIBUSB_ERROR_NOT_FOUND;
  struct configuration_block* block = calloc(1, sizeof *block);
  if (block == NULL) return LIBUSB_ERROR_NO_MEM;
  block->endpoints[0] = bulk_endpoint(kInEndpoint);
  block->endpoints[1] = bulk_endpoint(kOutEndpoint);
  block->altsetting = (struct libusb_interface_descriptor){
      .bLength = LIBUSB_DT_INTERFACE_SIZE,
      .bDescriptorType = LIBUSB_DT_INTERFACE,
      .bNumEndpoints = 2,
      .bInterfaceClass = LIBUSB_CLASS_VENDOR_SPEC,
      .bInterfaceSubClass = 0xFF,
      .bInterfaceProtocol = 0xFF,
      .iInterface = kProductIndex,
      .endpoint = block->endpoints,
  };
  block->interface = (struct libusb_interface){.altsetting = &block->altsetting, .num_altsetting = 1};
  block->config = (struct libusb_config_descriptor){
      .bLength = LIBUSB_DT_CONFIG_SIZE,
      .bDescriptorType = LIBUSB_DT_CONFIG,
      .wTotalLength = LIBUSB_DT_CONFIG_SIZE + LIBUSB_DT_INTERFACE_SIZE + 2 * LIBUSB_DT_ENDPOINT_SIZE,
      .bNumInterfaces = 1,
      .bConfigurationValue = kConfigurationValue,
      .bmAttributes = 0x80,
      .MaxPower = 45,
      .interface = &block->interface,
  };
  *config = &block->config;
  return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor* config) { free(config); }

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device* dev) {
  (void)dev;
  return 1;
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* dev) {
  (void)dev;
  return 2;
}

int LIBUSB_CALL libusb_get_max_packet_size(libusb_device* dev, unsigned char endpoint) {
  (void)dev;
  return endpoint == kInEndpoint || endpoint == kOutEndpoint ? kPacketBytes : LIBUSB_ERROR_NOT_FOUND;
}

/* ---- libusb: handles ---- */

int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** dev_handle) {
  struct libusb_device_handle* handle = calloc(1, sizeof *handle);
  if (handle == NULL) return LIBUSB_ERROR_NO_MEM;
  handle->device = libusb_ref_device(dev);
  *dev_handle = handle;
  return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* dev_handle) {
  if (dev_handle == NULL) return;
  libusb_unref_device(dev_handle->device);
  free(dev_handle);
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* dev_handle, uint8_t desc_index,
                                                   unsigned char* data, int length) {
  (void)dev_handle;
  if (desc_index == 0 || length <= 0) return LIBUSB_ERROR_INVALID_PARAM;
  if (desc_index >= sizeof kStrings / sizeof kStrings[0] || kStrings[desc_index] == NULL) return LIBUSB_ERROR_PIPE;
  const size_t copied = min_bytes(strlen(kStrings[desc_index]), (uint64_t)length - 1);
  memcpy(data, kStrings[desc_index], copied);
  data[copied] = '\0';
  return (int)copied;
}

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle* dev_handle, int* config) {
  (void)dev_handle;
  *config = kConfigurationValue;
  return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle* dev_handle, int configuration) {
  (void)dev_handle;
  return configuration == kConfigurationValue ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* dev_handle, int interface_number) {
  (void)dev_handle;
  return interface_number == 0 ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* dev_handle, int interface_number) {
  (void)dev_handle;
  return interface_number == 0 ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}

/* No kernel driver is bound to the stand-in's interface. */
int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle* dev_handle, int interface_number) {
  (void)dev_handle;
  (void)interface_number;
  return LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle* dev_handle, int enable) {
  (void)dev_handle;
  (void)enable;
  return LIBUSB_SUCCESS;
}

/* The chip accepts every vendor OUT request (reset, baud rate, bit mode,
 * latency timer...); of them only the receive purge changes the model: it
 * discards what the FIFO holds, not what transfers in flight hold. It
 * answers no IN request. */
int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* dev_handle, uint8_t request_type, uint8_t bRequest,
                                        uint16_t wValue, uint16_t wIndex, unsigned char* data, uint16_t wLength,
                                        unsigned int timeout) {
  (void)dev_handle;
  (void)wIndex;
  (void)data;
  (void)timeout;
  if (request_type != FTDI_DEVICE_OUT_REQTYPE) return LIBUSB_ERROR_PIPE;
  if (bRequest == SIO_RESET_REQUEST && wValue == SIO_TCIFLUSH) {
    standin_enter();
    pthread_mutex_lock(&board.mutex);
    advance(clock_ns(CLOCK_MONOTONIC));
    board.counters.bytes_purged += board.fifo_bytes;
    ++board.counters.purges;
    fifo_clear();
    pthread_mutex_unlock(&board.mutex);
    standin_leave();
  }
  return wLength;
}

/* ---- libusb: transfers and events ---- */

struct libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int iso_packets) {
  if (iso_packets < 0) return NULL;
  struct transfer_state* state =
      calloc(1, sizeof *state + (size_t)iso_packets * sizeof(struct libusb_iso_packet_descriptor));
  if (state == NULL) return NULL;
  state->transfer.num_iso_packets = iso_packets;
  return &state->transfer;
}

void LIBUSB_CALL libusb_free_transfer(struct libusb_transfer* transfer) {
  if (transfer == NULL) return;
  struct transfer_state* state = state_of(transfer);
  pthread_mutex_lock(&board.mutex);
  const int in_flight = state->in_flight;
  pthread_mutex_unlock(&board.mutex);
  if (in_flight) {
    fprintf(stderr, "usb_standin: libusb_free_transfer on a transfer in flight\n");
    abort();
  }
  if (transfer->flags & LIBUSB_TRANSFER_FREE_BUFFER) free(transfer->buffer);
  free(state);
}

int LIBUSB_CALL libusb_submit_transfer(struct libusb_transfer* transfer) {
  standin_enter();
  const int result = submit(transfer);
  standin_leave();
  return result;
}

int LIBUSB_CALL libusb_cancel_transfer(struct libusb_transfer* transfer) {
  struct transfer_state* state = state_of(transfer);
  standin_enter();
  pthread_mutex_lock(&board.mutex);
  int result = LIBUSB_ERROR_NOT_FOUND;
  if (state->in_flight) {
    const int64_t now = clock_ns(CLOCK_MONOTONIC);
    advance(now);
    if (!state->completed) {
      complete(state, LIBUSB_TRANSFER_CANCELLED, now - board.start_ns);
      pthread_cond_broadcast(&board.changed);
      result = LIBUSB_SUCCESS;
    }
  }
  pthread_mutex_unlock(&board.mutex);
  standin_leave();
  return result;
}

int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context* ctx, struct timeval* tv, int* completed) {
  standin_enter();
  const int result = handle_events(ctx, tv, completed);
  standin_leave();
  return result;
}

int LIBUSB_CALL libusb_handle_events_timeout(libusb_context* ctx, struct timeval* tv) {
  return libusb_handle_events_timeout_completed(ctx, tv, NULL);
}

int LIBUSB_CALL libusb_handle_events_completed(libusb_context* ctx, int* completed) {
  struct timeval timeout = kDefaultEventTimeout;
  return libusb_handle_events_timeout_completed(ctx, &timeout, completed);
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* dev_handle, unsigned char endpoint, unsigned char* data,
                                     int length, int* actual_length, unsigned int timeout) {
  struct libusb_transfer* transfer = libusb_alloc_transfer(0);
  if (transfer == NULL) return LIBUSB_ERROR_NO_MEM;
  int completed = 0;
  libusb_fill_bulk_transfer(transfer, dev_handle, endpoint, data, length, set_completed, &completed, timeout);
  standin_enter();
  int result = submit(transfer);
  while (result == LIBUSB_SUCCESS && !completed) {
    result = handle_events(dev_handle->device->ctx, &kDefaultEventTimeout, &completed);
  }
  standin_leave();
  /* Nothing else can cancel this transfer: it completed. */
  if (result == LIBUSB_SUCCESS && actual_length != NULL) *actual_length = transfer->actual_length;
  libusb_free_transfer(transfer);
  return result;
}

const char* LIBUSB_CALL libusb_error_name(int errcode) {
  switch (errcode) {
    case LIBUSB_SUCCESS: return "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED";
    case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED: return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER: return "LIBUSB_ERROR_OTHER";
    case LIBUSB_TRANSFER_ERROR: return "LIBUSB_TRANSFER_ERROR";
    case LIBUSB_TRANSFER_TIMED_OUT: return "LIBUSB_TRANSFER_TIMED_OUT";
    case LIBUSB_TRANSFER_CANCELLED: return "LIBUSB_TRANSFER_CANCELLED";
    case LIBUSB_TRANSFER_STALL: return "LIBUSB_TRANSFER_STALL";
    case LIBUSB_TRANSFER_NO_DEVICE: return "LIBUSB_TRANSFER_NO_DEVICE";
    case LIBUSB_TRANSFER_OVERFLOW: return "LIBUSB_TRANSFER_OVERFLOW";
    default: return "**UNKNOWN**";
  }
}
