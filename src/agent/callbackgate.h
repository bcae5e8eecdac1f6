// The door through which other threads' callbacks enter the orchestrator.
//
// A callback holds an Entry for as long as it runs; Close refuses every new
// entry from then on and waits until the callbacks inside have left, so
// that the owner can free what they use. Entries nest on one thread (a
// plug-in may answer synchronously from inside a request it was handed).
// Close must not be called from inside an entry.
#pragma once

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

  Entry Enter() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return Entry(nullptr);
    ++inside_;
    return Entry(this);
  }

  void Close() {
    std::unique_lock<std::mutex> lock(mutex_);
    closed_ = true;
    left_.wait(lock, [this] { return inside_ == 0; });
  }

  bool IsClosed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
  }

 private:
  void leave() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--inside_ == 0) left_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable left_;
  unsigned inside_ = 0;
  bool closed_ = false;
};

}  // namespace hxt
