#include "ftdi/ftdi_device.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <utility>

namespace {

// libftdi writes each USB string NUL-terminated into a buffer of this size,
// so no comparison can look at more characters than this.
constexpr std::size_t kStringBufferSize = 128;

using StringBuffer = std::array<char, kStringBufferSize>;

// True when `requested` and the zero-filled, NUL-terminated `read` agree on
// the first min(len(requested), 128) characters: a prefix rule, so an empty
// request matches anything, a request longer than the device's string does
// not, and one of 128 characters or more matches nothing (libftdi always ends
// the string with a NUL inside the buffer).
bool string_matches(const std::string& requested, const StringBuffer& read) {
  const std::size_t compared = std::min(requested.size(), kStringBufferSize);
  return std::memcmp(requested.data(), read.data(), compared) == 0;
}

// Frees a device list however the scope is left.
struct DeviceList {
  ftdi_device_list* head = nullptr;
  DeviceList() = default;
  DeviceList(const DeviceList&) = delete;
  DeviceList& operator=(const DeviceList&) = delete;
  ~DeviceList() { ftdi_list_free(&head); }
};

struct ListingContextDeleter {
  void operator()(ftdi_context* ctx) const {
    ftdi_usb_close(ctx);
    ftdi_free(ctx);
  }
};

}  // namespace

FtdiDevice::FtdiDevice() : ctx_(ftdi_new()) {}

FtdiDevice::~FtdiDevice() { close(); }

FtdiDevice::FtdiDevice(FtdiDevice&& other) noexcept
    : ctx_(std::exchange(other.ctx_, nullptr)), opened_(std::exchange(other.opened_, false)) {}

FtdiDevice& FtdiDevice::operator=(FtdiDevice&& other) noexcept {
  if (this != &other) {
    close();
    ctx_ = std::exchange(other.ctx_, nullptr);
    opened_ = std::exchange(other.opened_, false);
  }
  return *this;
}

ftdi_context* FtdiDevice::checked_ctx() const {
  if (ctx_ == nullptr) throw std::runtime_error("Can't call libftdi function, ctx handle is null");
  return ctx_;
}

bool FtdiDevice::open(const std::string& serial, ftdi_interface interface, uint8_t mode, uint8_t mask) {
  DeviceList devices;
  if (ftdi_usb_find_all(checked_ctx(), &devices.head, 0, 0) < 0) return opened_;

  for (ftdi_device_list* entry = devices.head; entry != nullptr; entry = entry->next) {
    StringBuffer read_serial{};
    ftdi_usb_get_strings(checked_ctx(), entry->dev, nullptr, 0, nullptr, 0, read_serial.data(),
                         kStringBufferSize);
    if (!string_matches(serial, read_serial)) continue;

    // Each step runs whatever the earlier ones returned; only all three
    // succeeding makes the device usable.
    const int opened_dev = ftdi_usb_open_dev(checked_ctx(), entry->dev);
    const int selected = ftdi_set_interface(checked_ctx(), interface);
    const int moded = ftdi_set_bitmode(checked_ctx(), mask, mode);
    opened_ = opened_dev == 0 && selected == 0 && moded == 0;
    break;
  }
  return opened_;
}

int32_t FtdiDevice::read(uint8_t* buffer, int32_t length) { return ftdi_read_data(checked_ctx(), buffer, length); }

int32_t FtdiDevice::purge() { return ftdi_tcioflush(checked_ctx()); }

void FtdiDevice::close() noexcept {
  if (ctx_ == nullptr) return;
  ftdi_usb_close(ctx_);
  ftdi_free(ctx_);
  ctx_ = nullptr;
}

std::vector<std::string> list_ftdi_serials(const std::string& manufacturer, const std::string& description) {
  std::vector<std::string> serials;
  const std::unique_ptr<ftdi_context, ListingContextDeleter> ctx(ftdi_new());
  if (!ctx) return serials;

  DeviceList devices;
  if (ftdi_usb_find_all(ctx.get(), &devices.head, 0, 0) < 0) return serials;

  for (ftdi_device_list* entry = devices.head; entry != nullptr; entry = entry->next) {
    StringBuffer read_manufacturer{};
    StringBuffer read_description{};
    StringBuffer read_serial{};
    ftdi_usb_get_strings(ctx.get(), entry->dev, read_manufacturer.data(), kStringBufferSize,
                         read_description.data(), kStringBufferSize, read_serial.data(), kStringBufferSize);
    if (!string_matches(manufacturer, read_manufacturer)) continue;
    if (!string_matches(description, read_description)) continue;
    serials.emplace_back(read_serial.data());
  }
  return serials;
}
