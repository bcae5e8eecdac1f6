// Reference-counted process-wide slot for the service's singletons.
//
// The slot holds at most one registered instance. A handle taken while an
// instance is registered shares it; the release that drops the count to zero
// clears the slot and deletes the object. A pointer that is released while it
// is no longer the registered instance is deleted at once, so a stale holder
// cannot leak the object it was handed.
#pragma once

#include <mutex>

namespace hxt {

template <typename T>
class CSingletonSlot {
 public:
  // Registers `instance` with count 1. False when an instance is registered or
  // the count is not 0; the caller keeps ownership then.
  static bool Register(T* instance) {
    std::lock_guard<std::mutex> lock(mutex());
    if (slot().instance != nullptr || slot().count != 0) return false;
    slot().instance = instance;
    slot().count = 1;
    return true;
  }

  static bool IsFree() {
    std::lock_guard<std::mutex> lock(mutex());
    return slot().instance == nullptr && slot().count == 0;
  }

  // The registered instance with one more reference, or null.
  static T* Acquire() {
    std::lock_guard<std::mutex> lock(mutex());
    if (slot().instance != nullptr) ++slot().count;
    return slot().instance;
  }

  // The registered instance without taking a reference (for existence tests).
  static T* Peek() {
    std::lock_guard<std::mutex> lock(mutex());
    return slot().instance;
  }

  static void Release(T* instance) {
    if (instance == nullptr) return;
    T* doomed = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex());
      if (instance == slot().instance) {
        if (slot().count > 0) --slot().count;
        if (slot().count == 0) {
          slot().instance = nullptr;
          doomed = instance;
        }
      } else {
        doomed = instance;
      }
    }
    // Deleted outside the lock: a destructor may log, and logging takes the
    // logger's own slot.
    delete doomed;
  }

 private:
  struct State {
    T* instance = nullptr;
    unsigned count = 0;
  };
  static State& slot() {
    static State state;
    return state;
  }
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
};

// Scoped reference to the registered instance of T (possibly none).
template <typename T>
class CInstanceSmartPtr {
 public:
  CInstanceSmartPtr() : instance_(CSingletonSlot<T>::Acquire()) {}
  ~CInstanceSmartPtr() { CSingletonSlot<T>::Release(instance_); }
  CInstanceSmartPtr(const CInstanceSmartPtr&) = delete;
  CInstanceSmartPtr& operator=(const CInstanceSmartPtr&) = delete;

  T* get() const { return instance_; }
  T* operator->() const { return instance_; }
  explicit operator bool() const { return instance_ != nullptr; }

 private:
  T* instance_;
};

}  // namespace hxt
