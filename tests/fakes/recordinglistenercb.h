// An IVelmoraListenerCB that records what the listeners hand over, answers as steered, and lets a test hold
// the listener thread inside a callback. Every member may be called from any thread; observations are copies.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "agent/velmoralistenercb.h"
#include "fakes/redirectclient.h"

namespace hxt::test {

class RecordingListenerCB : public IVelmoraListenerCB {
 public:
  struct Fragment {
    Bytes bytes;
    bool first = false;
    u32 contextId = 0;
    std::shared_ptr<CVelmoraTcpListenerConnection> connection;
  };

  bool OnFirstRequestTcpFragmentAvailable(const unsigned char* data, u32 size,
                                          std::shared_ptr<CVelmoraTcpListenerConnection> connection,
                                          u32& contextId) override {
    std::lock_guard<std::mutex> lock(mutex_);
    contextId = nextContextId_++;
    fragments_.push_back({Bytes(data, data + size), true, contextId, std::move(connection)});
    return handOverResult_;
  }
  bool OnRequestTcpFragmentAvailable(const unsigned char* data, u32 size, u32 contextId) override {
    std::lock_guard<std::mutex> lock(mutex_);
    fragments_.push_back({Bytes(data, data + size), false, contextId, nullptr});
    return handOverResult_;
  }
  bool CloseSession(u32 contextId) override {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_.push_back(contextId);
    closeThreads_.push_back(std::this_thread::get_id());
    return true;
  }
  bool OnUdpRequestAvailable(const unsigned char* data, u32 size) override {
    std::unique_lock<std::mutex> lock(mutex_);
    datagrams_.emplace_back(data, data + size);
    if (holdDatagrams_) {
      ++held_;
      released_.wait(lock, [this] { return !holdDatagrams_; });
    }
    return handOverResult_;
  }
  void OnListenerException(u32) override {}

  // Steering. While held, datagrams wait inside OnUdpRequestAvailable until Release.
  void SetHandOverResult(bool result) { set(handOverResult_, result); }
  void HoldDatagrams() { set(holdDatagrams_, true); }
  void Release() {
    set(holdDatagrams_, false);
    released_.notify_all();
  }

  unsigned Held() { return copy(held_); }
  std::vector<Bytes> Datagrams() { return copy(datagrams_); }
  std::vector<Fragment> Fragments() { return copy(fragments_); }
  std::vector<u32> Closed() { return copy(closed_); }
  std::vector<std::thread::id> CloseThreads() { return copy(closeThreads_); }

 private:
  template <typename T>
  T copy(const T& member) {
    std::lock_guard<std::mutex> lock(mutex_);
    return member;
  }
  void set(bool& member, bool value) {
    std::lock_guard<std::mutex> lock(mutex_);
    member = value;
  }

  std::mutex mutex_;
  std::condition_variable released_;
  std::vector<Bytes> datagrams_;
  std::vector<Fragment> fragments_;
  std::vector<u32> closed_;
  std::vector<std::thread::id> closeThreads_;
  u32 nextContextId_ = 100;
  bool handOverResult_ = true, holdDatagrams_ = false;
  unsigned held_ = 0;
};

}  // namespace hxt::test
