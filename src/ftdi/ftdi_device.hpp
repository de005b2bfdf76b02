// FtdiDevice: the one owner of a libftdi context for a PCB_RIX board, and
// list_ftdi_serials, which finds boards by their USB strings.
//
// Contract:
// - An FtdiDevice has no lock. One thread at a time may call open, read,
//   purge or close on it; the board arranges that (its reader thread alone
//   reads while acquisition runs).
// - read blocks until libftdi returns: at most libftdi's USB read time-out
//   (5000 ms) per bulk transfer it issues. open and purge block for the USB
//   control transfers they send. close never throws.
// - Return codes of libftdi are not turned into exceptions. The only exception
//   thrown here is std::runtime_error when an operation finds no context
//   (ftdi_new failed, or the device was closed or moved from).
// - Move-only. Destruction closes the device; it is legal on any thread that
//   is not using the device at that moment.
// - list_ftdi_serials uses a context of its own and may run on any thread at
//   any time, also while boards are open.
#pragma once

#include <ftdi.h>

#include <cstdint>
#include <string>
#include <vector>

class FtdiDevice {
 public:
  // Makes a libftdi context. A failed ftdi_new leaves ctx null; open, read and
  // purge then throw.
  FtdiDevice();
  ~FtdiDevice();

  FtdiDevice(const FtdiDevice&) = delete;
  FtdiDevice& operator=(const FtdiDevice&) = delete;
  FtdiDevice(FtdiDevice&& other) noexcept;
  FtdiDevice& operator=(FtdiDevice&& other) noexcept;

  // Opens the first FTDI device whose serial number begins with `serial`
  // (compared over at most 128 characters), selects `interface` and sets
  // `mode` with `mask`. The first matching device is final: later ones are not
  // tried if it fails. Returns the new value of opened(), true only when the
  // USB open, the interface and the bit mode all succeeded.
  bool open(const std::string& serial, ftdi_interface interface, uint8_t mode, uint8_t mask);

  // ftdi_read_data: bytes placed at the start of `buffer` (0..length), or a
  // negative libftdi code.
  int32_t read(uint8_t* buffer, int32_t length);

  // ftdi_tcioflush: discards what the chip and libftdi hold in both
  // directions. Returns libftdi's code.
  int32_t purge();

  // Releases the USB device (if one is open) and the context. Does nothing
  // when there is no context.
  void close() noexcept;

  bool opened() const noexcept { return opened_; }
  ftdi_context* ctx() const noexcept { return ctx_; }

 private:
  ftdi_context* checked_ctx() const;

  ftdi_context* ctx_;
  bool opened_ = false;
};

// Serial numbers of the FTDI devices (libftdi's default ids) whose
// manufacturer string begins with `manufacturer` and whose description begins
// with `description`, in enumeration order. A device whose strings cannot be
// read is left out unless both texts are empty. Every libftdi failure gives an
// empty list or a device left out; only std::bad_alloc propagates.
std::vector<std::string> list_ftdi_serials(const std::string& manufacturer, const std::string& description);
