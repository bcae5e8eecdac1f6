#include "agent/velmoraipcmgr.h"

#include <utility>
#include <vector>

#include <boost/asio/error.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/post.hpp>

#include "common/applog.h"
#include "common/singleton.h"

namespace hxt {

using boost::asio::ip::tcp;

namespace {
constexpr const char* kConstructor = "CVelmoraIpcMgr::CVelmoraIpcMgr";
}  // namespace

CVelmoraIpcMgr::CVelmoraIpcMgr(boost::asio::io_service& ioService, bool& ok, const IpcSettings& settings)
    : ioService_(ioService),
      acceptor_(ioService),
      apiData_(std::make_unique<CIpcApiData>()),
      statsTimer_(ioService),
      acceptBackoff_(ioService),
      settings_(settings) {
  ok = false;
  boost::system::error_code error;
  acceptor_.open(tcp::v4(), error);
  if (error) {
    HXT_LOGF(LOG_LEVEL_ERROR, kConstructor, "TCP acceptor open failure [%d-%s]", error.value(),
             error.message().c_str());
    return;
  }
  // A restarted service must get its port back while the previous one's
  // connections linger in TIME_WAIT.
  acceptor_.set_option(tcp::acceptor::reuse_address(true), error);
  if (error) {
    HXT_LOGF(LOG_LEVEL_ERROR, kConstructor, "TCP acceptor set_option failure [%d-%s]", error.value(),
             error.message().c_str());
    return;
  }
  const tcp::endpoint endpoint(boost::asio::ip::make_address_v4(kIpcListenAddress), settings_.port);
  acceptor_.bind(endpoint, error);
  if (error) {
    HXT_LOGF(LOG_LEVEL_ERROR, kConstructor, "TCP acceptor bind failure [%d-%s]", error.value(),
             error.message().c_str());
    return;
  }
  acceptor_.listen(boost::asio::socket_base::max_listen_connections, error);
  if (error) {
    HXT_LOGF(LOG_LEVEL_ERROR, kConstructor, "TCP acceptor listen failure [%d-%s]", error.value(),
             error.message().c_str());
    return;
  }
  listeningPort_ = acceptor_.local_endpoint(error).port();
  HXT_LOGF(LOG_LEVEL_INFO, kConstructor, "Initializing IPC listener...");
  startAccept();
  pendingThrottle_[PAYLOAD_TYPE_STATS] = false;
  ok = true;
}

CVelmoraIpcMgr::~CVelmoraIpcMgr() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    statsTimer_.cancel();
    pendingThrottle_.clear();
    apiData_.reset();
  }
  // Closing tells every UI at once that the agent is gone.
  for (auto& entry : connections_) entry.second->Close();
  connections_.clear();
  boost::system::error_code ignored;
  acceptor_.close(ignored);
  acceptBackoff_.Cancel();
}

bool CVelmoraIpcMgr::createSingletonInstance(boost::asio::io_service& ioService, CVelmoraIpcMgr*& instance,
                                             const IpcSettings& settings) {
  instance = nullptr;
  if (!CSingletonSlot<CVelmoraIpcMgr>::IsFree()) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CVelmoraIpcMgr::createSingletonInstance",
             "CVelmoraIpcMgr instance already initialized");
    return false;
  }
  bool ok = false;
  auto* manager = new CVelmoraIpcMgr(ioService, ok, settings);
  if (!ok) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CVelmoraIpcMgr::createSingletonInstance", "CVelmoraIpcMgr failed");
    delete manager;
    return false;
  }
  if (!CSingletonSlot<CVelmoraIpcMgr>::Register(manager)) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CVelmoraIpcMgr::createSingletonInstance",
             "CVelmoraIpcMgr instance already initialized");
    delete manager;
    return false;
  }
  instance = manager;
  return true;
}

void CVelmoraIpcMgr::releaseInstance(CVelmoraIpcMgr* instance) {
  CSingletonSlot<CVelmoraIpcMgr>::Release(instance);
}

void CVelmoraIpcMgr::UpdateStatus(const std::string& dnsState4, const std::string& dnsState6,
                                  const std::string& ipState4, bool connectionError4,
                                  const std::string& ipState6, bool connectionError6,
                                  const std::string& clientName, const std::string& userName,
                                  std::int64_t lastConnectedTime, bool logUploadEnabled, bool enabled) {
  std::lock_guard<std::mutex> lock(mutex_);
  apiData_->SetStatus(dnsState4, dnsState6, ipState4, connectionError4, ipState6, connectionError6,
                      clientName, userName, lastConnectedTime, logUploadEnabled, enabled);
  onPayloadUpdate(PAYLOAD_TYPE_STATUS);
}

void CVelmoraIpcMgr::UpdateAgentStatus(const std::string& agentStatus) {
  std::lock_guard<std::mutex> lock(mutex_);
  apiData_->SetAgentStatus(agentStatus);
  onPayloadUpdate(PAYLOAD_TYPE_STATUS);
}

void CVelmoraIpcMgr::UpdateSwgState(const std::string& swgState) {
  std::lock_guard<std::mutex> lock(mutex_);
  apiData_->SetSwgState(swgState);
  onPayloadUpdate(PAYLOAD_TYPE_STATUS);
}

void CVelmoraIpcMgr::UpdateSwgStats(u32 httpConnections, u32 httpsConnections, u32 bypassedConnections,
                                    const std::string& proxy, const std::string& userMessage) {
  std::lock_guard<std::mutex> lock(mutex_);
  apiData_->SetSwgStats(httpConnections, httpsConnections, bypassedConnections, proxy, userMessage);
  onPayloadUpdate(PAYLOAD_TYPE_STATS);
}

void CVelmoraIpcMgr::IncrementRequestCount(u32 family, u32 socketType) {
  std::lock_guard<std::mutex> lock(mutex_);
  apiData_->IncrementRequestCount(family, socketType);
  onPayloadUpdate(PAYLOAD_TYPE_STATS);
}

IpcRequestCounters CVelmoraIpcMgr::GetRequestCounters() {
  std::lock_guard<std::mutex> lock(mutex_);
  return apiData_->Counters();
}

void CVelmoraIpcMgr::IncrementResponseCount(u32 family, u32 socketType) {
  std::lock_guard<std::mutex> lock(mutex_);
  apiData_->IncrementResponseCount(family, socketType);
  onPayloadUpdate(PAYLOAD_TYPE_STATS);
}

void CVelmoraIpcMgr::SendCommand(const std::string& command) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (apiData_->QueueCommand(command)) {
    onPayloadUpdate(PAYLOAD_TYPE_COMMAND);
  } else {
    HXT_LOGF(LOG_LEVEL_ERROR, "CVelmoraIpcMgr::SendCommand", "Failed to queue IPC command[%s]",
             command.c_str());
  }
}

void CVelmoraIpcMgr::onPayloadUpdate(PayloadType type) {
  switch (type) {
    case PAYLOAD_TYPE_STATUS:
    case PAYLOAD_TYPE_COMMAND:
      boost::asio::post(ioService_, [this, type]() { broadcastPayload(type); });
      return;
    case PAYLOAD_TYPE_STATS: {
      // Statistics change with every DNS request: the first change of a burst
      // arms the timer, later ones ride on the broadcast it will make.
      bool& pending = pendingThrottle_[type];
      if (pending) return;
      pending = true;
      statsTimer_.expires_after(settings_.statsThrottle);
      statsTimer_.async_wait(
          [this, type](const boost::system::error_code& error) { onStatsTimer(type, error); });
      return;
    }
  }
  HXT_LOGF(LOG_LEVEL_ERROR, "CVelmoraIpcMgr::onPayloadUpdate", "Unexpected payload type - %c",
           static_cast<char>(type));
}

void CVelmoraIpcMgr::onStatsTimer(PayloadType type, const boost::system::error_code& error) {
  {
    // Cleared before the documents are built, so a change made from now on
    // arms a new timer instead of being lost.
    std::lock_guard<std::mutex> lock(mutex_);
    pendingThrottle_[type] = false;
  }
  if (error) return;
  broadcastPayload(type);
}

void CVelmoraIpcMgr::broadcastPayload(PayloadType type) {
  // A snapshot in ascending number order; each entry is held while it sends.
  std::vector<std::shared_ptr<CVelmoraIpcConnection>> targets;
  targets.reserve(connections_.size());
  for (const auto& entry : connections_) targets.push_back(entry.second);
  for (const auto& connection : targets) connection->SendPayload(type);
}

void CVelmoraIpcMgr::startAccept() {
  ++connectionCounter_;
  auto connection =
      std::make_shared<CVelmoraIpcConnection>(this, ioService_, connectionCounter_, settings_.sendTimeout);
  acceptor_.async_accept(connection->Socket(), [this, connection](const boost::system::error_code& error) {
    handleAccept(connection, error);
  });
}

void CVelmoraIpcMgr::handleAccept(const std::shared_ptr<CVelmoraIpcConnection>& connection,
                                  const boost::system::error_code& error) {
  if (error) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CVelmoraIpcMgr::handleAccept", "accept error [%d-%s]", error.value(),
             error.message().c_str());
    if (CAcceptBackoff::Calls(error)) {
      // Out of descriptors: the pending connection stays pending, so an
      // accept at once would fail (and log) again at once.
      acceptBackoff_.Wait([this] {
        if (acceptor_.is_open()) startAccept();
      });
      return;
    }
  } else if (connections_.size() >= settings_.maxConnections) {
    HXT_LOGF(LOG_LEVEL_WARNING, "CVelmoraIpcMgr::handleAccept",
             "%zu client/UI connections are open already; closing IPC connection #%u", connections_.size(),
             connection->Number());
    boost::system::error_code ignored;
    connection->Socket().close(ignored);
  } else {
    acceptBackoff_.Succeeded();
    connections_[connection->Number()] = connection;
    HXT_LOGF(LOG_LEVEL_INFO, "CVelmoraIpcMgr::handleAccept", "Accepted IPC connection #%u from client/UI",
             connection->Number());
    connection->Start();
  }
  startAccept();
}

void CVelmoraIpcMgr::OnConnectionClose(u32 connectionNumber) {
  auto found = connections_.find(connectionNumber);
  if (found == connections_.end()) {
    HXT_LOGF(LOG_LEVEL_WARNING, "CVelmoraIpcMgr::OnConnectionClose", "Could not find IPC connection #%u",
             connectionNumber);
    return;
  }
  HXT_LOGF(LOG_LEVEL_INFO, "CVelmoraIpcMgr::OnConnectionClose",
           "Client/UI disconnected, clearing IPC connection #%u", connectionNumber);
  connections_.erase(found);
}

bool CVelmoraIpcMgr::GetJsonPayload(PayloadType type, std::string& json) {
  std::lock_guard<std::mutex> lock(mutex_);
  return apiData_->ToJson(type, json);
}

}  // namespace hxt
