// Stand-in for the socket-filter library until the daemon-backed one exists.
//
// Every operation succeeds and nothing is redirected: the agent starts, opens
// "the filter", hands it parameters and runs, while the machine's DNS goes
// where it always went. Parameters are read during SetParameters only, as the
// real library must, and then dropped.
#include <atomic>

#include "hxtarrow/sockfltrapi.h"

namespace {

class CPlaceholderVelmoraApi final : public IVelmoraApi {
 public:
  ngc_error_t Reserved0() override { return HXT_NGC_OK; }
  bool IsPreloadNeeded() override { return false; }
  bool IsPluginOpen() override { return open_.load(); }
  ngc_error_t OpenPlugin(IKdfApiCB*) override {
    open_.store(true);
    return HXT_NGC_OK;
  }
  ngc_error_t ClosePlugin() override {
    open_.store(false);
    return HXT_NGC_OK;
  }
  ngc_error_t Clear() override { return HXT_NGC_OK; }
  ngc_error_t SetParameters(IVelmoraInfo* info) override {
    return info != nullptr && info->GetUpdateKind() <= FILTER_UPDATE_PORTS ? HXT_NGC_OK : 1u;
  }
  ngc_error_t StartEncryptedDnsHandling() override { return HXT_NGC_OK; }

 private:
  std::atomic<bool> open_{false};
};

class CPlaceholderVpnDnsApi final : public IVpnDnsApi {
 public:
  ngc_error_t Reserved0() override { return HXT_NGC_OK; }
  ngc_error_t Reserved1() override { return HXT_NGC_OK; }
  ngc_error_t Reserved2() override { return HXT_NGC_OK; }
  ngc_error_t OpenPlugin(IKdfApiCB*) override { return HXT_NGC_OK; }
  ngc_error_t ClosePlugin() override { return HXT_NGC_OK; }
  ngc_error_t Reserved5() override { return HXT_NGC_OK; }
  ngc_error_t Reserved6() override { return HXT_NGC_OK; }
  ngc_error_t Reserved7() override { return HXT_NGC_OK; }
  ngc_error_t Reserved8() override { return HXT_NGC_OK; }
  ngc_error_t Reserved9() override { return HXT_NGC_OK; }
  ngc_error_t Reserved10() override { return HXT_NGC_OK; }
  ngc_error_t RefreshVelmoraPids() override { return HXT_NGC_OK; }
};

class CPlaceholderKestrumApi final : public IKestrumApi {
 public:
  ngc_error_t Reserved0() override { return HXT_NGC_OK; }
  ngc_error_t Reserved1() override { return HXT_NGC_OK; }
  ngc_error_t OpenPlugin(IKdfApiCB*) override { return HXT_NGC_OK; }
  ngc_error_t ClosePlugin() override { return HXT_NGC_OK; }
  ngc_error_t Reserved4() override { return HXT_NGC_OK; }
  ngc_error_t Reserved5() override { return HXT_NGC_OK; }
  ngc_error_t Reserved6() override { return HXT_NGC_OK; }
  ngc_error_t RefreshVelmoraPids() override { return HXT_NGC_OK; }
};

class CPlaceholderSocketRedirectorApi final : public ISocketRedirectorApi {
 public:
  ngc_error_t Reserved0() override { return HXT_NGC_OK; }
  ngc_error_t Reserved1() override { return HXT_NGC_OK; }
  ngc_error_t OpenPlugin(const char*, IKdfApiCB*) override { return HXT_NGC_OK; }
  ngc_error_t ClosePlugin() override { return HXT_NGC_OK; }
  ngc_error_t Reserved4() override { return HXT_NGC_OK; }
  ngc_error_t Reserved5() override { return HXT_NGC_OK; }
  ngc_error_t Reserved6() override { return HXT_NGC_OK; }
  ngc_error_t Reserved7() override { return HXT_NGC_OK; }
  ngc_error_t Reserved8() override { return HXT_NGC_OK; }
  ngc_error_t RefreshVelmoraPids() override { return HXT_NGC_OK; }
};

template <typename Placeholder, typename Api>
ngc_error_t release(Api** instance) {
  if (instance == nullptr || *instance == nullptr) return 1u;
  delete static_cast<Placeholder*>(*instance);
  *instance = nullptr;
  return HXT_NGC_OK;
}

}  // namespace

IVelmoraApi* CVelmoraApiClassFactory::CreateInstance() {
  return new CPlaceholderVelmoraApi();
}
ngc_error_t CVelmoraApiClassFactory::ReleaseInstance(IVelmoraApi** instance) {
  return release<CPlaceholderVelmoraApi>(instance);
}

IVpnDnsApi* CVpnDnsApiClassFactory::CreateInstance() {
  return new CPlaceholderVpnDnsApi();
}
ngc_error_t CVpnDnsApiClassFactory::ReleaseInstance(IVpnDnsApi** instance) {
  return release<CPlaceholderVpnDnsApi>(instance);
}

IKestrumApi* CKestrumApiClassFactory::CreateInstance() {
  return new CPlaceholderKestrumApi();
}
ngc_error_t CKestrumApiClassFactory::ReleaseInstance(IKestrumApi** instance) {
  return release<CPlaceholderKestrumApi>(instance);
}

ISocketRedirectorApi* CSocketRedirectorApiClassFactory::CreateInstance() {
  return new CPlaceholderSocketRedirectorApi();
}
ngc_error_t CSocketRedirectorApiClassFactory::ReleaseInstance(ISocketRedirectorApi** instance) {
  return release<CPlaceholderSocketRedirectorApi>(instance);
}
