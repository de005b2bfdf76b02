// Python arguments of the board's members that pybind11 cannot check alone:
// each is converted and checked by its type caster, so that a refused value
// raises an error that says what is accepted, and the signature names the
// accepted types.
#pragma once

#include <pybind11/chrono.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

namespace pynvk {

// The `timeout` property: a datetime.timedelta, or a float of seconds.
struct TimeoutArgument {
  std::chrono::nanoseconds value;
};

// take_block's timeout: seconds as any real number (int or float), or None
// for no limit.
struct BlockWaitArgument {
  std::optional<std::chrono::nanoseconds> value;
};

// The `read_ahead` property: a non-negative int of bytes.
struct ReadAheadArgument {
  uint64_t value;
  // Far beyond what USB drivers take; a larger value is a mistake.
  static constexpr int64_t kMost = int64_t{1} << 30;
};

}  // namespace pynvk

namespace pybind11::detail {

inline std::string python_type_name(handle src) { return Py_TYPE(src.ptr())->tp_name; }

// pybind11's duration conversion, refusing with OverflowError a value whose
// nanoseconds do not fit the signed 64-bit count (about 292 years either
// way), which would otherwise wrap around into some other timeout, with
// ValueError a NaN, and with a TypeError that names what is accepted anything
// that is neither a timedelta nor a float.
template <>
struct type_caster<pynvk::TimeoutArgument> {
  PYBIND11_TYPE_CASTER(pynvk::TimeoutArgument, const_name("datetime.timedelta | float"));

  bool load(handle src, bool convert) {
    if (!PyDateTimeAPI) PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw error_already_set();
    if (!PyDelta_Check(src.ptr()) && !PyFloat_Check(src.ptr())) {
      throw type_error("timeout must be a datetime.timedelta or a float of seconds, not " +
                       python_type_name(src));
    }
    if (PyFloat_Check(src.ptr()) && std::isnan(PyFloat_AsDouble(src.ptr()))) {
      throw value_error("timeout must be a number of seconds, not NaN");
    }
    if (!fits_nanoseconds(src)) {
      throw std::overflow_error("timeout must lie within 292 years either way (a signed 64-bit count of nanoseconds)");
    }
    make_caster<std::chrono::nanoseconds> nanoseconds;
    if (!nanoseconds.load(src, convert)) return false;
    value.value = cast_op<std::chrono::nanoseconds>(nanoseconds);
    return true;
  }

 private:
  static bool fits_nanoseconds(handle src) {
    constexpr __int128 kLowest = std::numeric_limits<int64_t>::min();
    constexpr __int128 kHighest = std::numeric_limits<int64_t>::max();
    if (PyDelta_Check(src.ptr())) {
      const __int128 microseconds =
          (__int128{PyDateTime_DELTA_GET_DAYS(src.ptr())} * 86'400 + PyDateTime_DELTA_GET_SECONDS(src.ptr())) *
              1'000'000 +
          PyDateTime_DELTA_GET_MICROSECONDS(src.ptr());
      return microseconds * 1000 >= kLowest && microseconds * 1000 <= kHighest;
    }
    // A float: the conversion multiplies in double precision.
    const double nanoseconds = PyFloat_AsDouble(src.ptr()) * 1e9;
    return nanoseconds >= -0x1p63 && nanoseconds < 0x1p63;
  }
};

// None waits without limit, and so does a wait beyond about 292 years of
// nanoseconds; zero or less does not wait. Refuses a bool, a NaN and what is
// no number.
template <>
struct type_caster<pynvk::BlockWaitArgument> {
  PYBIND11_TYPE_CASTER(pynvk::BlockWaitArgument, const_name("float | None"));

  bool load(handle src, bool) {
    if (src.is_none()) {
      value.value.reset();
      return true;
    }
    if (PyBool_Check(src.ptr()) || !PyNumber_Check(src.ptr())) {
      throw type_error("timeout must be a number of seconds or None, not " + python_type_name(src));
    }
    const double seconds = PyFloat_AsDouble(src.ptr());
    if (seconds == -1.0 && PyErr_Occurred()) throw error_already_set();
    if (std::isnan(seconds)) throw value_error("timeout must be a number of seconds, not NaN");
    if (seconds >= 9.2e9) {
      value.value.reset();
    } else {
      value.value = std::chrono::nanoseconds(static_cast<int64_t>(std::max(seconds, 0.0) * 1e9));
    }
    return true;
  }
};

template <>
struct type_caster<pynvk::ReadAheadArgument> {
  PYBIND11_TYPE_CASTER(pynvk::ReadAheadArgument, const_name("int"));

  bool load(handle src, bool) {
    if (!PyLong_Check(src.ptr()) || PyBool_Check(src.ptr())) {
      throw type_error("read_ahead must be an int of bytes, not " + python_type_name(src));
    }
    int overflow = 0;
    const long long bytes = PyLong_AsLongLongAndOverflow(src.ptr(), &overflow);
    const std::string shown = str(src).cast<std::string>();
    if (overflow < 0 || (overflow == 0 && bytes < 0)) throw value_error("read_ahead must not be negative, got " + shown);
    if (overflow > 0 || bytes > pynvk::ReadAheadArgument::kMost) {
      throw value_error("read_ahead must be at most " + std::to_string(pynvk::ReadAheadArgument::kMost) +
                        " bytes, got " + shown);
    }
    value.value = static_cast<uint64_t>(bytes);
    return true;
  }
};

}  // namespace pybind11::detail
