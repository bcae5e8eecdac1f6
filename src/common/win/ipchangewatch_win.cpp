// The IP helper's headers need Winsock's first, in this order.
#include <winsock2.h>

#include <ws2ipdef.h>

#include <iphlpapi.h>

#include <netioapi.h>

#include "common/win/ipchangewatch.h"

#include <utility>

namespace hxt::platform {

namespace {

VOID WINAPI onInterface(PVOID context, PMIB_IPINTERFACE_ROW, MIB_NOTIFICATION_TYPE type) {
  if (type != MibInitialNotification)
    static_cast<CIpChangeWatch::Handler*>(context)->operator()("interface change");
}
VOID WINAPI onAddress(PVOID context, PMIB_UNICASTIPADDRESS_ROW, MIB_NOTIFICATION_TYPE type) {
  if (type != MibInitialNotification)
    static_cast<CIpChangeWatch::Handler*>(context)->operator()("address change");
}
VOID WINAPI onRoute(PVOID context, PMIB_IPFORWARD_ROW2, MIB_NOTIFICATION_TYPE type) {
  if (type != MibInitialNotification)
    static_cast<CIpChangeWatch::Handler*>(context)->operator()("route change");
}

}  // namespace

CIpChangeWatch::CIpChangeWatch(unsigned kinds, Handler onChange) : onChange_(std::move(onChange)) {
  NETIO_STATUS results[3] = {NO_ERROR, NO_ERROR, NO_ERROR};
  if (kinds & kInterfaces)
    results[0] = NotifyIpInterfaceChange(AF_UNSPEC, &onInterface, &onChange_, FALSE, &handles_[0]);
  if (kinds & kAddresses)
    results[1] = NotifyUnicastIpAddressChange(AF_UNSPEC, &onAddress, &onChange_, FALSE, &handles_[1]);
  if (kinds & kRoutes) results[2] = NotifyRouteChange2(AF_UNSPEC, &onRoute, &onChange_, FALSE, &handles_[2]);
  for (const NETIO_STATUS result : results) {
    if (result != NO_ERROR && error_ == 0) error_ = result;
  }
}

CIpChangeWatch::~CIpChangeWatch() {
  Close();
}

void CIpChangeWatch::Close() {
  for (void*& handle : handles_) {
    if (handle != nullptr) CancelMibChangeNotify2(handle);
    handle = nullptr;
  }
}

}  // namespace hxt::platform
