// One helper thread that runs the jobs handed to it in the order they came, so that the main loop
// can pass on work that waits for the disk or takes the processor (a deletion, a sync, a parse or a
// compression) and go on meanwhile. When no thread can be started (the process is at its limit),
// every job runs at once in the thread that hands it over: only the overlap is lost, never a job.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace zel {

class BackgroundWorker {
 public:
  // At most `bound` jobs wait at once: a post beyond waits for the helper to catch up.
  explicit BackgroundWorker(size_t bound = 1024);
  // Runs what is still waiting, then ends the thread.
  ~BackgroundWorker();
  BackgroundWorker(const BackgroundWorker&) = delete;
  BackgroundWorker& operator=(const BackgroundWorker&) = delete;

  void post(std::function<void()> job);
  // Returns once every job handed over so far has run.
  void drain();
  // Whether jobs run on a thread of their own (else in the thread that posts them).
  bool threaded() const { return thread_.joinable(); }

 private:
  void run();

  std::mutex lock_;
  std::condition_variable wake_, idle_, room_;
  std::deque<std::function<void()>> jobs_;
  const size_t bound_;
  bool busy_ = false, ending_ = false;
  std::thread thread_;  // last: started once everything it uses is made
};

}  // namespace zel
