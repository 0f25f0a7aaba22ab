// The one thread on which every automation object of the web host lives.
//
// The thread initialises the runtime (CoInitialize) before it runs anything
// and uninitialises it last. Other threads hand it work with Run and wait for
// it; tasks run one at a time, in the order they were handed over. Between
// tasks, and at least every `tick` while it has nothing to do, it calls the
// tick function (for work that falls due with time, such as expiry).
//
// A task may itself wait for something that only a later task brings (a modal
// dialog waits for the task that closes it): it calls PumpUntil, which keeps
// running the queue from inside the task, as a modal loop does.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace vornweb {

class AutomationThread {
 public:
  using Task = std::function<void()>;

  // Starts the thread. `tick` runs on it as described above; `shutdown` runs
  // on it once, after the last task and before the runtime is uninitialised.
  AutomationThread(std::chrono::milliseconds tickInterval, Task tick, Task shutdown);
  // Stops the thread (see Stop).
  ~AutomationThread();
  AutomationThread(const AutomationThread&) = delete;
  AutomationThread& operator=(const AutomationThread&) = delete;

  // Runs `task` on the thread and returns when it has run. False, without
  // running it, once Stop has begun. Called on the thread itself, it runs
  // the task at once. An exception the task throws is swallowed.
  bool Run(Task task);

  // On the thread, from inside a task: runs queued tasks and ticks until
  // `done()` is true or the thread is stopping. False when it stopped.
  bool PumpUntil(const std::function<bool()>& done);

  // True once Stop has begun; on the thread, tasks use it to give up waits.
  bool Stopping() const;

  // Runs what is queued, then the shutdown function, and joins the thread.
  // Tasks handed over later are refused. Safe to call more than once.
  void Stop();

  bool OnThread() const { return std::this_thread::get_id() == thread_.get_id(); }

 private:
  struct Pending;

  void Main();
  // Runs one task, waiting up to one tick for it; false when none came.
  bool RunOne(std::unique_lock<std::mutex>& lock);

  const std::chrono::milliseconds tickInterval_;
  const Task tick_;
  const Task shutdown_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<Pending>> queue_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace vornweb
