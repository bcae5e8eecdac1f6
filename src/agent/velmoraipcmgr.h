// The loopback server that tells the user interface the agent's state.
//
// `CVelmoraIpcMgr` listens on 127.0.0.1, accepts every UI that connects and
// pushes it the status, statistics and command documents of `CIpcApiData`
// whenever they change. Traffic is one-way: nothing the UI sends is used.
//
// Ownership: a process-wide singleton (`createSingletonInstance` /
// `releaseInstance`). It owns the acceptor, the map of open connections and the
// payload model; it borrows the I/O service it was created with, which belongs
// to the orchestrator and must outlive it.
//
// Threads: all sockets, timers and completions run on the thread that runs the
// I/O service. The update operations (`UpdateStatus` ... `SendCommand`) may be
// called from any thread; each takes the manager's mutex, writes the model and
// signals the change, never sending directly: status and command changes post
// one broadcast each, statistics changes are coalesced to one broadcast per
// throttle interval, sent one interval after the first change of a burst. The
// mutex is not recursive: no update operation may be called with it held.
// Release the manager on the I/O service's thread or while the service is not
// running, and do not run the service again afterwards: completions still
// queued refer to the manager and are meant to be destroyed with the service.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include "agent/velmoraipcconcb.h"
#include "agent/velmoraipcconn.h"
#include "common/acceptbackoff.h"
#include "common/apidata.h"
#include "common/hxttypes.h"
#include "common/ipcframe.h"

namespace hxt {

constexpr std::chrono::milliseconds kIpcStatsThrottle{1000};

// The fixed numbers of the server. Tests shorten the durations and listen on
// port 0 so that they can run beside a live service.
struct IpcSettings {
  u16 port = kIpcPort;
  std::chrono::milliseconds statsThrottle = kIpcStatsThrottle;
  std::chrono::milliseconds sendTimeout = kIpcSendTimeout;
  // Connections beyond this are closed at once; an idle UI connection costs
  // little, but each counts.
  std::size_t maxConnections = 64;
};

class CVelmoraIpcMgr : public IVelmoraIpcConCB {
 public:
  // Opens the listener and starts accepting; `ok` is false (after logging)
  // when the socket cannot be opened, configured, bound or put to listen.
  CVelmoraIpcMgr(boost::asio::io_service& ioService, bool& ok, const IpcSettings& settings = IpcSettings());
  ~CVelmoraIpcMgr() override;

  CVelmoraIpcMgr(const CVelmoraIpcMgr&) = delete;
  CVelmoraIpcMgr& operator=(const CVelmoraIpcMgr&) = delete;

  // Constructs and registers the singleton; false, with `instance` null, when
  // one exists already or the listener could not be set up.
  static bool createSingletonInstance(boost::asio::io_service& ioService, CVelmoraIpcMgr*& instance,
                                      const IpcSettings& settings = IpcSettings());
  // Drops one reference of the singleton (deleting it at the last); a pointer
  // that is not the singleton is deleted at once.
  static void releaseInstance(CVelmoraIpcMgr* instance);

  // The port actually listened on (the chosen one when created with port 0).
  u16 ListeningPort() const { return listeningPort_; }

  void UpdateStatus(const std::string& dnsState4, const std::string& dnsState6, const std::string& ipState4,
                    bool connectionError4, const std::string& ipState6, bool connectionError6,
                    const std::string& clientName, const std::string& userName,
                    std::int64_t lastConnectedTime, bool logUploadEnabled, bool enabled);
  void UpdateAgentStatus(const std::string& agentStatus);
  void UpdateSwgState(const std::string& swgState);
  void UpdateSwgStats(u32 httpConnections, u32 httpsConnections, u32 bypassedConnections,
                      const std::string& proxy, const std::string& userMessage);
  void IncrementRequestCount(u32 family, u32 socketType);
  void IncrementResponseCount(u32 family, u32 socketType);
  // Queues a command for the UI. A command document goes to the first
  // connection that builds it (the lowest-numbered one); queued while no UI is
  // connected, it waits for the next command broadcast.
  void SendCommand(const std::string& command);
  // A consistent copy of the DNS counters, taken under the manager's mutex.
  IpcRequestCounters GetRequestCounters();

  // IVelmoraIpcConCB, called on the I/O service thread.
  void OnConnectionClose(u32 connectionNumber) override;
  bool GetJsonPayload(PayloadType type, std::string& json) override;

 private:
  // Called with `mutex_` held.
  void onPayloadUpdate(PayloadType type);
  void onStatsTimer(PayloadType type, const boost::system::error_code& error);
  void broadcastPayload(PayloadType type);
  void startAccept();
  void handleAccept(const std::shared_ptr<CVelmoraIpcConnection>& connection,
                    const boost::system::error_code& error);

  boost::asio::io_service& ioService_;
  boost::asio::ip::tcp::acceptor acceptor_;
  std::map<u32, std::shared_ptr<CVelmoraIpcConnection>> connections_;
  std::unique_ptr<CIpcApiData> apiData_;
  u32 connectionCounter_ = 0;
  std::map<PayloadType, bool> pendingThrottle_;
  std::mutex mutex_;  // guards apiData_, pendingThrottle_ and statsTimer_
  boost::asio::steady_timer statsTimer_;
  CAcceptBackoff acceptBackoff_;
  IpcSettings settings_;
  u16 listeningPort_ = 0;
};

}  // namespace hxt
