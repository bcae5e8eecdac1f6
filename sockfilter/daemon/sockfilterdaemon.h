// hxsockfilterd's parts put together: the stub addresses of both families
// (UDP and TCP), the pass-through resolvers, and the control socket through
// which the agent's filter library drives it.
//
// Construct, Start and Stop on one thread before or on the thread that runs
// the I/O context (the daemon's only thread); everything runs there. The
// counters may be read from any thread. The daemon owns every socket it
// opens; the I/O context and the configuration must outlive it.
#pragma once

#include <memory>
#include <optional>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include "daemon/filtercore.h"
#include "daemon/sockfilterconfig.h"

namespace hxt::sockfilter {

class CControlServer;
class CPassThrough;
class CTcpStub;
class CTransparentMode;
class CUdpRelay;

class CSockFilterDaemon {
 public:
  CSockFilterDaemon(boost::asio::io_context& io, const SockFilterConfig& config);
  ~CSockFilterDaemon();
  CSockFilterDaemon(const CSockFilterDaemon&) = delete;
  CSockFilterDaemon& operator=(const CSockFilterDaemon&) = delete;

  // Binds the stub addresses and the control socket. False (logged) when the
  // control socket or every stub address failed; a family whose address
  // cannot be bound is logged and left out.
  bool Start();
  void Stop();

  // Where a family's stub listens (the port the system chose for port 0).
  std::optional<boost::asio::ip::udp::endpoint> UdpStub(u16 family) const;
  std::optional<boost::asio::ip::tcp::endpoint> TcpStub(u16 family) const;
  const DaemonCounters& counters() const { return core_.counters(); }
  CSocketOwners& SocketOwners() { return core_.SocketOwners(); }  // I/O thread only
  // A one-line summary of what the daemon does now, for its status.
  std::string Describe() const;
  // The counters and per-family states, one "name value" line each; names
  // of a family end in ".ipv4" or ".ipv6" (`hxtarrowctl metrics` reads them).
  std::string CounterLines() const;
  // Transparent mode when it runs (the configuration asked for it and the
  // daemon may change the firewall), else null.
  const CTransparentMode* Transparent() const { return transparent_.get(); }

 private:
  struct Family {
    std::unique_ptr<CUdpRelay> udp;
    std::unique_ptr<CTcpStub> tcp;
  };

  void startTransparent();
  bool startFamily(Family& family, const boost::asio::ip::udp::endpoint& stub);

  boost::asio::io_context& io_;
  SockFilterConfig config_;
  mutable CFilterCore core_;
  std::unique_ptr<CPassThrough> passThrough_;
  std::unique_ptr<CControlServer> control_;
  std::unique_ptr<CTransparentMode> transparent_;
  Family v4_;
  Family v6_;
};

}  // namespace hxt::sockfilter
