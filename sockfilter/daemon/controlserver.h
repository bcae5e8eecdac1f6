// The daemon's side of the control socket (protocol: common/controlproto.h,
// docs/sockfilter.md).
//
// Linux: a UNIX stream socket, owner-only (or owner and ControlGroup), that
// the agent's filter library connects to; peers of other users are refused.
// Windows: a named pipe whose security admits SYSTEM and the agent's service
// only; each client's process token is checked as well. Each peer must say HELLO with the
// daemon's protocol version first; a peer of another version gets a clear refusal and is disconnected. The
// peer that opens the DNS plug-in (IVelmoraApi) is the owner: only it may change the filter's parameters, and
// only it receives disruption notices. When the owner's connection drops without closing the plug-in while it
// redirected, the filter fails open (its parameters are cleared) and the next owner from another process is
// told of the disruption when it opens.
//
// I/O thread only.
#pragma once

#include <deque>
#include <memory>
#include <set>
#include <string>

#include <boost/asio/io_context.hpp>

#include "common/acceptbackoff.h"
#include "daemon/controlstream.h"
#include "daemon/filtercore.h"

namespace hxt::sockfilter {

class CControlServer {
 public:
  CControlServer(boost::asio::io_context& io, CFilterCore& core);
  ~CControlServer();

  // Creates the socket at the configured path (its folder too); false when
  // that fails or another daemon already listens there.
  bool Start();
  void Stop();

 private:
  class Session;
  friend class Session;

  // The platform's part: listening, the end of it, and who a peer is.
  void accept();
  void stopListening();
  // Whether the peer on `stream` may use the daemon; its pid and user
  // (on Windows 0 for every admitted peer) either way, when known.
  bool admitPeer(ControlStream& stream, u32& pid, u32& uid);
  // Whether a peer of user `uid` may see the names programs asked.
  bool mayReadNames(u32 uid) const;

  // The callbacks the filter core asks of the control side.
  void wireCore();
  // A connected peer, or the refusal of one over the limit.
  void adopt(ControlStream stream);
  void forget(Session* session);
  void sendDisruption(u32 reason, const std::string& text);
  void ownerLost(Session* session);

  boost::asio::io_context& io_;
  CFilterCore& core_;
  struct Listener;
  std::unique_ptr<Listener> listener_;
  CAcceptBackoff backoff_;
  std::set<std::shared_ptr<Session>> sessions_;
  Session* owner_ = nullptr;
  // A disruption no owner was there to hear, for the next owner of another
  // process (the same process's library raised it itself).
  bool pendingNotice_ = false;
  u32 pendingFromPid_ = 0;
  std::string pendingText_;
  CLogThrottle throttle_;
  bool stopped_ = false;
};

}  // namespace hxt::sockfilter
