#include "scheduler.hpp"

#include <cstdio>
#include <exception>

namespace torvak_emu {

Scheduler::Scheduler() : thread_([this] { loop(); }) {}

Scheduler::~Scheduler() { stop(); }

void Scheduler::run_at(Clock::time_point when, Task task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    tasks_.emplace(when, std::move(task));
  }
  wake_.notify_one();
}

void Scheduler::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void Scheduler::loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (tasks_.empty()) {
      if (stopping_) return;
      wake_.wait(lock);
      continue;
    }
    auto first = tasks_.begin();
    if (first->first > Clock::now()) {
      if (stopping_) return;
      wake_.wait_until(lock, first->first);
      continue;
    }
    Task task = std::move(first->second);
    tasks_.erase(first);
    lock.unlock();
    try {
      task();
    } catch (const std::exception& error) {
      std::fprintf(stderr, "torvak_emu: scheduled task failed: %s\n", error.what());
    } catch (...) {
      std::fprintf(stderr, "torvak_emu: scheduled task failed\n");
    }
    lock.lock();
  }
}

}  // namespace torvak_emu
