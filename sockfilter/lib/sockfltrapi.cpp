// libhx_sock_fltr_api: the filter library the agent loads, a client of the
// hxsockfilterd daemon over its control socket.
//
// Every instance owns one control connection (CControlClient). The DNS
// plug-in's instance (IVelmoraApi) keeps its connection for as long as the
// plug-in is open and restores it when the daemon restarts; the sibling
// instances only connect for the few calls the agent makes on them. Result
// codes beyond 0 and 40 are listed in common/controlproto.h and in
// docs/sockfilter.md.
#include <new>

#include "common/controlproto.h"
#include "hxtarrow/sockfltrapi.h"
#include "lib/controlclient.h"

namespace hxt::sockfilter {
namespace {

// Operations the agent never calls answer this.
constexpr ngc_error_t kNotSupported = kErrInvalidArgument;

class CVelmoraApi final : public IVelmoraApi {
 public:
  CVelmoraApi() : client_(ApiInterface::Velmora, true) {}
  ngc_error_t Reserved0() override { return kNotSupported; }
  // Opening at start-up makes a missing daemon visible early and clears
  // whatever an earlier agent left behind.
  bool IsPreloadNeeded() override { return true; }
  bool IsPluginOpen() override { return client_.IsOpen(); }
  ngc_error_t OpenPlugin(IKdfApiCB* callback) override { return client_.Open("", callback); }
  ngc_error_t ClosePlugin() override { return client_.Close(); }
  ngc_error_t Clear() override { return client_.Clear(); }
  ngc_error_t SetParameters(IVelmoraInfo* info) override {
    u32 kind = 0;
    FilterParameters record;
    if (!ReadParameterRecord(info, kind, record)) return kErrInvalidArgument;
    return client_.SetParameters(kind, record);
  }
  ngc_error_t StartEncryptedDnsHandling() override { return client_.StartEncryptedDnsHandling(); }

 private:
  CControlClient client_;
};

class CVpnDnsApi final : public IVpnDnsApi {
 public:
  CVpnDnsApi() : client_(ApiInterface::VpnDns, false) {}
  ngc_error_t Reserved0() override { return kNotSupported; }
  ngc_error_t Reserved1() override { return kNotSupported; }
  ngc_error_t Reserved2() override { return kNotSupported; }
  ngc_error_t OpenPlugin(IKdfApiCB* callback) override { return client_.Open("", callback); }
  ngc_error_t ClosePlugin() override { return client_.Close(); }
  ngc_error_t Reserved5() override { return kNotSupported; }
  ngc_error_t Reserved6() override { return kNotSupported; }
  ngc_error_t Reserved7() override { return kNotSupported; }
  ngc_error_t Reserved8() override { return kNotSupported; }
  ngc_error_t Reserved9() override { return kNotSupported; }
  ngc_error_t Reserved10() override { return kNotSupported; }
  ngc_error_t RefreshVelmoraPids() override { return client_.RefreshPids(); }

 private:
  CControlClient client_;
};

class CKestrumApi final : public IKestrumApi {
 public:
  CKestrumApi() : client_(ApiInterface::Kestrum, false) {}
  ngc_error_t Reserved0() override { return kNotSupported; }
  ngc_error_t Reserved1() override { return kNotSupported; }
  ngc_error_t OpenPlugin(IKdfApiCB* callback) override { return client_.Open("", callback); }
  ngc_error_t ClosePlugin() override { return client_.Close(); }
  ngc_error_t Reserved4() override { return kNotSupported; }
  ngc_error_t Reserved5() override { return kNotSupported; }
  ngc_error_t Reserved6() override { return kNotSupported; }
  ngc_error_t RefreshVelmoraPids() override { return client_.RefreshPids(); }

 private:
  CControlClient client_;
};

class CSocketRedirectorApi final : public ISocketRedirectorApi {
 public:
  CSocketRedirectorApi() : client_(ApiInterface::SocketRedirector, false) {}
  ngc_error_t Reserved0() override { return kNotSupported; }
  ngc_error_t Reserved1() override { return kNotSupported; }
  ngc_error_t OpenPlugin(const char* pluginId, IKdfApiCB* callback) override {
    return client_.Open(pluginId, callback);
  }
  ngc_error_t ClosePlugin() override { return client_.Close(); }
  ngc_error_t Reserved4() override { return kNotSupported; }
  ngc_error_t Reserved5() override { return kNotSupported; }
  ngc_error_t Reserved6() override { return kNotSupported; }
  ngc_error_t Reserved7() override { return kNotSupported; }
  ngc_error_t Reserved8() override { return kNotSupported; }
  ngc_error_t RefreshVelmoraPids() override { return client_.RefreshPids(); }

 private:
  CControlClient client_;
};

template <typename Impl, typename Api>
Api* create() {
  // No exception may cross into the agent.
  try {
    return new Impl();
  } catch (...) {
    return nullptr;
  }
}

template <typename Impl, typename Api>
ngc_error_t release(Api** instance) {
  if (instance == nullptr || *instance == nullptr) return kErrInvalidArgument;
  delete static_cast<Impl*>(*instance);
  *instance = nullptr;
  return HXT_NGC_OK;
}

}  // namespace
}  // namespace hxt::sockfilter

using namespace hxt::sockfilter;

IVelmoraApi* CVelmoraApiClassFactory::CreateInstance() {
  return create<CVelmoraApi, IVelmoraApi>();
}
ngc_error_t CVelmoraApiClassFactory::ReleaseInstance(IVelmoraApi** instance) {
  return release<CVelmoraApi>(instance);
}

IVpnDnsApi* CVpnDnsApiClassFactory::CreateInstance() {
  return create<CVpnDnsApi, IVpnDnsApi>();
}
ngc_error_t CVpnDnsApiClassFactory::ReleaseInstance(IVpnDnsApi** instance) {
  return release<CVpnDnsApi>(instance);
}

IKestrumApi* CKestrumApiClassFactory::CreateInstance() {
  return create<CKestrumApi, IKestrumApi>();
}
ngc_error_t CKestrumApiClassFactory::ReleaseInstance(IKestrumApi** instance) {
  return release<CKestrumApi>(instance);
}

ISocketRedirectorApi* CSocketRedirectorApiClassFactory::CreateInstance() {
  return create<CSocketRedirectorApi, ISocketRedirectorApi>();
}
ngc_error_t CSocketRedirectorApiClassFactory::ReleaseInstance(ISocketRedirectorApi** instance) {
  return release<CSocketRedirectorApi>(instance);
}
