// A minimal DNS-protection plug-in ("com.tarrow.plugin") for hxtarrowagent:
// it answers every DNS query with REFUSED. It shows the three exports, the
// object layout the service expects, and the one threading rule that matters
// most: the service is called back from the plug-in's own thread, never from
// inside a call the service is making.
//
// Build (see docs/plugins.md):
//   g++ -std=c++17 -shared -fPIC -fvisibility=hidden -I<sdk>/include exampleplugin.cpp -o example_plugin.so
//   -pthread
#include <hxtarrow/plugin.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace {

constexpr unsigned char kRcodeRefused = 5;

// Runs tasks one after the other on a thread of the plug-in's own.
class Worker {
 public:
  Worker() : thread_([this] { run(); }) {}
  ~Worker() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  void Post(std::function<void()> task) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
  }
  // Drops what has not run yet and waits for the task that is running.
  void Drain() {
    std::unique_lock<std::mutex> lock(mutex_);
    tasks_.clear();
    idle_.wait(lock, [this] { return !busy_; });
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
      wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
      if (stopping_) return;
      auto task = std::move(tasks_.front());
      tasks_.pop_front();
      busy_ = true;
      lock.unlock();
      task();
      lock.lock();
      busy_ = false;
      idle_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_, idle_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  bool busy_ = false;
  std::thread thread_;
};

class RefusingPlugin final : public IVelmoraPlugin {
 public:
  bool SupportsInterface(const char* interfaceId, u32 version) override {
    return interfaceId != nullptr && std::strcmp(interfaceId, HXT_VELMORA_PLUGIN_ID) == 0 && version == 1;
  }
  void Reserved() override {}
  void ReservedSink() override {}
  u32 ReceiveMessage(const char*, const char*, const char*, u64) override { return 0; }
  void ReceiveMessageResult(const char*, const char*, u32) override {}

  u32 Init(const char*, const char*, const char*, const char*, const char*, IVelmoraPluginCallback* callback,
           IPluginMessagingCallback*, void*) override {
    callback_ = callback;
    return callback != nullptr ? 0 : 1;
  }
  void Uninit() override {
    // After Uninit the service must not be called again.
    worker_.Drain();
    callback_ = nullptr;
  }
  u32 Start() override { return 0; }
  u32 InitiateStop() override {
    // Report the stop later, from our own thread: the service arms its stop
    // time-out only after this call has returned.
    worker_.Post([this] { callback_->PluginStopped(); });
    return 0;
  }

  u32 OpenSession(u32 contextId, const char*, u32 transport, u32* sessionHandle) override {
    if (sessionHandle == nullptr) return 1;
    std::lock_guard<std::mutex> lock(mutex_);
    *sessionHandle = nextHandle_++;
    sessions_[*sessionHandle] = Session{contextId, transport};
    return 0;
  }
  // Each Send is taken to hold one whole query (over TCP: with its two-byte
  // length in front). The answer is the query turned into a REFUSED reply.
  u32 Send(u32 sessionHandle, const unsigned char* data, u32 length) override {
    Session session;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto found = sessions_.find(sessionHandle);
      if (found == sessions_.end()) return 2;
      session = found->second;
    }
    const std::size_t prefix = session.transport == HXT_TRANSPORT_TCP ? 2 : 0;
    if (data == nullptr || length < prefix + 12) return 3;
    std::string reply(reinterpret_cast<const char*>(data), length);
    reply[prefix + 2] = static_cast<char>(reply[prefix + 2] | 0x80);  // a response
    reply[prefix + 3] = static_cast<char>(0x80 | kRcodeRefused);      // recursion available, REFUSED
    // The data is the service's only for the duration of Send: the reply is a copy.
    worker_.Post([this, sessionHandle, session, reply] {
      callback_->Response(sessionHandle, session.contextId,
                          reinterpret_cast<const unsigned char*>(reply.data()),
                          static_cast<u32>(reply.size()));
    });
    return 0;
  }
  u32 CloseSession(u32 sessionHandle) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return sessions_.erase(sessionHandle) == 1 ? 0 : 2;
  }
  u32 VpnStateChanged(const char*) override { return 0; }
  u32 UpgradeStateChanged(const char*) override { return 0; }
  u32 DnsRedirectionDisrupted() override { return 0; }

 private:
  struct Session {
    u32 contextId = 0;
    u32 transport = 0;
  };

  IVelmoraPluginCallback* callback_ = nullptr;
  std::mutex mutex_;
  std::map<u32, Session> sessions_;
  u32 nextHandle_ = 1;
  Worker worker_;  // last member: its thread stops before the rest goes away
};

const InterfaceDescriptor kInterfaces[] = {{HXT_VELMORA_PLUGIN_ID, nullptr}};

}  // namespace

extern "C" {

HXT_PLUGIN_EXPORT InterfaceList GetAvailableInterfaces(void) {
  return InterfaceList{kInterfaces, 1};
}

HXT_PLUGIN_EXPORT IPlugin* CreatePlugin(const char* interfaceId) {
  if (interfaceId == nullptr || std::strcmp(interfaceId, HXT_VELMORA_PLUGIN_ID) != 0) return nullptr;
  return new RefusingPlugin;
}

HXT_PLUGIN_EXPORT void DisposePlugin(IPlugin* object) {
  delete static_cast<RefusingPlugin*>(object);
}

}  // extern "C"
