// The service's side of the plug-in interfaces, for tests that drive a plug-in object directly: every
// callback recorded in order, with the thread it came on.
#pragma once

#include <hxtarrow/plugin.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fakes/testroot.h"

namespace hxt::test {

class RecordingService : public IVelmoraPluginCallback,
                         public ISWGPluginCallback,
                         public IPluginMessagingCallback {
 public:
  struct Event {
    std::string name;  // the callback's
    std::string text;  // a document, an answer's bytes, or a message as "to <- from topic payload"
    u32 handle, contextId, code;
    std::thread::id thread;
  };

  void Response(u32 handle, u32 contextId, const unsigned char* data, u32 size) override {
    add("Response", std::string(reinterpret_cast<const char*>(data), size), handle, contextId);
  }
  void ErrorOccurred(u32 handle, u32 contextId, u32 error) override {
    add("ErrorOccurred", "", handle, contextId, error);
  }
  void SystemErrorOccurred(u32 code) override { add("SystemErrorOccurred", "", 0, 0, code); }
  void ProtectionStateChanged(const char* json) override { add("ProtectionStateChanged", json); }
  void ChangeDnsRedirectionMode(const char* json) override { add("ChangeDnsRedirectionMode", json); }
  void UpgradeDetailsChanged(const char* json) override { add("UpgradeDetailsChanged", json); }
  void PluginStopped() override { add("PluginStopped"); }
  void SWGStateChanged(const char* json) override { add("SWGStateChanged", json); }
  void SWGStatsChanged(const char* json) override { add("SWGStatsChanged", json); }
  void SWGPluginStopped() override { add("SWGPluginStopped"); }
  u32 SendPluginMessage(const char* to, const char* from, const char* topic, const char* payload) override {
    add("SendPluginMessage", std::string(to) + " <- " + from + " " + topic + " " + payload);
    return messageResult;
  }

  // The events named `name` (every one when empty), in order.
  std::vector<Event> Events(const std::string& name = "") const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Event> found;
    for (const auto& event : events_)
      if (name.empty() || event.name == name) found.push_back(event);
    return found;
  }
  std::vector<std::string> Texts(const std::string& name) const {
    std::vector<std::string> texts;
    for (const auto& event : Events(name)) texts.push_back(event.text);
    return texts;
  }
  // Waits for `count` events named `name` (of any name when empty).
  bool WaitFor(const std::string& name, std::size_t count = 1,
               std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
    return test::WaitFor([&] { return Events(name).size() >= count; }, timeout);
  }

  u32 messageResult = 0;  // what SendPluginMessage answers

 private:
  void add(const char* name, std::string text = "", u32 handle = 0, u32 contextId = 0, u32 code = 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back({name, std::move(text), handle, contextId, code, std::this_thread::get_id()});
  }

  mutable std::mutex mutex_;
  std::vector<Event> events_;
};

}  // namespace hxt::test
