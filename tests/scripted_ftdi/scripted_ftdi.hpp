// A scripted stand-in for the libftdi functions the acquisition core calls.
// Test binaries link it in place of libftdi1, so the core's unchanged objects
// talk to a device whose every answer the test decides:
// - at most one attached device, with a chosen serial number and chosen
//   results for its open, interface and bit-mode steps;
// - every ftdi_read_data result comes from a script of read steps, then from
//   an optional source; when both are used up the read finds the script
//   exhausted: it waits up to the idle wait (so an idle reader does not spin),
//   returns 0 and wakes tests waiting in wait_exhausted;
// - every call is logged in order with its name and, for reads, the length
//   asked for;
// - two calls inside the stand-in at the same time, or a scripted read that
//   returns more bytes than were asked for, are recorded as faults.
//
// The state is process-wide (libftdi is a C API without a place for it) and
// guarded by one mutex; read steps run outside it, so a step may block.
// Tests use one context at a time; reset() before each test.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace scripted_ftdi {

// One ftdi_read_data answer: writes at most `length` bytes at `buffer` and
// returns what libftdi would (a byte count, or a negative error code).
using ReadStep = std::function<int32_t(uint8_t* buffer, int32_t length)>;
// Answers reads once the script is used up; nullopt when it has nothing left.
using ReadSource = std::function<std::optional<int32_t>(uint8_t* buffer, int32_t length)>;

struct Call {
  std::string name;
  int32_t length = 0;      // ftdi_read_data: bytes asked for; 0 for the others
  std::vector<int> args;   // ftdi_set_interface: interface; ftdi_set_bitmode: mask, mode
  bool exhausted = false;  // a read that found nothing left to answer with
  std::thread::id thread;
  // Compares what was called; who called and whether the script had run out
  // are left to the tests that care.
  bool operator==(const Call& other) const {
    return name == other.name && length == other.length && args == other.args;
  }
};

// Convenience constructors of expected calls.
Call read_call(int32_t length);
Call named_call(std::string name, std::vector<int> args = {});

struct DeviceSetup {
  bool context_available = true;      // whether ftdi_new succeeds
  std::optional<std::string> serial;  // the one attached device; none when empty
  int open_result = 0;
  int interface_result = 0;
  int bitmode_result = 0;
  std::chrono::microseconds idle_wait{1000};
};

// Forgets script, source, log and faults and attaches the described device.
void reset(DeviceSetup setup = {});

// A read that returns exactly these bytes; asking for fewer is a fault.
ReadStep bytes_read(std::vector<uint8_t> bytes);
// A read that writes nothing and returns `result` (0: no data, < 0: failure).
ReadStep result_read(int32_t result);

void queue_read(ReadStep step);
inline void queue_bytes(std::vector<uint8_t> bytes) { queue_read(bytes_read(std::move(bytes))); }
void set_source(ReadSource source);
// Called on every ftdi_tcioflush, after it is logged (e.g. to drop bytes).
void set_purge_hook(std::function<void()> hook);

std::vector<Call> calls();
// The calls up to, not including, the first read that found the script
// exhausted.
std::vector<Call> calls_before_exhaustion();
std::size_t read_count();
std::size_t steps_left();
std::size_t live_contexts();

// Wait until a read has found the script exhausted since the last step was
// queued, or until `n` reads have been made; false on timeout.
bool wait_exhausted(std::chrono::microseconds limit);
bool wait_reads(std::size_t n, std::chrono::milliseconds limit);

// Recorded faults (concurrent entry, overlong scripted reads); cleared.
std::vector<std::string> take_faults();

}  // namespace scripted_ftdi
