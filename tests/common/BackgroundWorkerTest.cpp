#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "common/BackgroundWorker.h"

namespace zel {
namespace {

using namespace std::chrono_literals;

// Jobs run on the helper, one at a time and in the order they came; drain() and the end of the
// worker wait for every one handed over, also for those still waiting when the worker ends.
TEST(BackgroundWorker, RunsEveryJobInOrderOnItsOwnThreadAndWaitsForThemAll) {
  std::vector<int> ran;
  std::atomic<bool> elsewhere{true};
  const auto caller = std::this_thread::get_id();
  {
    BackgroundWorker worker;
    ASSERT_TRUE(worker.threaded());
    for (int i = 0; i < 100; ++i)
      worker.post([&ran, &elsewhere, caller, i] {
        if (std::this_thread::get_id() == caller) elsewhere = false;
        ran.push_back(i);
      });
    worker.drain();
    EXPECT_EQ(ran.size(), 100u);
    worker.post([] { std::this_thread::sleep_for(50ms); });
    for (int i = 100; i < 110; ++i) worker.post([&ran, i] { ran.push_back(i); });
  }
  ASSERT_EQ(ran.size(), 110u);
  for (int i = 0; i < 110; ++i) EXPECT_EQ(ran[size_t(i)], i);
  EXPECT_TRUE(elsewhere);
}

// Beyond its bound a post waits for the helper to take a job, so a helper that falls behind
// holds back the one who hands it work instead of piling it up.
TEST(BackgroundWorker, APostBeyondTheBoundWaitsForTheHelper) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  BackgroundWorker worker(2);
  worker.post([released] { released.wait(); });  // taken at once: the helper is busy with it
  worker.post([] {});
  worker.post([] {});  // two waiting: the bound
  auto third = std::async(std::launch::async, [&worker] { worker.post([] {}); });
  EXPECT_EQ(third.wait_for(100ms), std::future_status::timeout) << "posted past the bound";
  release.set_value();
  EXPECT_EQ(third.wait_for(5s), std::future_status::ready);
  worker.drain();
}

}  // namespace
}  // namespace zel
