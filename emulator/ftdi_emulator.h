/* Emulated FTDI chips with a PCB_RIX board behind them, for tests that drive
 * the real libftdi1 and libusb-1.0 in this process.
 *
 * The emulation is a umockdev testbed: every device is a faked sysfs entry
 * plus a /dev/bus/usb node whose usbdevfs ioctls are answered here. The
 * process must run with LD_PRELOAD=libumockdev-preload.so.0 (umockdev-wrapper)
 * and must call ftdi_emu_start before libusb makes its first context.
 *
 * The board behind interface A streams the frames of board_stream.h (counter
 * frames, or a waveform) without gaps. Its bytes reach the host the way a host
 * controller and an FT232H pass them on:
 * - Bulk IN URBs that are submitted and not yet complete ("open") take the
 *   bytes as the board makes them, oldest URB first, before the chip does;
 *   every packet (512 bytes on an FT232H) starts with the two modem-status
 *   bytes. A URB completes when full, or short when the chip's 16 ms latency
 *   timer runs out. The timer restarts whenever the chip sends the oldest
 *   open URB a whole packet, and when a URB becomes the oldest open one (it
 *   is submitted while none is open, or the one before it completes). A URB
 *   that got nothing then carries the two status bytes alone, one that got
 *   whole packets only ends with such a packet. A newly submitted URB first
 *   takes what the chip holds. A discarded URB completes at once with
 *   -ENOENT and what it holds. Each handle reaps its URBs in submission order
 *   per endpoint; other URBs (control, bulk OUT, the silent other channels)
 *   complete at their submission.
 * - With no URB open the chip holds up to FTDI_EMU_CHIP_BUFFER bytes.
 * - An unpaced board (the default) makes bytes as fast as they are taken: it
 *   fills every open URB at once and keeps the chip full.
 * - A paced board makes bytes_per_second, starting with the first bulk IN
 *   URB submitted after a bit mode request (not while the device is being
 *   opened). While the chip is full and no URB is open it stalls (no byte is
 *   lost, the stream stays gapless), unless it has a board buffer: then it
 *   cannot pause, and what finds the open URBs, the chip and that buffer full
 *   is dropped: its stream positions are skipped, so the host sees a gap
 *   there, and FTDI_EMU_BYTES_DROPPED counts it.
 * - A bursty board goes quiet for a set time after every set number of
 *   stream bytes it makes, so that transfers end inside frames.
 * - A purge of the receive side (SIO reset request, value 2) discards what
 *   the chip holds (not the board buffer, and not what open URBs hold: those
 *   are the host's already): the stream goes on from a later position.
 * The model runs lazily: every ioctl and every call here first brings it up
 * to the monotonic clock, so a process that issues no ioctl for a while (a
 * sleep, SIGSTOP) sees afterwards what a descheduled host would. A reader
 * waiting on a paced board spins on REAPURBNDELAY meanwhile, because the
 * faked device node always polls ready.
 *
 * Plain C types only, so that C++ tests and Python (ctypes) share it. Every
 * function is thread-safe. Devices are addressed by the id that
 * ftdi_emu_add_device returns; functions taking an id return -1 for an
 * unknown one and 0 on success unless stated otherwise. */
#ifndef PYNVK_EMULATOR_FTDI_EMULATOR_H
#define PYNVK_EMULATOR_FTDI_EMULATOR_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Bytes the chip holds for the host (an FT232H's receive buffer). */
#define FTDI_EMU_CHIP_BUFFER 1024

/* Results of ftdi_emu_start. */
#define FTDI_EMU_ERR_NO_PRELOAD (-2) /* not running under libumockdev-preload */
#define FTDI_EMU_ERR_TESTBED (-3)    /* the umockdev testbed could not be made */

/* Bits for ftdi_emu_set_unreadable_strings: requests for these string
 * descriptors are stalled, so libftdi cannot read them. */
#define FTDI_EMU_STRING_MANUFACTURER 0x1
#define FTDI_EMU_STRING_DESCRIPTION 0x2
#define FTDI_EMU_STRING_SERIAL 0x4
#define FTDI_EMU_STRING_ALL 0x7

/* Bits for ftdi_emu_set_failing_steps: set-up steps the chip refuses.
 * USB_OPEN stalls the SIO reset that ftdi_usb_open_dev sends (it returns -6);
 * CLAIM refuses to claim the interface with EBUSY, as when another driver or
 * process holds it (ftdi_usb_open_dev returns -5); BAUDRATE stalls the baud
 * rate request (ftdi_usb_open_dev returns -7); BITMODE stalls request 0x0B
 * (ftdi_set_bitmode returns -1). */
#define FTDI_EMU_FAIL_USB_OPEN 0x1
#define FTDI_EMU_FAIL_CLAIM 0x2
#define FTDI_EMU_FAIL_BAUDRATE 0x4
#define FTDI_EMU_FAIL_BITMODE 0x8

/* What ftdi_emu_value reports about a device. */
enum ftdi_emu_what {
  FTDI_EMU_BYTES_DELIVERED = 0,  /* data bytes put into bulk IN URBs (stream and garbage) */
  FTDI_EMU_STREAM_POSITION = 1,  /* stream position of the next stream byte the chip hands out */
  FTDI_EMU_CHIP_HELD = 2,        /* stream bytes the chip holds now */
  FTDI_EMU_BULK_IN_TRANSFERS = 3,/* bulk IN URBs completed on interface A, failed and discarded ones included */
  FTDI_EMU_FAILED_TRANSFERS = 4, /* bulk IN URBs that failed (injected or unplugged) */
  FTDI_EMU_RX_PURGES = 5,        /* SIO reset requests with value 2 (TCIFLUSH: the host's side) */
  FTDI_EMU_TX_PURGES = 6,        /* SIO reset requests with value 1 (TCOFLUSH: the board's side) */
  FTDI_EMU_RESETS = 7,           /* SIO reset requests with value 0 (port reset) */
  FTDI_EMU_BITMODE = 8,          /* last bit mode set (request 0x0B, value >> 8), -1 before any */
  FTDI_EMU_BITMASK = 9,          /* last bit mask set (value & 0xFF), -1 before any */
  FTDI_EMU_BITMODE_REQUESTS = 10,/* bit mode requests received, refused ones included */
  FTDI_EMU_LATENCY_TIMER = 11,   /* last latency timer set (request 0x09), -1 before any */
  FTDI_EMU_OPEN_HANDLES = 12,    /* device node handles open now */
  FTDI_EMU_CLAIMED_INTERFACES = 13, /* interfaces claimed now, over all handles */
  FTDI_EMU_CONTROL_TRANSFERS = 14,  /* control transfers received */
  FTDI_EMU_BYTES_WRITTEN = 15,   /* bulk OUT bytes received from the host */
  FTDI_EMU_GARBAGE_PENDING = 16, /* injected bytes not yet handed out */
  FTDI_EMU_BYTES_DROPPED = 17,   /* stream bytes a board that cannot pause dropped: they found its buffer full */
  FTDI_EMU_BOARD_HELD = 18,      /* stream bytes the board buffer holds now, beyond what the chip holds */
  FTDI_EMU_URBS_QUEUED = 19,     /* bulk IN URBs submitted and not yet reaped, over all handles */
  FTDI_EMU_URBS_DISCARDED = 20,  /* DISCARDURB requests that cancelled an open URB */
  FTDI_EMU_QUIET_SPELLS = 21     /* quiet spells a bursty board has begun */
};

/* Returned by ftdi_emu_value for an unknown id or `what`. */
#define FTDI_EMU_NO_VALUE INT64_MIN

/* Makes the testbed. Returns 0, or FTDI_EMU_ERR_NO_PRELOAD /
 * FTDI_EMU_ERR_TESTBED. Calling it while started returns 0. */
int ftdi_emu_start(void);

/* Removes every device and frees the testbed; harmless when not started.
 * Close every libftdi context that uses an emulated device first: while a
 * device handle stays open (after a grace of one second for closes still in
 * flight) the testbed is kept running, its handles fail with ENODEV, the
 * emulator stays started, and -1 is returned. Otherwise 0. */
int ftdi_emu_stop(void);

int ftdi_emu_started(void);

/* Adds a device; libusb enumerates devices in the order they were added.
 * Any string may be NULL (the device has no such string descriptor); strings
 * longer than 126 characters are cut to what a descriptor holds. Known FTDI
 * product ids get that chip's descriptors (0x6001 FT232R, 0x6010 FT2232H,
 * 0x6011 FT4232H, 0x6014 FT232H, 0x6015 FT-X); others look like an FT232H.
 * Returns the new id (>= 0), or -1 when not started. */
int ftdi_emu_add_device(uint16_t vendor_id, uint16_t product_id, const char* manufacturer,
                        const char* description, const char* serial);

/* Takes the device out of sysfs and fails every later request on handles
 * that are still open. The id stays valid for ftdi_emu_value. */
int ftdi_emu_remove_device(int id);

/* Removes every device (the testbed stays). */
void ftdi_emu_remove_all(void);

/* Set-up behaviour (FTDI_EMU_STRING_* and FTDI_EMU_FAIL_* bits). */
int ftdi_emu_set_unreadable_strings(int id, unsigned strings);
int ftdi_emu_set_failing_steps(int id, unsigned steps);

/* The stream position of the next byte the chip hands out; any byte, also
 * inside a frame. Resets what the chip holds. */
int ftdi_emu_set_stream_position(int id, uint64_t position);

/* Board pace in bytes per second; 0 means as fast as the emulation goes.
 * Empties the chip (the board makes what it held anew). A paced board makes
 * nothing until a bulk IN URB is submitted after a bit mode request; on a
 * device so configured that has a URB open, it starts at once. */
int ftdi_emu_set_pace(int id, double bytes_per_second);

/* Size in bytes of the buffer of a board that cannot pause; 0 (the default)
 * makes a board that pauses while the chip is full. Only a paced board uses
 * it. With a size, the board and the chip together hold up to
 * FTDI_EMU_CHIP_BUFFER + `bytes`, oldest first; a bulk IN transfer may take
 * all of it, as the buffer feeds the chip while the transfer runs. Changing
 * the size keeps what is held: a board that may pause again makes nothing
 * until the chip has room, and a smaller buffer keeps more than it can take
 * until it is read. */
int ftdi_emu_set_board_buffer(int id, uint64_t bytes);

/* A paused board sends nothing, not even what the chip holds: open bulk IN
 * URBs get nothing more and complete when the latency timer runs out. A paced
 * board makes nothing while paused. */
int ftdi_emu_set_paused(int id, int paused);

/* Bursts: after every `burst_bytes` stream bytes it makes (counted from the
 * oldest byte the chip holds now, which the board makes anew), the board
 * makes nothing for `quiet_us` microseconds, repeatedly. An unpaced board
 * makes a burst as fast as it is taken, a paced one at its pace; dropped bytes
 * count as made. The quiet time runs on while paused. 0 turns bursts off (the
 * default). */
int ftdi_emu_set_bursts(int id, uint64_t burst_bytes, uint64_t quiet_us);

/* Nonzero: the board sends the waveform frames of board_stream.h
 * (BOARD_STREAM_WAVEFORM) instead of the counter frames, from the next byte
 * the chip hands out; stream positions are the same for both. */
int ftdi_emu_set_waveform(int id, int on);

/* The next `count` bulk IN transfers fail with the URB status `status`, a
 * negative errno such as -EPIPE (stall: libusb reports LIBUSB_ERROR_PIPE) or
 * -EPROTO (LIBUSB_ERROR_IO); ftdi_read_data then returns that error. */
int ftdi_emu_fail_bulk_reads(int id, unsigned count, int status);

/* The device behaves as unplugged: open URBs complete with status -ENODEV
 * (keeping what they hold), and every later request and submission fails with
 * ENODEV (ftdi_read_data returns LIBUSB_ERROR_NO_DEVICE), string reads
 * included; reaping goes on until the handle's URBs are gone. Final for this
 * id. */
int ftdi_emu_unplug(int id);

/* Inserts `length` bytes at the point where the chip hands out its next byte;
 * then the stream goes on where it was. `bytes` NULL inserts 0xA5 bytes, which
 * contain no sync pair. A purge of the receive side discards pending ones. */
int ftdi_emu_inject_garbage(int id, const uint8_t* bytes, size_t length);

/* `length` bytes of the board stream from `position` into out: the waveform
 * frames when `waveform` is nonzero, else the counter frames. */
void ftdi_emu_stream_bytes(int waveform, uint64_t position, uint8_t* out, size_t length);

/* One FTDI_EMU_* value of a device, or FTDI_EMU_NO_VALUE. */
int64_t ftdi_emu_value(int id, int what);

/* Waits until ftdi_emu_value(id, what) == expected, polling each
 * millisecond. Returns 0 when it came, -1 after timeout_ms. Handles are
 * counted as closed a moment after close() returns, hence this. */
int ftdi_emu_wait_value(int id, int what, int64_t expected, int timeout_ms);

#ifdef __cplusplus
}
#endif

#endif
