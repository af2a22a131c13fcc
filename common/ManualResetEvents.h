// A small set of manual-reset events sharing one lock, so one thread can wait for any of them:
// an event stays set until reset, and a wait returns the lowest set event of those it waits for.
#pragma once

#include <chrono>
#include <condition_variable>
#include <initializer_list>
#include <mutex>
#include <optional>

namespace zel {

template <size_t N>
class ManualResetEvents {
 public:
  void set(size_t event) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      state_[event] = true;
    }
    changed_.notify_all();
  }
  // Sets `event` and resets `cleared` in one step, so no waiter sees both set or neither.
  void setClearing(size_t event, size_t cleared) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      state_[cleared] = false;
      state_[event] = true;
    }
    changed_.notify_all();
  }
  void reset(size_t event) {
    std::lock_guard<std::mutex> hold(lock_);
    state_[event] = false;
  }
  bool isSet(size_t event) {
    std::lock_guard<std::mutex> hold(lock_);
    return state_[event];
  }
  // The first of `events` that is set, waiting up to `timeout` (none: forever); nullopt on time-out.
  std::optional<size_t> waitAny(std::initializer_list<size_t> events,
                                std::optional<std::chrono::milliseconds> timeout) {
    std::unique_lock<std::mutex> hold(lock_);
    auto ready = [&]() -> std::optional<size_t> {
      for (size_t e : events)
        if (state_[e]) return e;
      return std::nullopt;
    };
    std::optional<size_t> hit;
    auto predicate = [&] { return (hit = ready()).has_value(); };
    if (timeout)
      changed_.wait_for(hold, *timeout, predicate);
    else
      changed_.wait(hold, predicate);
    return hit;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool state_[N] = {};
};

}  // namespace zel
