// An IVelmoraListenerCB that records what the listeners hand over, answers
// as steered, and lets a test hold the listener thread inside a callback.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
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
    std::unique_lock<std::mutex> lock(mutex_);
    contextId = nextContextId_++;
    fragments_.push_back({Bytes(data, data + size), true, contextId, std::move(connection)});
    changed_.notify_all();
    return handOverResult_;
  }
  bool OnRequestTcpFragmentAvailable(const unsigned char* data, u32 size, u32 contextId) override {
    std::lock_guard<std::mutex> lock(mutex_);
    fragments_.push_back({Bytes(data, data + size), false, contextId, nullptr});
    changed_.notify_all();
    return handOverResult_;
  }
  bool CloseSession(u32 contextId) override {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_.push_back(contextId);
    closeThreads_.push_back(std::this_thread::get_id());
    changed_.notify_all();
    return true;
  }
  bool OnUdpRequestAvailable(const unsigned char* data, u32 size) override {
    std::unique_lock<std::mutex> lock(mutex_);
    datagrams_.emplace_back(data, data + size);
    changed_.notify_all();
    if (throwOnDatagram_) throw std::runtime_error("listener test failure");
    if (holdDatagrams_) {
      ++held_;
      changed_.notify_all();
      changed_.wait(lock, [this] { return !holdDatagrams_; });
    }
    return handOverResult_;
  }
  void OnListenerException(u32 family) override {
    std::lock_guard<std::mutex> lock(mutex_);
    exceptions_.push_back(family);
  }

  // Steering.
  void SetHandOverResult(bool result) {
    std::lock_guard<std::mutex> lock(mutex_);
    handOverResult_ = result;
  }
  void ThrowOnDatagram() {
    std::lock_guard<std::mutex> lock(mutex_);
    throwOnDatagram_ = true;
  }
  // Datagrams that arrive are held inside OnUdpRequestAvailable until Release.
  void HoldDatagrams() {
    std::lock_guard<std::mutex> lock(mutex_);
    holdDatagrams_ = true;
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    holdDatagrams_ = false;
    changed_.notify_all();
  }
  unsigned Held() {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_;
  }

  // Observations (copies).
  std::vector<Bytes> Datagrams() {
    std::lock_guard<std::mutex> lock(mutex_);
    return datagrams_;
  }
  std::vector<Fragment> Fragments() {
    std::lock_guard<std::mutex> lock(mutex_);
    return fragments_;
  }
  std::vector<u32> Closed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
  }
  std::vector<std::thread::id> CloseThreads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return closeThreads_;
  }
  std::vector<u32> Exceptions() {
    std::lock_guard<std::mutex> lock(mutex_);
    return exceptions_;
  }
  // Drops the connections the fragments hold.
  void ForgetConnections() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& f : fragments_) f.connection.reset();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Bytes> datagrams_;
  std::vector<Fragment> fragments_;
  std::vector<u32> closed_;
  std::vector<std::thread::id> closeThreads_;
  std::vector<u32> exceptions_;
  u32 nextContextId_ = 100;
  bool handOverResult_ = true;
  bool throwOnDatagram_ = false;
  bool holdDatagrams_ = false;
  unsigned held_ = 0;
};

}  // namespace hxt::test
