// The control channel on Windows is a named pipe, which is not built yet:
// until it is, no agent can open the filter, and the daemon answers every
// query by pass-through (as it does on Linux while no agent is connected).
#include "daemon/controlserver.h"

#include "common/applog.h"

namespace hxt::sockfilter {

CControlServer::CControlServer(boost::asio::io_context& io, CFilterCore& core)
    : io_(io), core_(core), acceptor_(io), backoff_(io) {}

CControlServer::~CControlServer() {
  Stop();
}

bool CControlServer::Start() {
  HXT_LOGF(LOG_LEVEL_WARNING, "CControlServer::Start",
           "no control channel on Windows yet: no agent can open the filter; every query is passed through");
  return true;
}

void CControlServer::Stop() {
  stopped_ = true;
}

}  // namespace hxt::sockfilter
