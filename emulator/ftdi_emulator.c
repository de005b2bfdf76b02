/* Emulated FTDI chips on a umockdev testbed; see ftdi_emulator.h for the
 * model. Every device node gets a UMockdevIoctlBase whose "handle-ioctl"
 * callback answers libusb's usbdevfs ioctls. umockdev calls it on the
 * testbed's worker thread while the client thread waits inside ioctl().
 *
 * Submitted URBs stay with the handle until reaped. Bulk IN URBs of interface
 * A are filled by the board over time; everything else completes at its
 * submission. umockdev writes a URB back to the client when its reap
 * completes, so bytes put into the local copy of an open URB's buffer reach
 * the client then. */
#include "ftdi_emulator.h"

#include <dlfcn.h>
#include <errno.h>
#include <glib.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <stdio.h>
#include <string.h>
#include <umockdev.h>

#include "board_stream.h"

#define FTDI_VENDOR 0x0403
#define MAX_STRING_CHARS 126 /* (255 - 2) / 2 UTF-16 units in a descriptor */
#define MAX_DEVNUM 127
/* libusb lists devices in the reverse order of their sysfs names, so names
 * count down from here to list devices in the order they were added. */
#define LISTING_ORDER_BASE 999999
#define STATUS_BYTE_0 0x32   /* modem status that the chip puts before every packet */
#define STATUS_BYTE_1 0x60
#define GARBAGE_FILL 0xA5
#define BOARD_ENDPOINT 0x81  /* bulk IN of interface A */
#define LATENCY_US 16000.0   /* the chip's latency timer */

/* Capabilities that make libusb send each transfer as one URB. */
#define USBFS_CAPS                                                                         \
  (USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM | \
   USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_REAP_AFTER_DISCONNECT)

/* FTDI vendor requests (bRequest) the model reacts to. */
enum {
  SIO_RESET = 0x00,
  SIO_SET_BAUDRATE = 0x03,
  SIO_POLL_MODEM_STATUS = 0x05,
  SIO_SET_LATENCY_TIMER = 0x09,
  SIO_GET_LATENCY_TIMER = 0x0A,
  SIO_SET_BITMODE = 0x0B,
};
enum { SIO_RESET_PORT = 0, SIO_TCOFLUSH = 1, SIO_TCIFLUSH = 2 };

typedef struct {
  uint16_t product_id;
  uint16_t bcd_device; /* libftdi tells the chip type by it */
  uint16_t packet_size;
  uint8_t interfaces;
  int speed_mbps;
} chip_model;

static const chip_model chip_models[] = {
    {0x6001, 0x0600, 64, 1, 12},   /* FT232R */
    {0x6010, 0x0700, 512, 2, 480}, /* FT2232H */
    {0x6011, 0x0800, 512, 4, 480}, /* FT4232H */
    {0x6014, 0x0900, 512, 1, 480}, /* FT232H */
    {0x6015, 0x1000, 64, 1, 12},   /* FT-X */
};

#define VALUE_COUNT (FTDI_EMU_QUIET_SPELLS + 1)

/* Consecutive stream bytes held for the host. */
typedef struct {
  uint64_t position;
  uint64_t length;
} stream_run;

/* A URB from its submission until it is reaped. */
typedef struct {
  UMockdevIoctlData* data; /* the URB, its buffer resolved as a child */
  uint64_t data_room;      /* board URBs: data bytes it takes besides the status bytes */
  uint64_t data_held;      /* board URBs: data bytes in it */
  int done;                /* reapable: status and actual_length are final */
} queued_urb;

typedef struct {
  int id;
  int refs; /* the device list and every handle that is still connected */
  char* syspath;
  char* devnode;
  UMockdevIoctlBase* handler;
  const chip_model* chip;
  uint16_t vendor_id;
  uint16_t product_id;
  char* strings[4]; /* indexes 1..3: manufacturer, description, serial */
  unsigned unreadable_strings;
  unsigned failing_steps;
  int removed;
  int unplugged;

  /* The board and where its bytes wait for the host: the open board URBs,
   * then the chip's receive buffer and the board buffer (`runs`, which gaps
   * separate where a board that cannot pause dropped bytes). advance() runs
   * the model from `advanced_us` up to the monotonic clock. */
  int kind;              /* enum board_stream_kind */
  uint64_t position;     /* stream position of the next byte the board makes */
  GArray* runs;          /* stream_run: what the chip and the board buffer hold, oldest first */
  uint64_t held;         /* bytes in `runs` */
  uint64_t board_buffer; /* 0: the board pauses while the chip is full */
  double pace;           /* bytes per second, 0 = unpaced */
  int running;           /* a paced board makes bytes (since a bulk IN URB after a bit mode request) */
  double fraction;       /* part of a byte made but not yet whole */
  double advanced_us;    /* monotonic time the model has reached */
  uint64_t burst_bytes;  /* bytes between quiet spells, 0 = no bursts */
  double quiet_us;
  uint64_t burst_left;   /* bytes the board makes before its next quiet spell */
  int quiet;
  double quiet_until_us;
  int paused;
  GQueue open_urbs;       /* queued_urb*: board URBs not yet complete, over all handles, oldest first */
  double latency_from_us; /* when the latency timer of the oldest open URB started */
  GByteArray* garbage;
  unsigned failing_reads;
  int failing_status;

  int64_t values[VALUE_COUNT];
} emu_device;

/* What one open handle (one client fd) has in flight. URBs are reaped only by
 * the handle that submitted them, in submission order per endpoint. */
typedef struct {
  emu_device* device;
  GQueue urbs; /* queued_urb*, in submission order */
  unsigned claimed; /* bit i: interface i */
  int closed;
} client_state;

static const char client_key[] = "ftdi-emu-client";

/* A pthread mutex rather than a GMutex: glib builds its mutex on bare futexes,
 * which ThreadSanitizer cannot see. */
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static UMockdevTestbed* testbed;
static GPtrArray* devices; /* emu_device*, index = id; kept until stop */

/* ---- devices ---- */

static const chip_model* model_for(uint16_t vendor_id, uint16_t product_id) {
  if (vendor_id == FTDI_VENDOR)
    for (size_t i = 0; i < G_N_ELEMENTS(chip_models); ++i)
      if (chip_models[i].product_id == product_id) return &chip_models[i];
  return &chip_models[3]; /* an unknown chip looks like an FT232H */
}

static void device_unref_locked(emu_device* d) {
  if (--d->refs > 0) return;
  for (int i = 1; i <= 3; ++i) g_free(d->strings[i]);
  g_free(d->syspath);
  g_free(d->devnode);
  g_byte_array_unref(d->garbage);
  g_array_unref(d->runs);
  g_free(d);
}

static emu_device* find_locked(int id) {
  if (devices == NULL || id < 0 || (guint)id >= devices->len) return NULL;
  return g_ptr_array_index(devices, id);
}

static int string_index_bit(int index) { return 1 << (index - 1); }

/* Device descriptor (18 bytes) of `d` into out: USB 2.0, vendor class, 64-byte
 * control packets, one configuration, strings 1..3 where present. */
static size_t device_descriptor(const emu_device* d, uint8_t* out) {
  const uint8_t bytes[18] = {
      18, 1, 0x00, 0x02, 0, 0, 0, 64,
      (uint8_t)d->vendor_id, (uint8_t)(d->vendor_id >> 8),
      (uint8_t)d->product_id, (uint8_t)(d->product_id >> 8),
      (uint8_t)d->chip->bcd_device, (uint8_t)(d->chip->bcd_device >> 8),
      d->strings[1] ? 1 : 0, d->strings[2] ? 2 : 0, d->strings[3] ? 3 : 0,
      1};
  memcpy(out, bytes, sizeof bytes);
  return sizeof bytes;
}

/* Configuration descriptor with one vendor-class interface per channel, each
 * with bulk IN 0x81 + 2i and bulk OUT 0x02 + 2i. */
static size_t config_descriptor(const emu_device* d, uint8_t* out) {
  const unsigned n = d->chip->interfaces;
  const size_t total = 9 + n * (9 + 7 + 7);
  const uint8_t head[9] = {9, 2, (uint8_t)total, (uint8_t)(total >> 8), (uint8_t)n, 1, 0, 0x80, 0xFA};
  uint8_t* p = out;
  memcpy(p, head, 9);
  p += 9;
  for (unsigned i = 0; i < n; ++i) {
    const uint8_t mps_lo = (uint8_t)d->chip->packet_size, mps_hi = (uint8_t)(d->chip->packet_size >> 8);
    const uint8_t interface[9] = {9, 4, (uint8_t)i, 0, 2, 0xFF, 0xFF, 0xFF, 0};
    const uint8_t in_ep[7] = {7, 5, (uint8_t)(0x81 + 2 * i), 2, mps_lo, mps_hi, 0};
    const uint8_t out_ep[7] = {7, 5, (uint8_t)(0x02 + 2 * i), 2, mps_lo, mps_hi, 0};
    memcpy(p, interface, 9);
    memcpy(p + 9, in_ep, 7);
    memcpy(p + 16, out_ep, 7);
    p += 23;
  }
  return total;
}

/* The umockdev description of the sysfs entry and device node. */
static char* sysfs_description(const emu_device* d, int bus, int devnum) {
  uint8_t descriptors[18 + 9 + 4 * 23];
  size_t n = device_descriptor(d, descriptors);
  n += config_descriptor(d, descriptors + n);
  GString* hex = g_string_new(NULL);
  for (size_t i = 0; i < n; ++i) g_string_append_printf(hex, "%02X", descriptors[i]);
  const int minor = (bus - 1) * 128 + devnum - 1;

  char* text = g_strdup_printf(
      "P: %s\n"
      "N: bus/usb/%03d/%03d\n"
      "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n"
      "E: DEVNAME=/dev/bus/usb/%03d/%03d\nE: BUSNUM=%03d\nE: DEVNUM=%03d\n"
      "E: MAJOR=189\nE: MINOR=%d\nE: PRODUCT=%x/%x/%x\n"
      "A: dev=189:%d\\n\nA: busnum=%d\\n\nA: devnum=%d\\n\n"
      "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\nA: bcdDevice=%04x\\n\n"
      "A: speed=%d\\n\nA: bConfigurationValue=1\\n\nA: bNumConfigurations=1\\n\n"
      "A: bNumInterfaces= %d\\n\nA: bMaxPacketSize0=64\\n\n"
      "H: descriptors=%s\n\n",
      d->syspath + strlen("/sys"), bus, devnum, bus, devnum, bus, devnum, minor,
      d->vendor_id, d->product_id, d->chip->bcd_device, minor, bus, devnum,
      d->vendor_id, d->product_id, d->chip->bcd_device, d->chip->speed_mbps, d->chip->interfaces, hex->str);
  g_string_free(hex, TRUE);
  return text;
}

/* ---- the board, the chip and the open URBs ---- */

static double now_us(void) { return (double)g_get_monotonic_time(); }

static struct usbdevfs_urb* urb_of(const queued_urb* u) { return (struct usbdevfs_urb*)u->data->data; }

static uint64_t packet_data_bytes(const emu_device* d) { return (uint64_t)d->chip->packet_size - 2; }

/* Data bytes a bulk IN buffer of `length` bytes takes: each packet loses two
 * bytes to the modem status. */
static uint64_t data_room_of(const emu_device* d, int length) {
  const uint64_t packet = d->chip->packet_size, rest = (uint64_t)MAX(length, 0) % packet;
  return (uint64_t)MAX(length, 0) / packet * (packet - 2) + (rest > 2 ? rest - 2 : 0);
}

/* Transfer length of `data` data bytes: whole packets, then a short one. */
static int wire_length(const emu_device* d, uint64_t data) {
  const uint64_t per = packet_data_bytes(d), rest = data % per;
  return (int)(data / per * d->chip->packet_size + (rest ? rest + 2 : 0));
}

static uint64_t hold_room(const emu_device* d) {
  const uint64_t capacity = FTDI_EMU_CHIP_BUFFER + (d->pace > 0 ? d->board_buffer : 0);
  return capacity > d->held ? capacity - d->held : 0;
}

/* Makes a board URB reapable with `status` and `actual` bytes; when it was
 * the oldest open one, the next one's latency timer starts at t. */
static void finish_urb(emu_device* d, queued_urb* u, int status, int actual, double t) {
  urb_of(u)->status = status;
  urb_of(u)->actual_length = actual;
  u->done = 1;
  if (g_queue_peek_head(&d->open_urbs) == u) d->latency_from_us = t;
  g_queue_remove(&d->open_urbs, u);
  d->values[FTDI_EMU_BULK_IN_TRANSFERS]++;
  if (status != 0 && status != -ENOENT) d->values[FTDI_EMU_FAILED_TRANSFERS]++;
}

/* The latency timer ran out: the chip ends the oldest open URB with a short
 * packet, the status bytes alone when it holds whole packets only. */
static void end_short(emu_device* d, queued_urb* u, double t) {
  int actual = wire_length(d, u->data_held);
  if (u->data_held % packet_data_bytes(d) == 0) {
    uint8_t* status = (uint8_t*)urb_of(u)->buffer + actual;
    status[0] = STATUS_BYTE_0;
    status[1] = STATUS_BYTE_1;
    actual += 2;
  }
  finish_urb(d, u, 0, actual, t);
}

/* Puts `length` data bytes (at most its room) into the oldest open URB `u` at
 * time t: `bytes`, or the board stream from `position` when bytes is NULL.
 * Each packet begins with the status bytes; sending a whole packet restarts
 * the latency timer, and a full URB completes. */
static void urb_take(emu_device* d, queued_urb* u, const uint8_t* bytes, uint64_t position, uint64_t length,
                     double t) {
  const uint64_t per = packet_data_bytes(d);
  uint8_t* buffer = urb_of(u)->buffer;
  d->values[FTDI_EMU_BYTES_DELIVERED] += (int64_t)length;
  while (length > 0) {
    const uint64_t within = u->data_held % per, chunk = MIN(length, per - within);
    uint8_t* packet = buffer + u->data_held / per * d->chip->packet_size;
    if (within == 0) {
      packet[0] = STATUS_BYTE_0;
      packet[1] = STATUS_BYTE_1;
    }
    if (bytes != NULL) {
      memcpy(packet + 2 + within, bytes, chunk);
      bytes += chunk;
    } else {
      board_stream_bytes_of(d->kind, position, packet + 2 + within, chunk);
      position += chunk;
    }
    u->data_held += chunk;
    length -= chunk;
    if (within + chunk == per) d->latency_from_us = t;
  }
  if (u->data_held == u->data_room) finish_urb(d, u, 0, wire_length(d, u->data_held), t);
}

/* Holds the next `length` bytes the board makes. */
static void hold_made(emu_device* d, uint64_t length) {
  if (length == 0) return;
  stream_run* last = d->runs->len > 0 ? &g_array_index(d->runs, stream_run, d->runs->len - 1) : NULL;
  if (last != NULL && last->position + last->length == d->position) {
    last->length += length;
  } else {
    const stream_run run = {d->position, length};
    g_array_append_val(d->runs, run);
  }
  d->held += length;
  d->position += length;
}

/* Hands up to `want` held bytes, oldest first, to the URB `u` (no more than
 * its room), or discards them when u is NULL. */
static void take_held(emu_device* d, queued_urb* u, uint64_t want, double t) {
  uint64_t taken = 0;
  guint emptied = 0;
  while (taken < want && emptied < d->runs->len) {
    stream_run* run = &g_array_index(d->runs, stream_run, emptied);
    const uint64_t chunk = MIN(want - taken, run->length);
    if (u != NULL) urb_take(d, u, NULL, run->position, chunk, t);
    run->position += chunk;
    run->length -= chunk;
    taken += chunk;
    if (run->length == 0) ++emptied;
  }
  g_array_remove_range(d->runs, 0, emptied);
  d->held -= taken;
}

/* Forgets what is held: the board makes it anew, from the oldest byte on. */
static void clear_held(emu_device* d) {
  if (d->runs->len > 0) d->position = g_array_index(d->runs, stream_run, 0).position;
  g_array_set_size(d->runs, 0);
  d->held = 0;
  d->fraction = 0;
}

/* Hands what the chip holds, injected bytes first, to the open URBs. A paused
 * chip sends nothing. */
static void hand_over_held(emu_device* d, double t) {
  queued_urb* u;
  while (!d->paused && (d->garbage->len > 0 || d->held > 0) && (u = g_queue_peek_head(&d->open_urbs)) != NULL) {
    const uint64_t room = u->data_room - u->data_held;
    if (d->garbage->len > 0) {
      const guint length = (guint)MIN(room, d->garbage->len);
      urb_take(d, u, d->garbage->data, 0, length, t);
      g_byte_array_remove_range(d->garbage, 0, length);
    } else {
      take_held(d, u, room, t);
    }
  }
}

/* Places `count` bytes the board made at time t: into the open URBs, oldest
 * first, then into the chip and the board buffer; the rest is dropped. Ends
 * the burst when they use it up. */
static void place_made(emu_device* d, uint64_t count, double t) {
  if (d->burst_bytes > 0) {
    d->burst_left -= count;
    if (d->burst_left == 0) {
      d->quiet = 1;
      d->quiet_until_us = t + d->quiet_us;
      d->values[FTDI_EMU_QUIET_SPELLS]++;
    }
  }
  queued_urb* u;
  while (count > 0 && (u = g_queue_peek_head(&d->open_urbs)) != NULL) {
    const uint64_t length = MIN(count, u->data_room - u->data_held);
    urb_take(d, u, NULL, d->position, length, t);
    d->position += length;
    count -= length;
  }
  const uint64_t kept = MIN(count, hold_room(d));
  hold_made(d, kept);
  d->position += count - kept;
  d->values[FTDI_EMU_BYTES_DROPPED] += (int64_t)(count - kept);
}

static int board_making(const emu_device* d) {
  return !d->paused && !d->unplugged && !d->quiet && (d->pace == 0 || d->running);
}

/* An unpaced board makes at once what the open URBs and the chip take. */
static void make_unpaced(emu_device* d, double t) {
  uint64_t count = hold_room(d);
  for (const GList* l = d->open_urbs.head; l != NULL; l = l->next) {
    const queued_urb* u = l->data;
    count += u->data_room - u->data_held;
  }
  if (d->burst_bytes > 0) count = MIN(count, d->burst_left);
  if (count > 0) place_made(d, count, t);
}

/* A paced board makes bytes from t until `until`, or until an earlier byte
 * after which things go on differently: one that ends a packet or fills the
 * oldest open URB, ends the burst, or fills the chip of a board that may
 * pause, which then stalls. Returns the time it got to. */
static double make_paced(emu_device* d, double t, double until) {
  const queued_urb* u = g_queue_peek_head(&d->open_urbs);
  uint64_t limit = d->burst_bytes > 0 ? d->burst_left : UINT64_MAX;
  if (u != NULL) {
    const uint64_t per = packet_data_bytes(d);
    limit = MIN(limit, MIN(u->data_room - u->data_held, per - u->data_held % per));
  } else if (d->board_buffer == 0) {
    limit = MIN(limit, hold_room(d));
  }
  if (limit == 0) { /* stalled: the time passes, nothing is made */
    d->fraction = 0;
    return until;
  }
  const double bytes_per_us = d->pace / 1e6;
  const double limit_at = t + ((double)limit - d->fraction) / bytes_per_us;
  uint64_t made = limit;
  if (limit_at <= until) {
    d->fraction = 0;
    t = limit_at;
  } else {
    const double making = bytes_per_us * (until - t) + d->fraction;
    made = MIN((uint64_t)making, limit);
    d->fraction = making - (double)made;
    t = until;
  }
  if (made > 0) place_made(d, made, t);
  return t;
}

/* Runs the model up to `now`, from event to event: the chip hands what it
 * holds to open URBs, the board makes bytes, the latency timer ends the
 * oldest open URB, quiet spells end. */
static void advance(emu_device* d, double now) {
  double t = d->advanced_us;
  for (;;) {
    hand_over_held(d, t);
    if (d->pace == 0 && board_making(d)) make_unpaced(d, t);
    if (t >= now) break;
    double next = now;
    if (!g_queue_is_empty(&d->open_urbs)) next = MIN(next, d->latency_from_us + LATENCY_US);
    if (d->quiet) next = MIN(next, d->quiet_until_us);
    t = d->pace > 0 && board_making(d) ? make_paced(d, t, next) : next;
    queued_urb* oldest = g_queue_peek_head(&d->open_urbs);
    if (oldest != NULL && t >= d->latency_from_us + LATENCY_US) end_short(d, oldest, t);
    if (d->quiet && t >= d->quiet_until_us) {
      d->quiet = 0;
      d->burst_left = d->burst_bytes;
    }
  }
  d->advanced_us = MAX(t, now);
}

static void advance_to_now(emu_device* d) { advance(d, now_us()); }

/* A bulk IN URB for the board, submitted at `now`: it fails at once when a
 * failure was injected; otherwise it waits behind the open ones and first
 * takes what the chip holds. It starts a paced board that has been given a
 * bit mode. */
static void queue_board_urb(emu_device* d, queued_urb* u, double now) {
  if (d->pace > 0 && !d->running && d->values[FTDI_EMU_BITMODE] >= 0) {
    d->running = 1;
    d->fraction = 0;
  }
  if (d->failing_reads > 0) {
    d->failing_reads--;
    finish_urb(d, u, d->failing_status, 0, now);
    return;
  }
  u->data_room = data_room_of(d, urb_of(u)->buffer_length);
  if (u->data_room == 0) {
    finish_urb(d, u, 0, 0, now);
    return;
  }
  if (g_queue_is_empty(&d->open_urbs)) d->latency_from_us = now;
  g_queue_push_tail(&d->open_urbs, u);
  advance(d, now);
}

/* Open board URBs complete with -ENODEV, keeping what they hold. */
static void unplug_locked(emu_device* d) {
  const double now = now_us();
  advance(d, now);
  d->unplugged = 1;
  queued_urb* u;
  while ((u = g_queue_peek_head(&d->open_urbs)) != NULL) finish_urb(d, u, -ENODEV, wire_length(d, u->data_held), now);
}

/* Empties the chip's receive buffer. What open URBs hold is the host's
 * already, and the board buffer feeds the chip anew. */
static void purge_receive_side(emu_device* d) {
  take_held(d, NULL, FTDI_EMU_CHIP_BUFFER, 0);
  g_byte_array_set_size(d->garbage, 0);
  d->values[FTDI_EMU_RX_PURGES]++;
}

/* ---- control transfers ---- */

/* Answers the control transfer in `buffer` (8-byte setup, then data).
 * Returns the URB status (0 or -EPIPE for a stall); *actual gets the number of
 * data bytes transferred. */
static int control_transfer(emu_device* d, uint8_t* buffer, int buffer_length, int* actual) {
  const uint8_t request_type = buffer[0], request = buffer[1];
  const unsigned value = buffer[2] | (buffer[3] << 8);
  const unsigned length = buffer[6] | (buffer[7] << 8);
  uint8_t* data = buffer + 8;
  const unsigned room = MIN(length, (unsigned)MAX(buffer_length - 8, 0));
  uint8_t reply[255];
  size_t reply_length = 0;

  d->values[FTDI_EMU_CONTROL_TRANSFERS]++;
  *actual = 0;

  if (request_type == 0x80 && request == 6) { /* GET_DESCRIPTOR */
    const unsigned type = value >> 8, index = value & 0xFF;
    if (type == 1) {
      reply_length = device_descriptor(d, reply);
    } else if (type == 2) {
      reply_length = config_descriptor(d, reply);
    } else if (type == 3 && index == 0) {
      const uint8_t languages[4] = {4, 3, 0x09, 0x04}; /* en-US */
      memcpy(reply, languages, 4);
      reply_length = 4;
    } else if (type == 3 && index <= 3 && d->strings[index] &&
               !(d->unreadable_strings & string_index_bit((int)index))) {
      const size_t chars = MIN(strlen(d->strings[index]), MAX_STRING_CHARS);
      reply[0] = (uint8_t)(2 + 2 * chars);
      reply[1] = 3;
      for (size_t i = 0; i < chars; ++i) {
        reply[2 + 2 * i] = (uint8_t)d->strings[index][i];
        reply[3 + 2 * i] = 0;
      }
      reply_length = 2 + 2 * chars;
    } else {
      return -EPIPE;
    }
  } else if (request_type == 0x80 && request == 0) { /* GET_STATUS */
    memset(reply, 0, 2);
    reply_length = 2;
  } else if (request_type == 0x80 && request == 8) { /* GET_CONFIGURATION */
    reply[0] = 1;
    reply_length = 1;
  } else if (request_type == 0x40) {
    switch (request) {
      case SIO_RESET:
        if (value == SIO_RESET_PORT) {
          if (d->failing_steps & FTDI_EMU_FAIL_USB_OPEN) return -EPIPE;
          d->values[FTDI_EMU_RESETS]++;
        } else if (value == SIO_TCIFLUSH) {
          purge_receive_side(d);
        } else if (value == SIO_TCOFLUSH) {
          d->values[FTDI_EMU_TX_PURGES]++;
        }
        break;
      case SIO_SET_BAUDRATE:
        if (d->failing_steps & FTDI_EMU_FAIL_BAUDRATE) return -EPIPE;
        break;
      case SIO_SET_LATENCY_TIMER:
        d->values[FTDI_EMU_LATENCY_TIMER] = value & 0xFF;
        break;
      case SIO_SET_BITMODE:
        d->values[FTDI_EMU_BITMODE_REQUESTS]++;
        if (d->failing_steps & FTDI_EMU_FAIL_BITMODE) return -EPIPE;
        d->values[FTDI_EMU_BITMODE] = value >> 8;
        d->values[FTDI_EMU_BITMASK] = value & 0xFF;
        break;
      default:
        break;
    }
    *actual = (int)room;
    return 0;
  } else if (request_type == 0xC0) {
    memset(reply, 0, sizeof reply);
    if (request == SIO_POLL_MODEM_STATUS) {
      reply[0] = STATUS_BYTE_0;
      reply[1] = STATUS_BYTE_1;
    } else if (request == SIO_GET_LATENCY_TIMER) {
      reply[0] = d->values[FTDI_EMU_LATENCY_TIMER] < 0 ? 16 : (uint8_t)d->values[FTDI_EMU_LATENCY_TIMER];
    }
    reply_length = MIN(length, sizeof reply);
  } else if ((request_type & 0x80) == 0) { /* other standard OUT requests */
    *actual = (int)room;
    return 0;
  } else {
    return -EPIPE;
  }

  *actual = (int)MIN(reply_length, (size_t)room);
  memcpy(data, reply, (size_t)*actual);
  return 0;
}

/* ---- usbdevfs ---- */

static int is_bulk_in(const struct usbdevfs_urb* urb) {
  return urb->type == USBDEVFS_URB_TYPE_BULK && (urb->endpoint & 0x80);
}

static void free_queued_urb(gpointer p) {
  queued_urb* u = p;
  g_object_unref(u->data);
  g_free(u);
}

/* Answers a URB at its submission, or queues a board URB to be filled. */
static void start_urb(emu_device* d, queued_urb* u, double now) {
  struct usbdevfs_urb* urb = urb_of(u);
  uint8_t* buffer = urb->buffer;
  int status = 0, actual = 0;
  if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
    status = urb->buffer_length >= 8 ? control_transfer(d, buffer, urb->buffer_length, &actual) : -EPIPE;
  } else if (urb->endpoint == BOARD_ENDPOINT) {
    queue_board_urb(d, u, now);
    return;
  } else if (urb->endpoint & 0x80) { /* the other channels' boards are silent */
    actual = urb->buffer_length >= 2 ? 2 : 0;
    if (actual) buffer[0] = STATUS_BYTE_0, buffer[1] = STATUS_BYTE_1;
  } else {
    actual = urb->buffer_length;
    d->values[FTDI_EMU_BYTES_WRITTEN] += actual;
  }
  urb->status = status;
  urb->actual_length = actual;
  u->done = 1;
}

/* A closed handle's URBs are nobody's: open ones stop taking bytes. */
static void close_client_locked(client_state* c) {
  if (c->closed) return;
  c->closed = 1;
  emu_device* d = c->device;
  const double now = now_us();
  advance(d, now);
  for (const GList* l = c->urbs.head; l != NULL; l = l->next) {
    const queued_urb* u = l->data;
    if (is_bulk_in(urb_of(u))) d->values[FTDI_EMU_URBS_QUEUED]--;
    if (u->done) continue;
    if (g_queue_peek_head(&d->open_urbs) == u) d->latency_from_us = now;
    g_queue_remove(&d->open_urbs, u);
  }
  d->values[FTDI_EMU_OPEN_HANDLES]--;
  d->values[FTDI_EMU_CLAIMED_INTERFACES] -= __builtin_popcount(c->claimed);
  c->claimed = 0;
}

static void free_client_state(gpointer p) {
  client_state* c = p;
  pthread_mutex_lock(&lock);
  close_client_locked(c);
  g_queue_clear_full(&c->urbs, free_queued_urb);
  device_unref_locked(c->device);
  pthread_mutex_unlock(&lock);
  g_free(c);
}

static void on_client_notify(GObject* object, GParamSpec* pspec, gpointer user_data) {
  (void)pspec;
  client_state* c = user_data;
  if (umockdev_ioctl_client_get_connected(UMOCKDEV_IOCTL_CLIENT(object))) return;
  pthread_mutex_lock(&lock);
  close_client_locked(c);
  pthread_mutex_unlock(&lock);
}

static void on_client_connected(UMockdevIoctlBase* base, UMockdevIoctlClient* client, gpointer user_data) {
  (void)base;
  emu_device* d = user_data;
  client_state* c = g_new0(client_state, 1);
  pthread_mutex_lock(&lock);
  c->device = d;
  d->refs++;
  d->values[FTDI_EMU_OPEN_HANDLES]++;
  pthread_mutex_unlock(&lock);
  g_queue_init(&c->urbs);
  g_object_set_data_full(G_OBJECT(client), client_key, c, free_client_state);
  g_signal_connect(client, "notify::connected", G_CALLBACK(on_client_notify), c);
}

/* Resolves the ioctl argument as a pointer to `size` bytes. */
static UMockdevIoctlData* resolve_arg(UMockdevIoctlClient* client, gsize size) {
  return umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, size, NULL);
}

static int submit_urb(client_state* c, UMockdevIoctlClient* client, double now) {
  UMockdevIoctlData* urb_data = resolve_arg(client, sizeof(struct usbdevfs_urb));
  if (urb_data == NULL) return EFAULT;
  const struct usbdevfs_urb* urb = (const struct usbdevfs_urb*)urb_data->data;
  if (urb->buffer_length > 0) {
    UMockdevIoctlData* buffer =
        umockdev_ioctl_data_resolve(urb_data, G_STRUCT_OFFSET(struct usbdevfs_urb, buffer), urb->buffer_length, NULL);
    if (buffer == NULL) {
      g_object_unref(urb_data);
      return EFAULT;
    }
    g_object_unref(buffer); /* urb_data keeps it as its child */
  }
  queued_urb* u = g_new0(queued_urb, 1);
  u->data = urb_data;
  g_queue_push_tail(&c->urbs, u);
  if (is_bulk_in(urb)) c->device->values[FTDI_EMU_URBS_QUEUED]++;
  start_urb(c->device, u, now);
  return 0;
}

/* Bit of an endpoint (number and direction) in a set of endpoints. */
static uint32_t endpoint_bit(unsigned char endpoint) { return 1u << ((endpoint & 0x0F) | ((endpoint & 0x80) >> 3)); }

/* Reaps the oldest complete URB that no older URB of its endpoint holds up. */
static int reap_urb(client_state* c, UMockdevIoctlClient* client) {
  uint32_t held_up = 0;
  for (GList* l = c->urbs.head; l != NULL; l = l->next) {
    queued_urb* u = l->data;
    const uint32_t endpoint = endpoint_bit(urb_of(u)->endpoint);
    if (held_up & endpoint) continue;
    if (!u->done) {
      held_up |= endpoint;
      continue;
    }
    UMockdevIoctlData* target = resolve_arg(client, sizeof(void*));
    if (target == NULL) return EFAULT;
    g_queue_delete_link(&c->urbs, l);
    if (is_bulk_in(urb_of(u))) c->device->values[FTDI_EMU_URBS_QUEUED]--;
    umockdev_ioctl_data_set_ptr(target, 0, u->data);
    free_queued_urb(u);
    g_object_unref(target);
    return 0;
  }
  return g_queue_is_empty(&c->urbs) && c->device->unplugged ? ENODEV : EAGAIN;
}

/* Cancels an open URB: it completes at once with -ENOENT and what it holds.
 * One that is complete already stays to be reaped (EINVAL, as the kernel
 * answers). The argument is the URB's address in the client. */
static int discard_urb(client_state* c, UMockdevIoctlClient* client, double now) {
  const gulong address = *(const gulong*)umockdev_ioctl_client_get_arg(client)->data;
  for (const GList* l = c->urbs.head; l != NULL; l = l->next) {
    queued_urb* u = l->data;
    if (u->data->client_addr != address) continue;
    if (u->done) return EINVAL;
    finish_urb(c->device, u, -ENOENT, wire_length(c->device, u->data_held), now);
    c->device->values[FTDI_EMU_URBS_DISCARDED]++;
    return 0;
  }
  return EINVAL;
}

static int claim(client_state* c, UMockdevIoctlClient* client, int claiming) {
  UMockdevIoctlData* arg = resolve_arg(client, sizeof(unsigned));
  if (arg == NULL) return EFAULT;
  const unsigned interface = *(const unsigned*)arg->data;
  g_object_unref(arg);
  if (interface >= c->device->chip->interfaces) return EINVAL;
  if (claiming) {
    if (c->device->failing_steps & FTDI_EMU_FAIL_CLAIM) return EBUSY;
    if (c->claimed & (1u << interface)) return 0;
    c->claimed |= 1u << interface;
    c->device->values[FTDI_EMU_CLAIMED_INTERFACES]++;
  } else {
    if (!(c->claimed & (1u << interface))) return EINVAL;
    c->claimed &= ~(1u << interface);
    c->device->values[FTDI_EMU_CLAIMED_INTERFACES]--;
  }
  return 0;
}

static int capabilities(UMockdevIoctlClient* client) {
  UMockdevIoctlData* arg = resolve_arg(client, sizeof(uint32_t));
  if (arg == NULL) return EFAULT;
  *(uint32_t*)arg->data = USBFS_CAPS;
  g_object_unref(arg);
  return 0;
}

/* Returns the errno of the ioctl, 0 for success. */
static int dispatch(client_state* c, UMockdevIoctlClient* client, gulong request) {
  const double now = now_us();
  advance(c->device, now);
  if (c->device->unplugged && request != USBDEVFS_REAPURB && request != USBDEVFS_REAPURBNDELAY &&
      request != USBDEVFS_RELEASEINTERFACE)
    return ENODEV;
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
      return capabilities(client);
    case USBDEVFS_SUBMITURB:
      return submit_urb(c, client, now);
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
      return reap_urb(c, client);
    case USBDEVFS_DISCARDURB:
      return discard_urb(c, client, now);
    case USBDEVFS_CLAIMINTERFACE:
      return claim(c, client, 1);
    case USBDEVFS_RELEASEINTERFACE:
      return claim(c, client, 0);
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
      return 0;
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
      return ENODATA; /* no kernel driver is bound */
    default:
      return ENOTTY;
  }
}

static gboolean on_ioctl(UMockdevIoctlBase* base, UMockdevIoctlClient* client, gpointer user_data) {
  (void)base;
  (void)user_data;
  client_state* c = g_object_get_data(G_OBJECT(client), client_key);
  const gulong request = umockdev_ioctl_client_get_request(client);
  pthread_mutex_lock(&lock);
  const int error = c ? dispatch(c, client, request) : ENODEV;
  pthread_mutex_unlock(&lock);
  umockdev_ioctl_client_complete(client, error ? -1 : 0, error);
  return TRUE;
}

/* ---- API ---- */

/* umockdev redirects the device files only when its preload library was
 * loaded at process start; loading it later would not help. */
static int preload_active(void) {
  void* preload = dlopen("libumockdev-preload.so.0", RTLD_NOW | RTLD_NOLOAD);
  if (preload == NULL) return 0;
  dlclose(preload);
  return 1;
}

int ftdi_emu_start(void) {
  pthread_mutex_lock(&lock);
  int result = 0;
  if (testbed == NULL) {
    if (!preload_active()) {
      result = FTDI_EMU_ERR_NO_PRELOAD;
    } else {
      testbed = umockdev_testbed_new();
      if (testbed == NULL) result = FTDI_EMU_ERR_TESTBED;
      else devices = g_ptr_array_new();
    }
  }
  pthread_mutex_unlock(&lock);
  return result;
}

int ftdi_emu_started(void) {
  pthread_mutex_lock(&lock);
  const int started = testbed != NULL;
  pthread_mutex_unlock(&lock);
  return started;
}

/* Detaches and removes the device's sysfs entry. Called without the lock
 * because detaching waits for umockdev's worker thread, whose callbacks
 * take the lock. */
static void take_out(UMockdevTestbed* tb, char* syspath, char* devnode, UMockdevIoctlBase* handler) {
  umockdev_testbed_detach_ioctl(tb, devnode, NULL);
  umockdev_testbed_remove_device(tb, syspath);
  g_object_unref(handler);
  g_free(syspath);
  g_free(devnode);
}

static int remove_one(int id) {
  pthread_mutex_lock(&lock);
  emu_device* d = find_locked(id);
  if (d == NULL || testbed == NULL) {
    pthread_mutex_unlock(&lock);
    return -1;
  }
  if (d->removed) {
    pthread_mutex_unlock(&lock);
    return 0;
  }
  d->removed = 1;
  unplug_locked(d);
  UMockdevTestbed* tb = g_object_ref(testbed);
  char* syspath = g_strdup(d->syspath);
  char* devnode = g_strdup(d->devnode);
  UMockdevIoctlBase* handler = g_steal_pointer(&d->handler);
  pthread_mutex_unlock(&lock);
  take_out(tb, syspath, devnode, handler);
  g_object_unref(tb);
  return 0;
}

int ftdi_emu_remove_device(int id) { return remove_one(id); }

void ftdi_emu_remove_all(void) {
  pthread_mutex_lock(&lock);
  const int count = devices ? (int)devices->len : 0;
  pthread_mutex_unlock(&lock);
  for (int id = 0; id < count; ++id) remove_one(id);
}

static int64_t open_handles_locked(void) {
  int64_t open = 0;
  for (guint i = 0; devices && i < devices->len; ++i)
    open += ((emu_device*)g_ptr_array_index(devices, i))->values[FTDI_EMU_OPEN_HANDLES];
  return open;
}

/* How long stop waits for closes that umockdev has not reported yet. */
#define STOP_GRACE_US 1000000

int ftdi_emu_stop(void) {
  ftdi_emu_remove_all();
  const gint64 deadline = g_get_monotonic_time() + STOP_GRACE_US;
  pthread_mutex_lock(&lock);
  while (open_handles_locked() > 0 && g_get_monotonic_time() < deadline) {
    pthread_mutex_unlock(&lock);
    g_usleep(1000);
    pthread_mutex_lock(&lock);
  }
  if (open_handles_locked() > 0) {
    /* Without the testbed's worker thread the next ioctl of such a handle
     * would wait forever; kept, it fails with ENODEV. */
    pthread_mutex_unlock(&lock);
    return -1;
  }
  UMockdevTestbed* tb = g_steal_pointer(&testbed);
  GPtrArray* list = g_steal_pointer(&devices);
  if (list)
    for (guint i = 0; i < list->len; ++i) device_unref_locked(g_ptr_array_index(list, i));
  pthread_mutex_unlock(&lock);
  if (list) g_ptr_array_unref(list);
  if (tb) g_object_unref(tb);
  return 0;
}

int ftdi_emu_add_device(uint16_t vendor_id, uint16_t product_id, const char* manufacturer,
                        const char* description, const char* serial) {
  pthread_mutex_lock(&lock);
  if (testbed == NULL) {
    pthread_mutex_unlock(&lock);
    return -1;
  }
  emu_device* d = g_new0(emu_device, 1);
  d->id = (int)devices->len;
  d->refs = 1;
  d->vendor_id = vendor_id;
  d->product_id = product_id;
  d->chip = model_for(vendor_id, product_id);
  d->strings[1] = g_strdup(manufacturer);
  d->strings[2] = g_strdup(description);
  d->strings[3] = g_strdup(serial);
  d->garbage = g_byte_array_new();
  d->runs = g_array_new(FALSE, FALSE, sizeof(stream_run));
  d->advanced_us = now_us();
  g_queue_init(&d->open_urbs);
  d->values[FTDI_EMU_BITMODE] = d->values[FTDI_EMU_BITMASK] = d->values[FTDI_EMU_LATENCY_TIMER] = -1;

  /* Every device gets a bus address and sysfs name of its own for the whole
   * run, as umockdev keeps some traces of removed devices. */
  const int bus = 1 + d->id / MAX_DEVNUM, devnum = 1 + d->id % MAX_DEVNUM;
  d->syspath = g_strdup_printf("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-%06d", LISTING_ORDER_BASE - d->id);
  d->devnode = g_strdup_printf("/dev/bus/usb/%03d/%03d", bus, devnum);
  char* description_text = sysfs_description(d, bus, devnum);
  GError* error = NULL;
  gboolean added = umockdev_testbed_add_from_string(testbed, description_text, &error);
  g_free(description_text);
  if (added) {
    d->handler = umockdev_ioctl_base_new();
    g_signal_connect(d->handler, "handle-ioctl", G_CALLBACK(on_ioctl), d);
    g_signal_connect(d->handler, "client-connected", G_CALLBACK(on_client_connected), d);
    if (!umockdev_testbed_attach_ioctl(testbed, d->devnode, d->handler, &error)) added = FALSE;
  }
  if (!added) {
    if (error) fprintf(stderr, "ftdi_emulator: %s\n", error->message);
    g_clear_error(&error);
    g_clear_object(&d->handler);
    device_unref_locked(d);
    pthread_mutex_unlock(&lock);
    return -1;
  }
  g_ptr_array_add(devices, d);
  pthread_mutex_unlock(&lock);
  return d->id;
}

/* Runs `body` on the device `id` under the lock; returns -1 for unknown ids. */
#define WITH_DEVICE(id, body)                 \
  do {                                        \
    pthread_mutex_lock(&lock);                      \
    emu_device* d = find_locked(id);          \
    if (d == NULL) {                          \
      pthread_mutex_unlock(&lock);                  \
      return -1;                              \
    }                                         \
    body;                                     \
    pthread_mutex_unlock(&lock);                    \
    return 0;                                 \
  } while (0)

int ftdi_emu_set_unreadable_strings(int id, unsigned strings) { WITH_DEVICE(id, d->unreadable_strings = strings); }

int ftdi_emu_set_failing_steps(int id, unsigned steps) { WITH_DEVICE(id, d->failing_steps = steps); }

int ftdi_emu_set_stream_position(int id, uint64_t position) {
  WITH_DEVICE(id, {
    advance_to_now(d);
    clear_held(d);
    d->position = position;
  });
}

int ftdi_emu_set_pace(int id, double bytes_per_second) {
  WITH_DEVICE(id, {
    advance_to_now(d);
    d->pace = bytes_per_second > 0 ? bytes_per_second : 0;
    clear_held(d);
    d->running = d->pace > 0 && d->values[FTDI_EMU_BITMODE] >= 0 && !g_queue_is_empty(&d->open_urbs);
  });
}

int ftdi_emu_set_board_buffer(int id, uint64_t bytes) {
  WITH_DEVICE(id, {
    advance_to_now(d);
    d->board_buffer = bytes;
  });
}

int ftdi_emu_set_paused(int id, int paused) {
  WITH_DEVICE(id, {
    advance_to_now(d);
    d->paused = paused != 0;
  });
}

int ftdi_emu_set_bursts(int id, uint64_t burst_bytes, uint64_t quiet_us) {
  WITH_DEVICE(id, {
    advance_to_now(d);
    clear_held(d);
    d->burst_bytes = d->burst_left = burst_bytes;
    d->quiet_us = (double)quiet_us;
    d->quiet = 0;
  });
}

int ftdi_emu_set_waveform(int id, int on) {
  WITH_DEVICE(id, {
    advance_to_now(d);
    d->kind = on ? BOARD_STREAM_WAVEFORM : BOARD_STREAM_COUNTER;
  });
}

int ftdi_emu_fail_bulk_reads(int id, unsigned count, int status) {
  WITH_DEVICE(id, {
    d->failing_reads = count;
    d->failing_status = status;
  });
}

int ftdi_emu_unplug(int id) { WITH_DEVICE(id, unplug_locked(d)); }

int ftdi_emu_inject_garbage(int id, const uint8_t* bytes, size_t length) {
  WITH_DEVICE(id, {
    advance_to_now(d);
    const guint start = d->garbage->len;
    g_byte_array_set_size(d->garbage, start + (guint)length);
    if (length > 0 && bytes) memcpy(d->garbage->data + start, bytes, length);
    else if (length > 0) memset(d->garbage->data + start, GARBAGE_FILL, length);
  });
}

void ftdi_emu_stream_bytes(int waveform, uint64_t position, uint8_t* out, size_t length) {
  board_stream_bytes_of(waveform ? BOARD_STREAM_WAVEFORM : BOARD_STREAM_COUNTER, position, out, length);
}

int64_t ftdi_emu_value(int id, int what) {
  pthread_mutex_lock(&lock);
  emu_device* d = find_locked(id);
  int64_t value = FTDI_EMU_NO_VALUE;
  if (d != NULL && what >= 0 && what < VALUE_COUNT) {
    advance_to_now(d);
    switch (what) {
      case FTDI_EMU_STREAM_POSITION:
        value = (int64_t)(d->runs->len > 0 ? g_array_index(d->runs, stream_run, 0).position : d->position);
        break;
      case FTDI_EMU_CHIP_HELD:
        value = (int64_t)MIN(d->held, FTDI_EMU_CHIP_BUFFER);
        break;
      case FTDI_EMU_BOARD_HELD:
        value = (int64_t)(d->held > FTDI_EMU_CHIP_BUFFER ? d->held - FTDI_EMU_CHIP_BUFFER : 0);
        break;
      case FTDI_EMU_GARBAGE_PENDING:
        value = d->garbage->len;
        break;
      default:
        value = d->values[what];
    }
  }
  pthread_mutex_unlock(&lock);
  return value;
}

int ftdi_emu_wait_value(int id, int what, int64_t expected, int timeout_ms) {
  const gint64 deadline = g_get_monotonic_time() + (gint64)timeout_ms * 1000;
  for (;;) {
    if (ftdi_emu_value(id, what) == expected) return 0;
    if (g_get_monotonic_time() >= deadline) return -1;
    g_usleep(1000);
  }
}
