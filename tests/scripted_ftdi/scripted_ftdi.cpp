#include "scripted_ftdi.hpp"

#include <ftdi.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <utility>

namespace scripted_ftdi {
namespace {

struct State {
  std::mutex mutex;
  std::condition_variable changed;
  DeviceSetup setup;
  std::deque<ReadStep> script;
  ReadSource source;
  std::function<void()> purge_hook;
  std::vector<Call> log;
  std::vector<std::string> faults;
  std::size_t reads = 0;
  bool exhausted_since_queue = false;
  std::size_t live_contexts = 0;
};

State& state() {
  static State instance;
  return instance;
}

// The attached device is only ever compared and passed back, so any stable
// address serves as its libusb handle.
char device_tag;
libusb_device* const kDevice = reinterpret_cast<libusb_device*>(&device_tag);

void record_fault(std::string fault) {
  const std::lock_guard lock(state().mutex);
  state().faults.push_back(std::move(fault));
}

// libftdi contexts are not thread-safe, so two threads inside the stand-in at
// once means the caller let two threads use the device together.
std::atomic<int> threads_inside{0};

class EntryGuard {
 public:
  explicit EntryGuard(const char* name) {
    if (threads_inside.fetch_add(1) != 0) record_fault(std::string("concurrent entry into ") + name);
  }
  ~EntryGuard() { threads_inside.fetch_sub(1); }
  EntryGuard(const EntryGuard&) = delete;
  EntryGuard& operator=(const EntryGuard&) = delete;
};

void append_locked(Call call) {
  State& s = state();
  call.thread = std::this_thread::get_id();
  if (call.name == "ftdi_read_data") ++s.reads;
  if (call.exhausted) s.exhausted_since_queue = true;
  s.log.push_back(std::move(call));
  s.changed.notify_all();
}

void log_call(Call call) {
  const std::lock_guard lock(state().mutex);
  append_locked(std::move(call));
}

void copy_string(char* out, int capacity, const std::string& text) {
  if (out == nullptr || capacity <= 0) return;
  const std::size_t n = std::min(text.size(), static_cast<std::size_t>(capacity - 1));
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

int32_t clamped_result(int32_t result, int32_t length) {
  if (result <= length) return result;
  record_fault("a read step returned " + std::to_string(result) + " bytes for a read of " + std::to_string(length));
  return length;
}

}  // namespace

Call read_call(int32_t length) { return Call{"ftdi_read_data", length, {}, false, {}}; }
Call named_call(std::string name, std::vector<int> args) {
  return Call{std::move(name), 0, std::move(args), false, {}};
}

void reset(DeviceSetup setup) {
  State& s = state();
  const std::lock_guard lock(s.mutex);
  s.setup = std::move(setup);
  s.script.clear();
  s.source = nullptr;
  s.purge_hook = nullptr;
  s.log.clear();
  s.faults.clear();
  s.reads = 0;
  s.exhausted_since_queue = false;
}

void queue_read(ReadStep step) {
  State& s = state();
  const std::lock_guard lock(s.mutex);
  s.script.push_back(std::move(step));
  s.exhausted_since_queue = false;
  s.changed.notify_all();
}

ReadStep bytes_read(std::vector<uint8_t> bytes) {
  return [bytes = std::move(bytes)](uint8_t* buffer, int32_t length) {
    std::memcpy(buffer, bytes.data(), std::min(bytes.size(), static_cast<std::size_t>(length)));
    return static_cast<int32_t>(bytes.size());
  };
}

ReadStep result_read(int32_t result) {
  return [result](uint8_t*, int32_t) { return result; };
}

void set_source(ReadSource source) {
  State& s = state();
  const std::lock_guard lock(s.mutex);
  s.source = std::move(source);
  s.exhausted_since_queue = false;
}

void set_purge_hook(std::function<void()> hook) {
  const std::lock_guard lock(state().mutex);
  state().purge_hook = std::move(hook);
}

std::vector<Call> calls() {
  const std::lock_guard lock(state().mutex);
  return state().log;
}

std::vector<Call> calls_before_exhaustion() {
  std::vector<Call> log = calls();
  const auto first_exhausted = std::find_if(log.begin(), log.end(), [](const Call& c) { return c.exhausted; });
  log.erase(first_exhausted, log.end());
  return log;
}

std::size_t read_count() {
  const std::lock_guard lock(state().mutex);
  return state().reads;
}

std::size_t steps_left() {
  const std::lock_guard lock(state().mutex);
  return state().script.size();
}

std::size_t live_contexts() {
  const std::lock_guard lock(state().mutex);
  return state().live_contexts;
}

bool wait_exhausted(std::chrono::microseconds limit) {
  State& s = state();
  std::unique_lock lock(s.mutex);
  return s.changed.wait_for(lock, limit, [&s] { return s.exhausted_since_queue; });
}

bool wait_reads(std::size_t n, std::chrono::milliseconds limit) {
  State& s = state();
  std::unique_lock lock(s.mutex);
  return s.changed.wait_for(lock, limit, [&s, n] { return s.reads >= n; });
}

std::vector<std::string> take_faults() {
  const std::lock_guard lock(state().mutex);
  return std::exchange(state().faults, {});
}

}  // namespace scripted_ftdi

using scripted_ftdi::Call;
using scripted_ftdi::EntryGuard;
using scripted_ftdi::log_call;
using scripted_ftdi::state;

ftdi_context* ftdi_new(void) {
  const EntryGuard guard("ftdi_new");
  auto& s = state();
  const std::lock_guard lock(s.mutex);
  scripted_ftdi::append_locked(scripted_ftdi::named_call("ftdi_new"));
  if (!s.setup.context_available) return nullptr;
  ++s.live_contexts;
  return new ftdi_context{};
}

void ftdi_free(ftdi_context* ftdi) {
  const EntryGuard guard("ftdi_free");
  auto& s = state();
  const std::lock_guard lock(s.mutex);
  scripted_ftdi::append_locked(scripted_ftdi::named_call("ftdi_free"));
  if (ftdi == nullptr) return;
  --s.live_contexts;
  delete ftdi;
}

int ftdi_usb_find_all(ftdi_context*, ftdi_device_list** devlist, int, int) {
  const EntryGuard guard("ftdi_usb_find_all");
  auto& s = state();
  const std::lock_guard lock(s.mutex);
  scripted_ftdi::append_locked(scripted_ftdi::named_call("ftdi_usb_find_all"));
  *devlist = s.setup.serial ? new ftdi_device_list{nullptr, scripted_ftdi::kDevice} : nullptr;
  return s.setup.serial ? 1 : 0;
}

void ftdi_list_free(ftdi_device_list** devlist) {
  const EntryGuard guard("ftdi_list_free");
  log_call(scripted_ftdi::named_call("ftdi_list_free"));
  while (*devlist != nullptr) delete std::exchange(*devlist, (*devlist)->next);
}

int ftdi_usb_get_strings(ftdi_context*, libusb_device*, char* manufacturer, int mnf_len, char* description,
                         int desc_len, char* serial, int serial_len) {
  const EntryGuard guard("ftdi_usb_get_strings");
  auto& s = state();
  const std::lock_guard lock(s.mutex);
  scripted_ftdi::append_locked(scripted_ftdi::named_call("ftdi_usb_get_strings"));
  scripted_ftdi::copy_string(manufacturer, mnf_len, "NVK");
  scripted_ftdi::copy_string(description, desc_len, "PCB_RIX");
  scripted_ftdi::copy_string(serial, serial_len, s.setup.serial.value_or(""));
  return 0;
}

int ftdi_usb_open_dev(ftdi_context*, libusb_device*) {
  const EntryGuard guard("ftdi_usb_open_dev");
  auto& s = state();
  const std::lock_guard lock(s.mutex);
  scripted_ftdi::append_locked(scripted_ftdi::named_call("ftdi_usb_open_dev"));
  return s.setup.open_result;
}

int ftdi_set_interface(ftdi_context*, ftdi_interface interface) {
  const EntryGuard guard("ftdi_set_interface");
  auto& s = state();
  const std::lock_guard lock(s.mutex);
  scripted_ftdi::append_locked(scripted_ftdi::named_call("ftdi_set_interface", {interface}));
  return s.setup.interface_result;
}

int ftdi_set_bitmode(ftdi_context*, unsigned char bitmask, unsigned char mode) {
  const EntryGuard guard("ftdi_set_bitmode");
  auto& s = state();
  const std::lock_guard lock(s.mutex);
  scripted_ftdi::append_locked(scripted_ftdi::named_call("ftdi_set_bitmode", {bitmask, mode}));
  return s.setup.bitmode_result;
}

int ftdi_read_data(ftdi_context*, unsigned char* buf, int size) {
  const EntryGuard guard("ftdi_read_data");
  auto& s = state();
  std::unique_lock lock(s.mutex);
  if (s.script.empty() && s.source) {
    const scripted_ftdi::ReadSource source = s.source;
    lock.unlock();
    const std::optional<int32_t> result = source(buf, size);
    lock.lock();
    if (result) {
      scripted_ftdi::append_locked(scripted_ftdi::read_call(size));
      lock.unlock();
      return scripted_ftdi::clamped_result(*result, size);
    }
  }
  // Nothing to answer with: give the test a moment to queue more before
  // calling the read empty, so an idle reader neither spins nor floods the log.
  s.changed.wait_for(lock, s.setup.idle_wait, [&s] { return !s.script.empty(); });
  if (s.script.empty()) {
    Call call = scripted_ftdi::read_call(size);
    call.exhausted = true;
    scripted_ftdi::append_locked(std::move(call));
    return 0;
  }
  const scripted_ftdi::ReadStep step = std::move(s.script.front());
  s.script.pop_front();
  scripted_ftdi::append_locked(scripted_ftdi::read_call(size));
  lock.unlock();
  return scripted_ftdi::clamped_result(step(buf, size), size);
}

int ftdi_tcioflush(ftdi_context*) {
  const EntryGuard guard("ftdi_tcioflush");
  log_call(scripted_ftdi::named_call("ftdi_tcioflush"));
  std::function<void()> hook;
  {
    const std::lock_guard lock(state().mutex);
    hook = state().purge_hook;
  }
  if (hook) hook();
  return 0;
}

int ftdi_usb_close(ftdi_context*) {
  const EntryGuard guard("ftdi_usb_close");
  log_call(scripted_ftdi::named_call("ftdi_usb_close"));
  return 0;
}
