#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace torvak_emu {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, the clock of time.monotonic()

// One native thread that runs timed work (paced transfers) and work that must not run on
// umockdev's worker thread (a device unplugging itself calls back into the testbed, which
// waits for that worker). Never touches Python.
class Scheduler {
 public:
  using Task = std::function<void()>;

  Scheduler();
  ~Scheduler();
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  void run_at(Clock::time_point when, Task task);
  void post(Task task) { run_at(Clock::time_point::min(), std::move(task)); }
  // Runs what is already due, then ends the thread; later tasks are dropped.
  void stop();

 private:
  void loop();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::multimap<Clock::time_point, Task> tasks_;  // guarded by mutex_
  bool stopping_ = false;                         // guarded by mutex_
  std::thread thread_;
};

}  // namespace torvak_emu
