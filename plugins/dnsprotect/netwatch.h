// Notices that the machine's network changed under the plug-in: addresses,
// links and routes (rtnetlink on Linux, the IP helper on Windows; elsewhere
// only what follows), the system's resolver file, and a resume from sleep,
// seen as the wall clock running ahead of the monotonic one, which stands
// still while the machine sleeps. Bursts of events (a DHCP lease brings address, routes and
// resolver together) are reported once, `debounce` after the last.
// Everything runs on the io_context given; `onChange` is called there with
// the reason.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

namespace hxt::dnsprotect {

struct NetWatchOptions {
  std::chrono::milliseconds debounce{200};
  // How often the clocks and the resolver file are looked at.
  std::chrono::milliseconds tick{1000};
  // A wall clock this far ahead of the monotonic one means the machine slept.
  std::chrono::milliseconds sleepJump{3000};
  std::string resolvConf = "/etc/resolv.conf";  // "" to not look
};

class CNetWatch;

// The platform's event source (netlink, or nothing), made per platform; it
// calls the watch's Notice.
class INetSource {
 public:
  virtual ~INetSource() = default;
  virtual void Close() = 0;
};
std::unique_ptr<INetSource> MakeNetSource(boost::asio::io_context& io, CNetWatch& watch);

class CNetWatch {
 public:
  using Handler = std::function<void(const std::string& reason)>;
  CNetWatch(boost::asio::io_context& io, NetWatchOptions options, Handler onChange);
  ~CNetWatch();
  CNetWatch(const CNetWatch&) = delete;
  CNetWatch& operator=(const CNetWatch&) = delete;

  // Reports `reason` after the debounce, folded with whatever else comes in
  // the meantime. I/O thread only.
  void Notice(const std::string& reason);
  // Stops every watch; no handler is called afterwards. I/O thread only.
  void Close();

 private:
  void tick();

  boost::asio::io_context& io_;
  const NetWatchOptions options_;
  Handler onChange_;
  boost::asio::steady_timer debounceTimer_, tickTimer_;
  std::unique_ptr<INetSource> source_;
  std::string pending_;  // reasons waiting for the debounce
  std::chrono::steady_clock::time_point lastSteady_;
  std::chrono::system_clock::time_point lastWall_;
  std::string resolvStamp_;
  bool closed_ = false;
};

}  // namespace hxt::dnsprotect
