// Windows: interface, address and route changes from the IP helper's
// notifications. Their callbacks run on threads of the system's pool; each
// only posts a Notice onto the watch's io_context.
#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>
#include <netioapi.h>

#include <atomic>
#include <memory>

#include <boost/asio/post.hpp>

#include "netwatch.h"
#include "pluginlog.h"

namespace hxt::dnsprotect {

namespace {

class CIpHelperSource final : public INetSource {
 public:
  CIpHelperSource(boost::asio::io_context& io, CNetWatch& owner)
      : io_(io), owner_(owner), alive_(std::make_shared<std::atomic<bool>>(true)) {
    // No initial notification: the watch reports changes, not the state.
    const NETIO_STATUS results[] = {
        NotifyIpInterfaceChange(AF_UNSPEC, &CIpHelperSource::onInterface, this, FALSE, &handles_[0]),
        NotifyUnicastIpAddressChange(AF_UNSPEC, &CIpHelperSource::onAddress, this, FALSE, &handles_[1]),
        NotifyRouteChange2(AF_UNSPEC, &CIpHelperSource::onRoute, this, FALSE, &handles_[2]),
    };
    for (const NETIO_STATUS result : results) {
      if (result != NO_ERROR) {
        PluginLog(LogLevel::Warning,
                  "some network changes are not followed: IP helper notification failed, error " +
                      std::to_string(result));
      }
    }
  }
  ~CIpHelperSource() override { Close(); }
  CIpHelperSource(const CIpHelperSource&) = delete;
  CIpHelperSource& operator=(const CIpHelperSource&) = delete;

  // CancelMibChangeNotify2 returns once no callback of the handle runs any
  // more; what they posted before checks `alive_` and finds it false.
  void Close() override {
    alive_->store(false);
    for (HANDLE& handle : handles_) {
      if (handle != nullptr) CancelMibChangeNotify2(handle);
      handle = nullptr;
    }
  }

 private:
  static VOID WINAPI onInterface(PVOID context, PMIB_IPINTERFACE_ROW, MIB_NOTIFICATION_TYPE type) {
    if (type != MibInitialNotification) static_cast<CIpHelperSource*>(context)->post("interface change");
  }
  static VOID WINAPI onAddress(PVOID context, PMIB_UNICASTIPADDRESS_ROW, MIB_NOTIFICATION_TYPE type) {
    if (type != MibInitialNotification) static_cast<CIpHelperSource*>(context)->post("address change");
  }
  static VOID WINAPI onRoute(PVOID context, PMIB_IPFORWARD_ROW2, MIB_NOTIFICATION_TYPE type) {
    if (type != MibInitialNotification) static_cast<CIpHelperSource*>(context)->post("route change");
  }
  void post(const char* reason) {
    boost::asio::post(io_, [alive = alive_, owner = &owner_, reason] {
      if (alive->load()) owner->Notice(reason);
    });
  }

  boost::asio::io_context& io_;
  CNetWatch& owner_;
  std::shared_ptr<std::atomic<bool>> alive_;
  HANDLE handles_[3] = {nullptr, nullptr, nullptr};
};

}  // namespace

std::unique_ptr<INetSource> MakeNetSource(boost::asio::io_context& io, CNetWatch& watch) {
  return std::make_unique<CIpHelperSource>(io, watch);
}

}  // namespace hxt::dnsprotect
