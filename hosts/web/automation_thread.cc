#include "hosts/web/automation_thread.h"

#include <future>
#include <utility>

#include "platform/runtime.h"

namespace vornweb {

struct AutomationThread::Pending {
  Task task;
  std::promise<void> done;
};

AutomationThread::AutomationThread(std::chrono::milliseconds tickInterval, Task tick,
                                   Task shutdown)
    : tickInterval_(tickInterval), tick_(std::move(tick)), shutdown_(std::move(shutdown)) {
  // Main reads thread_ (through OnThread) only after taking the lock.
  std::lock_guard<std::mutex> lock(mutex_);
  thread_ = std::thread([this] { Main(); });
}

AutomationThread::~AutomationThread() { Stop(); }

bool AutomationThread::Run(Task task) {
  if (OnThread()) {
    try {
      task();
    } catch (...) {
    }
    return true;
  }
  auto pending = std::make_shared<Pending>();
  pending->task = std::move(task);
  std::future<void> done = pending->done.get_future();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    queue_.push_back(pending);
  }
  wake_.notify_one();
  done.wait();
  return true;
}

bool AutomationThread::Stopping() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stopping_;
}

void AutomationThread::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable() && !OnThread()) thread_.join();
}

bool AutomationThread::RunOne(std::unique_lock<std::mutex>& lock) {
  if (queue_.empty()) wake_.wait_for(lock, tickInterval_);
  if (queue_.empty()) return false;
  std::shared_ptr<Pending> pending = std::move(queue_.front());
  queue_.pop_front();
  lock.unlock();
  try {
    pending->task();
  } catch (...) {
  }
  pending->done.set_value();
  lock.lock();
  return true;
}

bool AutomationThread::PumpUntil(const std::function<bool()>& done) {
  auto lastTick = std::chrono::steady_clock::now();
  for (;;) {
    if (done()) return true;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (stopping_) return false;
      RunOne(lock);
    }
    if (std::chrono::steady_clock::now() - lastTick >= tickInterval_) {
      tick_();
      lastTick = std::chrono::steady_clock::now();
    }
  }
}

void AutomationThread::Main() {
  CoInitialize(nullptr);
  auto lastTick = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_ || !queue_.empty()) {
    RunOne(lock);
    if (std::chrono::steady_clock::now() - lastTick >= tickInterval_) {
      lock.unlock();
      tick_();
      lastTick = std::chrono::steady_clock::now();
      lock.lock();
    }
  }
  lock.unlock();
  shutdown_();
  CoUninitialize();
}

}  // namespace vornweb
