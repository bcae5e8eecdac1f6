// An IVelmoraListenerCB that records what the listeners hand over, answers
// as steered, and lets a test hold the listener thread inside a callback.
// Every member may be called from any thread; observations are copies.
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
  void SetHandOverResult(bool result) {
    locked([&] { handOverResult_ = result; });
  }
  void HoldDatagrams() {
    locked([&] { holdDatagrams_ = true; });
  }
  void Release() {
    locked([&] { holdDatagrams_ = false; });
    released_.notify_all();
  }

  unsigned Held() {
    return locked([&] { return held_; });
  }
  std::vector<Bytes> Datagrams() {
    return locked([&] { return datagrams_; });
  }
  std::vector<Fragment> Fragments() {
    return locked([&] { return fragments_; });
  }
  std::vector<u32> Closed() {
    return locked([&] { return closed_; });
  }
  std::vector<std::thread::id> CloseThreads() {
    return locked([&] { return closeThreads_; });
  }

 private:
  template <typename F>
  auto locked(F f) -> decltype(f()) {
    std::lock_guard<std::mutex> lock(mutex_);
    return f();
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
