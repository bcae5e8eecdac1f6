// A thread of the plug-in's own that runs tasks in time order. The service is
// called back only from here, never from inside a call the service makes.
#ifndef HXT_PLUGINS_PLUGINWORKER_H
#define HXT_PLUGINS_PLUGINWORKER_H

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "pluginlog.h"

namespace hxtplugin {

class PluginWorker {
 public:
  using Clock = std::chrono::steady_clock;

  PluginWorker() : thread_([this] { run(); }) {}
  // Drops what has not run yet and waits for the task that is running.
  ~PluginWorker() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      tasks_.clear();
    }
    wake_.notify_all();
    thread_.join();
  }
  PluginWorker(const PluginWorker&) = delete;
  PluginWorker& operator=(const PluginWorker&) = delete;

  void Post(std::function<void()> task) { PostAfter(Clock::duration::zero(), std::move(task)); }
  void PostAfter(Clock::duration delay, std::function<void()> task) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
      // Equal times keep their posting order: multimap inserts after equal keys.
      tasks_.emplace(Clock::now() + delay, std::move(task));
    }
    wake_.notify_all();
  }
  // Drops what has not run yet and waits for the task that is running; the
  // caller must not be a task.
  void Drain() {
    std::unique_lock<std::mutex> lock(mutex_);
    tasks_.clear();
    idle_.wait(lock, [this] { return !busy_; });
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
      if (tasks_.empty()) {
        wake_.wait(lock);
        continue;
      }
      const auto due = tasks_.begin()->first;
      if (Clock::now() < due) {
        wake_.wait_until(lock, due);
        continue;
      }
      auto task = std::move(tasks_.begin()->second);
      tasks_.erase(tasks_.begin());
      busy_ = true;
      lock.unlock();
      try {
        task();
      } catch (const std::exception& e) {
        // An exception must never leave the plug-in; the task's work is lost, the thread goes on.
        Log(LogLevel::Error, "plugin", std::string("task failed: ") + e.what());
      } catch (...) {
        Log(LogLevel::Error, "plugin", "task failed");
      }
      lock.lock();
      busy_ = false;
      idle_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_, idle_;
  std::multimap<Clock::time_point, std::function<void()>> tasks_;
  bool stopping_ = false;
  bool busy_ = false;
  std::thread thread_;  // last: starts once the rest is built
};

}  // namespace hxtplugin

#endif  // HXT_PLUGINS_PLUGINWORKER_H
