// Letting the interpreter lock go around native waits, in a way that stays
// safe when the interpreter exits meanwhile.
//
// At finalization CPython ends a daemon thread that asks for the lock back, or
// is still waiting for it, by unwinding its stack (pthread_exit). An unwind
// that leaves a noexcept frame, such as the destructor of pybind11's
// gil_scoped_release, terminates the process. So a thread that comes back
// once finalization has begun is parked until the process ends, as CPython
// would have ended it, without an unwind. A thread already waiting when
// finalization begins is unwound: the lock is asked for in plain code, where
// the unwind may pass, and Python references kept across the release are
// never dropped by that unwind, which runs without the lock: they are leaked
// instead.
#pragma once

#include <pybind11/pybind11.h>
#include <unistd.h>

#include <optional>
#include <type_traits>
#include <utility>

namespace pynvk {

// Takes the interpreter lock back for `state`.
inline void retake_gil(PyThreadState* state) {
  while (_Py_IsFinalizing()) pause();
  PyEval_RestoreThread(state);
}

// Runs `work` without the interpreter lock and returns its result with the
// lock held again. `work` must not touch Python.
template <typename Work>
auto without_gil(Work&& work) {
  using Result = std::invoke_result_t<Work>;
  PyThreadState* const state = PyEval_SaveThread();
  if constexpr (std::is_void_v<Result>) {
    try {
      work();
    } catch (...) {
      retake_gil(state);
      throw;
    }
    retake_gil(state);
  } else {
    std::optional<Result> result;
    try {
      result.emplace(work());
    } catch (...) {
      retake_gil(state);
      throw;
    }
    retake_gil(state);
    return std::move(*result);
  }
}

// A Python object held by a thread that lets the interpreter lock go: if the
// thread is ended while it asks for the lock back, the reference is leaked
// rather than dropped without the lock.
template <typename Object>
class KeptAcrossRelease {
 public:
  explicit KeptAcrossRelease(Object&& object) : object_(object.release()) {}
  KeptAcrossRelease(const KeptAcrossRelease&) = delete;
  KeptAcrossRelease& operator=(const KeptAcrossRelease&) = delete;
  ~KeptAcrossRelease() {
    if (object_ && PyGILState_Check()) object_.dec_ref();
  }

  // The object back, once the lock is held again.
  Object take() { return pybind11::reinterpret_steal<Object>(std::exchange(object_, pybind11::handle())); }

 private:
  pybind11::handle object_;
};

}  // namespace pynvk
