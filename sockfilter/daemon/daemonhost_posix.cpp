#include "daemon/daemonhost.h"

#include <csignal>
#include <functional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "common/applog.h"
#include "common/servicemanager.h"
#include "daemon/sockfilterdaemon.h"

namespace hxt::sockfilter {

bool HostCommand(int, char**, int&) {
  return false;
}

int RunDaemon(const SockFilterConfig& config) {
  boost::asio::io_context io;
  CSockFilterDaemon daemon(io, config);
  if (!daemon.Start()) {
    platform::NotifyServiceManager("STATUS=could not set up the stub addresses or the control socket");
    return kExitSetup;
  }
  boost::asio::signal_set signals(io, SIGTERM, SIGINT);
  signals.async_wait([&](const boost::system::error_code& ec, int number) {
    if (ec) return;
    HXT_LOG(LOG_LEVEL_INFO, "hxsockfilterd: signal %d, stopping", number);
    platform::NotifyServiceManager("STOPPING=1");
    daemon.Stop();
    io.stop();
  });
  std::string described = daemon.Describe();
  platform::NotifyServiceManager("READY=1\nSTATUS=" + described);
  // The status follows the daemon: an agent that comes or goes, a resolver
  // list that turns empty.
  boost::asio::steady_timer statusTimer(io);
  std::function<void()> refresh = [&] {
    statusTimer.expires_after(std::chrono::seconds(5));
    statusTimer.async_wait([&](const boost::system::error_code& ec) {
      if (ec) return;
      std::string now = daemon.Describe();
      if (now != described) platform::NotifyServiceManager("STATUS=" + now);
      described = now;
      refresh();
    });
  };
  refresh();
  io.run();
  return 0;
}

}  // namespace hxt::sockfilter
