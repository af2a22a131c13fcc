#include "common/BackgroundWorker.h"

#include <system_error>
#include <utility>

namespace zel {

BackgroundWorker::BackgroundWorker(size_t bound) : bound_(bound > 0 ? bound : 1) {
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    // No thread: post() runs each job itself.
  }
}

BackgroundWorker::~BackgroundWorker() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> hold(lock_);
    ending_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void BackgroundWorker::post(std::function<void()> job) {
  if (!thread_.joinable()) {
    job();
    return;
  }
  {
    std::unique_lock<std::mutex> hold(lock_);
    room_.wait(hold, [this] { return jobs_.size() < bound_; });
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

void BackgroundWorker::drain() {
  std::unique_lock<std::mutex> hold(lock_);
  idle_.wait(hold, [this] { return jobs_.empty() && !busy_; });
}

void BackgroundWorker::run() {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    wake_.wait(hold, [this] { return ending_ || !jobs_.empty(); });
    if (jobs_.empty()) return;  // ending, and nothing left to run
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    room_.notify_one();
    busy_ = true;
    hold.unlock();
    job();
    hold.lock();
    busy_ = false;
    if (jobs_.empty()) idle_.notify_all();
  }
}

}  // namespace zel
