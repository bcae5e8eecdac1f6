// The IP helper's change notifications, for whoever must follow the
// machine's network on Windows: interface changes (NotifyIpInterfaceChange),
// unicast address changes (NotifyUnicastIpAddressChange) and route changes
// (NotifyRouteChange2), as chosen. `onChange` runs on a thread of the
// system's pool with the kind of change ("interface change", "address
// change", "route change"); it must only hand the news on (post, set a flag).
// No initial notification: what is followed is changes, not the state.
//
// A small library of its own (hxt_ipchangewatch) rather than part of
// hxt_common: the DNS-protection plug-in links it and nothing else of ours.
#pragma once

#include <functional>

namespace hxt::platform {

class CIpChangeWatch {
 public:
  enum Kind : unsigned { kInterfaces = 1, kAddresses = 2, kRoutes = 4 };
  using Handler = std::function<void(const char* reason)>;

  CIpChangeWatch(unsigned kinds, Handler onChange);
  ~CIpChangeWatch();
  CIpChangeWatch(const CIpChangeWatch&) = delete;
  CIpChangeWatch& operator=(const CIpChangeWatch&) = delete;

  // The error of the first notification that could not be had, 0 when every
  // kind asked for is followed.
  unsigned long Error() const { return error_; }
  // Cancels every notification; returns once no callback runs any more, and
  // none comes afterwards. Not from within `onChange`.
  void Close();

 private:
  Handler onChange_;
  void* handles_[3] = {nullptr, nullptr, nullptr};
  unsigned long error_ = 0;
};

}  // namespace hxt::platform
