// RunClock: the times the reader notes on blocks, in UTC nanoseconds, taken
// as the wall-clock time when a run starts plus the steady time since, so
// that they never go backwards while the run lasts (the wall clock may be
// set back meanwhile) and stay comparable between boards and instruments.
//
// Contract: start() and now_ns() are called by one thread at a time (start()
// before the reader exists, now_ns() by the reader). A later run starts from
// the wall clock again, but never below the last time given out.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

class RunClock {
 public:
  void start() {
    wall_at_start_ns_ = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    steady_at_start_ = std::chrono::steady_clock::now();
  }

  int64_t now_ns() {
    const auto since_start = std::chrono::steady_clock::now() - steady_at_start_;
    const int64_t now =
        wall_at_start_ns_ + std::chrono::duration_cast<std::chrono::nanoseconds>(since_start).count();
    latest_ns_ = std::max(latest_ns_, now);
    return latest_ns_;
  }

 private:
  int64_t wall_at_start_ns_ = 0;
  std::chrono::steady_clock::time_point steady_at_start_;
  int64_t latest_ns_ = 0;
};
