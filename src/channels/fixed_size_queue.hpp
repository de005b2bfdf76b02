// channels::details::_fixed_size_queue<T, N, Policy>: a bounded, thread-safe
// FIFO that passes sample blocks between the reader thread and Python callers.
//
// Contract:
// - Any thread may push or pop at any time; each operation holds the queue's
//   own mutex for its whole run, notification included, and never holds any
//   other lock.
// - push never waits (beyond the mutex). At capacity the Policy decides what
//   happens: overwrite_last destroys the newest element to make room.
// - pop waits on the condition variable: without limit when the timeout is
//   empty, never when it is zero or negative, otherwise until the timeout has
//   passed (a deadline past the steady clock's range saturates at its largest
//   time point, so a huge timeout means "wait without limit").
// - The queue owns what it holds; elements are moved in and out, never
//   copied. Destroying the queue destroys them. Destruction is legal only when
//   no thread is inside push or pop.
// - Not copyable, not movable. Made as its own allocation owned by a
//   std::shared_ptr; see make_fixed_size_queue.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace channels {

namespace full_policy {
// A push into a full queue replaces the newest element: the older ones keep
// their order and the incoming one goes to the back.
struct overwrite_last {};
}  // namespace full_policy

// now + timeout on the steady clock, saturated at the clock's largest time
// point instead of overflowing; a non-positive timeout gives "now".
inline std::chrono::steady_clock::time_point deadline_after(std::chrono::nanoseconds timeout) {
  using clock = std::chrono::steady_clock;
  const auto now = clock::now();
  if (timeout <= clock::duration::zero()) return now;
  const auto wait = std::chrono::duration_cast<clock::duration>(timeout);
  if (wait >= clock::time_point::max() - now) return clock::time_point::max();
  return now + wait;
}

namespace details {

template <typename T, std::size_t N, typename Policy>
struct _fixed_size_queue {
  static_assert(N > 0, "a queue needs room for at least one element");

  std::deque<T> items;
  std::mutex mutex;
  // Never set by this system; a closed queue refuses pushes and a pop on a
  // closed, empty queue returns at once.
  std::atomic<bool> closed{false};
  std::condition_variable cond;

  _fixed_size_queue() = default;
  _fixed_size_queue(const _fixed_size_queue&) = delete;
  _fixed_size_queue& operator=(const _fixed_size_queue&) = delete;

  // Moves from `item` only when it is stored.
  void push(T&& item) {
    const std::lock_guard lock(mutex);
    make_room(Policy{});
    if (closed) return;
    items.push_back(std::move(item));
    cond.notify_one();
  }

  // Elements held at the moment of the call.
  std::size_t size() {
    const std::lock_guard lock(mutex);
    return items.size();
  }

  std::optional<T> pop(std::optional<std::chrono::nanoseconds> timeout) {
    std::unique_lock lock(mutex);
    const auto ready = [this] { return !items.empty() || closed; };
    if (!timeout) {
      cond.wait(lock, ready);
    } else if (!cond.wait_until(lock, deadline_after(*timeout), ready)) {
      return std::nullopt;
    }
    if (items.empty()) return std::nullopt;
    std::optional<T> front(std::move(items.front()));
    items.pop_front();
    cond.notify_one();
    return front;
  }

 private:
  void make_room(full_policy::overwrite_last) {
    if (items.size() >= N) items.pop_back();
  }
};

}  // namespace details

// A new, empty, open queue, allocated on its own and owned by the returned
// pointer.
template <typename Queue>
std::shared_ptr<Queue> make_fixed_size_queue() {
  return std::shared_ptr<Queue>(new Queue());
}

}  // namespace channels
