// Windows: interface, address and route changes from the IP helper's
// notifications (common/win/ipchangewatch.h). Their callbacks run on threads
// of the system's pool; each only posts a Notice onto the watch's io_context.
#include "common/win/ipchangewatch.h"

#include <atomic>
#include <memory>
#include <string>

#include <boost/asio/post.hpp>

#include "netwatch.h"
#include "pluginlog.h"

namespace hxt::dnsprotect {

namespace {

class CIpHelperSource final : public INetSource {
 public:
  CIpHelperSource(boost::asio::io_context& io, CNetWatch& owner)
      : io_(io),
        owner_(owner),
        alive_(std::make_shared<std::atomic<bool>>(true)),
        watch_(platform::CIpChangeWatch::kInterfaces | platform::CIpChangeWatch::kAddresses |
                   platform::CIpChangeWatch::kRoutes,
               [this](const char* reason) { post(reason); }) {
    if (watch_.Error() != 0) {
      PluginLog(LogLevel::Warning,
                "some network changes are not followed: IP helper notification failed, error " +
                    std::to_string(watch_.Error()));
    }
  }
  ~CIpHelperSource() override { Close(); }
  CIpHelperSource(const CIpHelperSource&) = delete;
  CIpHelperSource& operator=(const CIpHelperSource&) = delete;

  // The watch's Close returns once no callback runs any more; what they
  // posted before checks `alive_` and finds it false.
  void Close() override {
    alive_->store(false);
    watch_.Close();
  }

 private:
  void post(const char* reason) {
    boost::asio::post(io_, [alive = alive_, owner = &owner_, reason] {
      if (alive->load()) owner->Notice(reason);
    });
  }

  boost::asio::io_context& io_;
  CNetWatch& owner_;
  std::shared_ptr<std::atomic<bool>> alive_;
  platform::CIpChangeWatch watch_;  // last: its callbacks use the members above
};

}  // namespace

std::unique_ptr<INetSource> MakeNetSource(boost::asio::io_context& io, CNetWatch& watch) {
  return std::make_unique<CIpHelperSource>(io, watch);
}

}  // namespace hxt::dnsprotect
