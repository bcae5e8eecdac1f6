// Steering of the fake plug-in modules built from tests/plugins/fakeplugin.cpp.
//
// Every fake module exports one C function, HxtFakePluginControl, which returns the module's control object.
// Through it a test scripts the results of the plug-in operations, reads back every call the service made
// (with its arguments), and makes the plug-in call the service back from a plug-in thread of its own. The
// fake DNS-protection plug-in also answers the DNS queries it receives through Send.
//
// The state lives in the module, so it lasts only while the module stays loaded: a test keeps the module
// loaded for as long as it steers it (hxt::test::FakePlugin in fakes/fakeplugin.h does that).
//
// Threads: every operation may be called from any thread. Calls of the
// service into the plug-in are recorded on the calling thread; callbacks run
// on the plug-in thread of the object that received the callback interface.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "hxtarrow/plugin.h"

#define HXT_FAKE_PLUGIN_CONTROL "HxtFakePluginControl"

namespace hxt::fake {

constexpr u32 kControlVersion = 1;

enum class PluginKind : u32 { Velmora = 0, Swg = 1, CloudDownloader = 2 };

// One call of the service into the module. `op` is qualified by the interface the object was made for
// ("IVelmoraPlugin::Init", "ISWGPlugin::ReceiveMessage", "ICloudDownloaderPlugin::Stop"), or is the export's
// name ("CreatePlugin"). Arguments are text: numbers in decimal, booleans "true"/"false", pointers as
// printf's %p gives them, null strings "(null)", data bytes unchanged. OpenSession records the handle it
// handed out as a fourth argument.
struct Call {
  std::string op;
  std::vector<std::string> args;
};

enum class Callback : u32 {
  // IVelmoraPluginCallback of the DNS-protection object
  Response,
  ErrorOccurred,
  ProtectionStateChanged,
  ChangeDnsRedirectionMode,
  UpgradeDetailsChanged,
  PluginStopped,
  // ISWGPluginCallback of the SWG object
  SWGStateChanged,
  SWGStatsChanged,
  SWGPluginStopped,
  // IPluginMessagingCallback of the object of `sender`
  SendPluginMessage,
  // ICloudDownloaderPluginCB of the cloud downloader object
  UpdateAvailable,
  UpdateInProgress,
};

struct CallbackRequest {
  Callback callback = Callback::PluginStopped;
  u32 handle = 0;         // Response, ErrorOccurred
  u32 contextId = 0;      // Response, ErrorOccurred
  u32 code = 0;           // ErrorOccurred
  std::string text;       // the JSON document, or the response bytes of Response
  bool nullText = false;  // pass null instead of `text` (documents and the message payload)
  // SendPluginMessage; its payload is `text`. An unset name is passed as null.
  std::optional<std::string> to, from, topic;
  PluginKind sender = PluginKind::Velmora;
};

inline CallbackRequest MakeCallback(Callback callback) {
  CallbackRequest request;
  request.callback = callback;
  return request;
}

// How the DNS-protection fake answers a message it receives through Send.
// TCP sessions (transport 1) carry length-prefixed messages that may arrive in
// pieces; each complete message is answered with a length-prefixed answer.
enum class DnsAnswerMode : u32 {
  Silent,   // record only
  Echo,     // the query itself with the response and recursion-available bits set
  Records,  // the records of the start script; other names NXDOMAIN, other types no data
};

class IFakePluginControl {
 public:
  virtual void Reset() = 0;  // Back to the module's built-in defaults; forgets recorded calls and callbacks.

  // ---- scripting
  // The result `op` returns from now on (0 until set).
  virtual void SetResult(const char* op, u32 result) = 0;
  virtual void SetSupportsInterface(bool supported) = 0;
  virtual void SetCreateReturnsNull(bool returnsNull) = 0;
  // Whether a successful InitiateStop is followed by PluginStopped (DNS) or
  // SWGPluginStopped (SWG) from the plug-in thread. On by default.
  virtual void SetReportStopped(bool report) = 0;
  virtual void SetDnsAnswerMode(DnsAnswerMode mode) = 0;
  // While held, answers are queued instead of sent; release sends them in order.
  virtual void SetHoldResponses(bool hold) = 0;
  virtual std::size_t ReleaseHeldResponses() = 0;

  // ---- observation
  virtual std::vector<Call> Calls() const = 0;
  virtual std::size_t CallCount(const char* op) const = 0;
  virtual u32 LiveObjects() const = 0;  // Objects made by CreatePlugin and not yet disposed of.

  // ---- callbacks into the service, on the plug-in thread of the object
  // that holds the callback interface. False when there is no such object or
  // it holds no callback interface (before Init/Register, after Uninit/Unregister).
  virtual bool Post(const CallbackRequest& request) = 0;
  // Posts and waits until the callback returned; `result` (may be null) gets
  // its return value. False also when it did not return within `timeoutMs`.
  virtual bool Fire(const CallbackRequest& request, long long* result, u32 timeoutMs) = 0;
  // On: answers (and answer errors) are given on the thread that called Send,
  // before Send returns, as a plug-in answering from memory does; off (the
  // default): from the plug-in thread. Held answers still wait for release.
  virtual void SetAnswerOnCaller(bool onCaller) = 0;

 protected:
  ~IFakePluginControl() = default;
};

}  // namespace hxt::fake

extern "C" {
// The control of the module; null when `version` is not kControlVersion.
typedef hxt::fake::IFakePluginControl* (*HxtFakePluginControlFn)(u32 version);
}
