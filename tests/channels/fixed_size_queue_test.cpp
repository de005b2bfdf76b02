#include "channels/fixed_size_queue.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "channels/dynamic_array_2d.hpp"

namespace {

using namespace std::chrono_literals;
using channels::details::_fixed_size_queue;
using channels::full_policy::overwrite_last;
using Clock = std::chrono::steady_clock;

// Move-only element that keeps a count of the live values, so a test sees
// which elements the queue destroyed. Being move-only, it also makes any copy
// inside the queue a compile error.
class Tracked {
 public:
  Tracked(int id, int& live) : id_(id), live_(&live) { ++live; }
  Tracked(Tracked&& other) noexcept : id_(other.id_), live_(std::exchange(other.live_, nullptr)) {}
  Tracked& operator=(Tracked&&) = delete;
  ~Tracked() {
    if (live_ != nullptr) --*live_;
  }

  int id() const { return id_; }
  bool holds_value() const { return live_ != nullptr; }

 private:
  int id_;
  int* live_;
};

constexpr std::size_t kCapacity = 64;
using TrackedQueue = _fixed_size_queue<Tracked, kCapacity, overwrite_last>;
using IntQueue = _fixed_size_queue<int, kCapacity, overwrite_last>;

std::vector<int> ids(const TrackedQueue& queue) {
  std::vector<int> result;
  for (const auto& item : queue.items) result.push_back(item.id());
  return result;
}

std::vector<int> range(int first, int last) {
  std::vector<int> result;
  for (int id = first; id < last; ++id) result.push_back(id);
  return result;
}

Clock::duration elapsed_since(Clock::time_point start) { return Clock::now() - start; }

TEST(FixedSizeQueue, PopsInPushOrder) {
  IntQueue queue;
  queue.push(1);
  queue.push(2);
  EXPECT_EQ(queue.pop(0ns), 1);
  queue.push(3);
  EXPECT_EQ(queue.pop(0ns), 2);
  EXPECT_EQ(queue.pop(0ns), 3);
  EXPECT_EQ(queue.pop(0ns), std::nullopt);
}

TEST(FixedSizeQueue, PushIntoFullQueueReplacesNewestElement) {
  int live = 0;
  {
    TrackedQueue queue;
    for (int id = 0; id < static_cast<int>(kCapacity); ++id) queue.push(Tracked(id, live));
    EXPECT_EQ(ids(queue), range(0, 64));
    EXPECT_EQ(live, 64);

    queue.push(Tracked(64, live));
    std::vector<int> expected = range(0, 63);
    expected.push_back(64);
    EXPECT_EQ(ids(queue), expected);
    EXPECT_EQ(live, 64) << "the replaced element must be destroyed";

    for (int id : expected) {
      const auto popped = queue.pop(0ns);
      ASSERT_TRUE(popped.has_value());
      EXPECT_EQ(popped->id(), id);
    }
    EXPECT_FALSE(queue.pop(0ns).has_value());
  }
  EXPECT_EQ(live, 0);
}

TEST(FixedSizeQueue, MovesStorageInAndOutWithoutCopying) {
  _fixed_size_queue<DynamicArray2D<uint16_t>, kCapacity, overwrite_last> queue;
  DynamicArray2D<uint16_t> block(3, 5);
  const uint16_t* storage = block.data.data();

  queue.push(std::move(block));
  EXPECT_EQ(block.rows, 0u);
  EXPECT_EQ(block.data.capacity(), 0u);

  const auto popped = queue.pop(0ns);
  ASSERT_TRUE(popped.has_value());
  EXPECT_EQ(popped->data.data(), storage);
  EXPECT_EQ(popped->rows, 3u);
  EXPECT_TRUE(queue.items.empty());
}

TEST(FixedSizeQueue, DestructionDestroysHeldElements) {
  int live = 0;
  auto queue = channels::make_fixed_size_queue<TrackedQueue>();
  for (int id = 0; id < 10; ++id) queue->push(Tracked(id, live));
  ASSERT_EQ(live, 10);
  queue.reset();
  EXPECT_EQ(live, 0);
}

// Pops with `timeout` from another thread, pushes 50 ms later and checks that
// the pop waited for that push and returned its element.
void expect_pop_waits_for_push(std::optional<std::chrono::nanoseconds> timeout) {
  IntQueue queue;
  std::atomic<bool> returned{false};
  std::optional<int> received;
  std::thread consumer([&] {
    received = queue.pop(timeout);
    returned = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(returned) << "pop returned before anything was pushed";
  queue.push(42);
  consumer.join();
  EXPECT_EQ(received, 42);
}

TEST(FixedSizeQueueTimeout, NoTimeoutWaitsUntilPush) { expect_pop_waits_for_push(std::nullopt); }

TEST(FixedSizeQueueTimeout, LargestTimeoutSaturatesAndWaitsUntilPush) {
  expect_pop_waits_for_push(std::chrono::nanoseconds::max());
}

TEST(FixedSizeQueueTimeout, NonPositiveTimeoutReturnsAtOnce) {
  IntQueue queue;
  for (const auto timeout : {std::chrono::nanoseconds(0), std::chrono::nanoseconds(-1),
                             std::chrono::nanoseconds(-1h), std::chrono::nanoseconds::min()}) {
    const auto start = Clock::now();
    EXPECT_EQ(queue.pop(timeout), std::nullopt) << timeout.count();
    EXPECT_LT(elapsed_since(start), 1s) << timeout.count();
  }
  queue.push(7);
  EXPECT_EQ(queue.pop(-1ns), 7) << "a held element is taken without waiting";
}

TEST(FixedSizeQueueTimeout, PositiveTimeoutExpiresWhenNothingArrives) {
  IntQueue queue;
  const auto start = Clock::now();
  EXPECT_EQ(queue.pop(50ms), std::nullopt);
  const auto waited = elapsed_since(start);
  EXPECT_GE(waited, 50ms);
  EXPECT_LT(waited, 5s);
}

TEST(FixedSizeQueueTimeout, PositiveTimeoutReturnsElementPushedMeanwhile) {
  IntQueue queue;
  std::thread producer([&] {
    std::this_thread::sleep_for(20ms);
    queue.push(5);
  });
  const auto start = Clock::now();
  const auto popped = queue.pop(20s);
  const auto waited = elapsed_since(start);
  producer.join();
  EXPECT_EQ(popped, 5);
  EXPECT_LT(waited, 10s) << "pop must return on the push, not at its deadline";
}

TEST(FixedSizeQueueConcurrency, EachElementReachesExactlyOneConsumer) {
  constexpr int kElements = 2000;
  constexpr int kConsumers = 3;
  static constexpr int kStop = -1;
  // Room for every element, so no push replaces one while consumers lag.
  _fixed_size_queue<int, kElements + kConsumers, overwrite_last> queue;

  std::vector<std::vector<int>> received(kConsumers);
  std::vector<std::thread> consumers;
  for (auto& mine : received) {
    consumers.emplace_back([&queue, &mine] {
      for (auto value = queue.pop(std::nullopt); value != kStop; value = queue.pop(std::nullopt)) {
        mine.push_back(*value);
      }
    });
  }
  for (int value = 0; value < kElements; ++value) {
    queue.push(int(value));
    // Bursts with pauses let consumers run dry and wait on the queue.
    if (value % 100 == 0) std::this_thread::sleep_for(1ms);
  }
  for (int i = 0; i < kConsumers; ++i) queue.push(int(kStop));
  for (auto& consumer : consumers) consumer.join();

  std::vector<int> all;
  for (const auto& mine : received) {
    EXPECT_TRUE(std::ranges::is_sorted(mine)) << "each consumer sees push order";
    all.insert(all.end(), mine.begin(), mine.end());
  }
  std::ranges::sort(all);
  EXPECT_EQ(all, range(0, kElements));
}

TEST(FixedSizeQueueClosed, PushLeavesElementWithCaller) {
  int live = 0;
  TrackedQueue queue;
  queue.closed = true;
  Tracked element(1, live);
  queue.push(std::move(element));
  EXPECT_TRUE(element.holds_value());
  EXPECT_TRUE(queue.items.empty());
  EXPECT_EQ(live, 1);
}

TEST(FixedSizeQueueClosed, PushIntoFullQueueStillDropsNewestFirst) {
  int live = 0;
  TrackedQueue queue;
  for (int id = 0; id < static_cast<int>(kCapacity); ++id) queue.push(Tracked(id, live));
  queue.closed = true;
  Tracked element(64, live);
  queue.push(std::move(element));
  EXPECT_TRUE(element.holds_value());
  EXPECT_EQ(ids(queue), range(0, 63));
  EXPECT_EQ(live, 64);
}

TEST(FixedSizeQueueClosed, PopHandsOutHeldElementsThenReturnsAtOnce) {
  IntQueue queue;
  queue.push(1);
  queue.push(2);
  queue.closed = true;
  EXPECT_EQ(queue.pop(std::nullopt), 1);
  EXPECT_EQ(queue.pop(std::nullopt), 2);

  const auto start = Clock::now();
  EXPECT_EQ(queue.pop(std::nullopt), std::nullopt);
  EXPECT_EQ(queue.pop(20s), std::nullopt);
  EXPECT_LT(elapsed_since(start), 10s);
}

}  // namespace
