// The door through which other threads' callbacks enter the orchestrator.
//
// A callback holds an Entry for as long as it runs; Close refuses every new
// entry from then on and waits until the callbacks inside have left, so
// that the owner can free what they use. Entries nest on one thread (a
// plug-in may answer synchronously from inside a request it was handed).
// Close must not be called from inside an entry.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace hxt {

class CCallbackGate {
 public:
  class Entry {
   public:
    explicit Entry(CCallbackGate* gate) : gate_(gate) {}
    Entry(Entry&& other) noexcept : gate_(other.gate_) { other.gate_ = nullptr; }
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    Entry& operator=(Entry&&) = delete;
    ~Entry() {
      if (gate_ != nullptr) gate_->leave();
    }
    explicit operator bool() const { return gate_ != nullptr; }

   private:
    CCallbackGate* gate_;
  };

  // Every request and every answer passes here, on two threads at once: an
  // entry costs one atomic update, and the mutex is only for Close's wait.
  Entry Enter() {
    if (state_.fetch_add(1, std::memory_order_acquire) & kClosed) {
      leave();
      return Entry(nullptr);
    }
    return Entry(this);
  }

  void Close() {
    std::unique_lock<std::mutex> lock(mutex_);
    state_.fetch_or(kClosed, std::memory_order_acq_rel);
    left_.wait(lock, [this] { return state_.load(std::memory_order_acquire) == kClosed; });
  }

  bool IsClosed() { return (state_.load(std::memory_order_acquire) & kClosed) != 0; }

 private:
  static constexpr unsigned kClosed = 1u << 31;  // the other bits count the callbacks inside

  void leave() {
    // The last one out after Close tells it, under the mutex so that the
    // notice cannot fall between Close's test and its wait.
    if (state_.fetch_sub(1, std::memory_order_acq_rel) == (kClosed | 1u)) {
      std::lock_guard<std::mutex> lock(mutex_);
      left_.notify_all();
    }
  }

  std::atomic<unsigned> state_{0};
  std::mutex mutex_;
  std::condition_variable left_;
};

}  // namespace hxt
