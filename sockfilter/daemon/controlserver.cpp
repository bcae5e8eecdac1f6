#include "daemon/controlserver.h"

#include <algorithm>
#include <array>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include "common/applog.h"
#include "daemon/processlimits.h"

namespace hxt::sockfilter {

namespace asio = boost::asio;

namespace {
constexpr const char* kHandle = "CControlServer::handleFrame";
}  // namespace

class CControlServer::Session : public std::enable_shared_from_this<Session> {
 public:
  Session(CControlServer& server, ControlStream socket)
      : server_(server), socket_(std::move(socket)), handshake_(server.io_) {}

  void Start() {
    refused_ = !server_.admitPeer(socket_, pid_, uid_);
    std::weak_ptr<Session> weak = shared_from_this();
    handshake_.expires_after(server_.core_.config().handshakeTimeout);
    handshake_.async_wait([weak](const boost::system::error_code& ec) {
      auto self = weak.lock();
      if (ec || !self || self->helloDone_) return;
      HXT_LOGF(LOG_LEVEL_WARNING, "CControlServer::Session", "control peer pid %u said nothing; closing",
               self->pid_);
      self->Close();
    });
    read();
  }

  void Send(std::vector<u8> frame) {
    if (closed_) return;
    if (outbox_.size() >= server_.core_.config().maxControlQueue) {
      // A peer that does not read its replies and notices must not make the
      // daemon hold them without end.
      HXT_LOGF(LOG_LEVEL_WARNING, "CControlServer::Session",
               "control peer pid %u reads nothing (%zu frames queued); closing", pid_, outbox_.size());
      Close();
      return;
    }
    outbox_.push_back(std::move(frame));
    if (outbox_.size() == 1) writeNext();
  }

  // Closes once everything queued has gone out.
  void CloseAfterSend() {
    closing_ = true;
    if (outbox_.empty()) Close();
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    boost::system::error_code ignored;
    socket_.close(ignored);
    handshake_.cancel();
    server_.forget(this);
  }

  u32 pid() const { return pid_; }
  u32 uid() const { return uid_; }
  bool IsOpen(ApiInterface which) const { return open_[static_cast<std::size_t>(which)]; }
  void SetOpen(ApiInterface which, bool open) { open_[static_cast<std::size_t>(which)] = open; }

 private:
  void read() {
    auto self = shared_from_this();
    socket_.async_read_some(
        asio::buffer(buffer_), [self](const boost::system::error_code& ec, std::size_t n) {
          if (self->closed_) return;
          if (ec) {
            self->Close();
            return;
          }
          self->rx_.insert(self->rx_.end(), self->buffer_.begin(),
                           self->buffer_.begin() + static_cast<std::ptrdiff_t>(n));
          Frame frame;
          while (!self->closed_ && !self->closing_) {
            TakeResult taken = TakeFrame(self->rx_, frame);
            if (taken == TakeResult::NeedMore) break;
            if (taken == TakeResult::Malformed) {
              if (self->server_.throttle_.Allow()) {
                HXT_LOGF(LOG_LEVEL_WARNING, kHandle, "control peer pid %u sent a malformed frame; closing",
                         self->pid_);
              }
              self->Close();
              return;
            }
            self->handleFrame(frame);
          }
          if (!self->closed_ && !self->closing_) self->read();
        });
  }

  void writeNext() {
    auto self = shared_from_this();
    asio::async_write(socket_, asio::buffer(outbox_.front()),
                      [self](const boost::system::error_code& ec, std::size_t) {
                        if (self->closed_) return;
                        if (ec) {
                          self->Close();
                          return;
                        }
                        self->outbox_.pop_front();
                        if (!self->outbox_.empty()) {
                          self->writeNext();
                        } else if (self->closing_) {
                          self->Close();
                        }
                      });
  }

  void reply(u32 sequence, u32 status, const std::string& text = std::string()) {
    FrameWriter w(kMsgResult, sequence);
    w.U32(status);
    w.String(text);
    Send(w.Finish());
  }

  void handleHello(const Frame& frame) {
    FrameReader r(frame.body.data(), frame.body.size());
    u32 version = 0;
    u32 pid = 0;
    std::string name;
    bool parsed = r.U32(version) && r.U32(pid) && r.String(name);
    FrameWriter w(kMsgHelloReply, frame.sequence);
    if (!parsed || version != kProtocolVersion) {
      char text[160];
      std::snprintf(text, sizeof text,
                    "hxsockfilterd speaks control protocol version %u; the peer speaks version %u",
                    kProtocolVersion, version);
      HXT_LOGF(LOG_LEVEL_ERROR, kHandle, "refused control peer pid %u: %s", pid_, text);
      w.U32(kErrVersionMismatch);
      w.U32(kProtocolVersion);
      w.U32(DaemonPid());
      w.String(text);
      Send(w.Finish());
      CloseAfterSend();
      return;
    }
    helloDone_ = true;
    handshake_.cancel();
    HXT_LOGF(LOG_LEVEL_DEBUG, kHandle, "control peer pid %u (%s) connected", pid_, name.c_str());
    w.U32(HXT_NGC_OK);
    w.U32(kProtocolVersion);
    w.U32(DaemonPid());
    w.String("hxsockfilterd");
    Send(w.Finish());
  }

  void handleFrame(const Frame& frame) {
    if (refused_) {
      // Told why, so that its library reports a refusal rather than a
      // daemon that is not there.
      FrameWriter w(kMsgHelloReply, frame.sequence);
      w.U32(kErrRefused);
      w.U32(kProtocolVersion);
      w.U32(DaemonPid());
      w.String("this user is not admitted to hxsockfilterd's control socket");
      Send(w.Finish());
      CloseAfterSend();
      return;
    }
    if (!helloDone_) {
      if (frame.type == kMsgHello) {
        handleHello(frame);
      } else {
        HXT_LOGF(LOG_LEVEL_WARNING, kHandle, "control peer pid %u did not start with HELLO; closing", pid_);
        reply(frame.sequence, kErrBadRequest, "HELLO expected first");
        CloseAfterSend();
      }
      return;
    }
    FrameReader r(frame.body.data(), frame.body.size());
    CFilterCore& core = server_.core_;
    bool owner = server_.owner_ == this;
    u8 which = 0;
    switch (frame.type) {
      case kMsgOpen: {
        std::string pluginId;
        if (!r.U8(which) || !IsKnownInterface(which) || !r.String(pluginId)) break;
        ApiInterface api = static_cast<ApiInterface>(which);
        if (api == ApiInterface::SocketRedirector && pluginId != HXT_SOCKET_REDIRECTOR_PLUGIN_ID) {
          reply(frame.sequence, kErrInvalidArgument, "unknown plug-in id");
          return;
        }
        if (api == ApiInterface::Velmora && core.AwaitingApproval()) {
          reply(frame.sequence, HXT_NGC_AWAITING_APPROVAL, "transparent mode awaits CAP_NET_ADMIN");
          return;
        }
        if (api == ApiInterface::Velmora) {
          if (server_.owner_ != nullptr && !owner) {
            HXT_LOGF(LOG_LEVEL_WARNING, kHandle,
                     "control peer pid %u asked for the filter, which pid %u holds", pid_,
                     server_.owner_->pid());
            reply(frame.sequence, kErrBusy, "another agent holds the filter");
            return;
          }
          server_.owner_ = this;
          core.counters().ownerConnected = true;
          HXT_LOGF(LOG_LEVEL_INFO, kHandle, "the agent (pid %u) opened the filter", pid_);
        }
        SetOpen(api, true);
        reply(frame.sequence, HXT_NGC_OK);
        if (api == ApiInterface::Velmora && server_.pendingNotice_) {
          server_.pendingNotice_ = false;
          if (server_.pendingFromPid_ != pid_)
            server_.sendDisruption(kDisruptionControlLost, server_.pendingText_);
        }
        return;
      }
      case kMsgClose: {
        if (!r.U8(which) || !IsKnownInterface(which)) break;
        ApiInterface api = static_cast<ApiInterface>(which);
        SetOpen(api, false);
        if (api == ApiInterface::Velmora && owner) {
          server_.owner_ = nullptr;
          core.counters().ownerConnected = false;
          core.SetParameters(FilterParameters());
          HXT_LOGF(LOG_LEVEL_INFO, kHandle, "the agent (pid %u) closed the filter", pid_);
        }
        reply(frame.sequence, HXT_NGC_OK);
        return;
      }
      case kMsgClear:
        if (!owner) {
          reply(frame.sequence, kErrNotOpen, "open the filter first");
          return;
        }
        core.SetParameters(FilterParameters());
        HXT_LOGF(LOG_LEVEL_INFO, kHandle, "redirection cleared");
        reply(frame.sequence, HXT_NGC_OK);
        return;
      case kMsgSetParameters: {
        if (!owner) {
          reply(frame.sequence, kErrNotOpen, "open the filter first");
          return;
        }
        u32 kind = 0;
        FilterParameters update;
        if (!DecodeParameters(r, kind, update)) break;
        if ((kind == FILTER_UPDATE_ALL || kind == FILTER_UPDATE_PIDS) && update.agentPid != pid_ &&
            !warnedPid_) {
          // Another process's pid would exempt that process's cgroup; one in
          // another pid namespace means nothing here. Said once a connection.
          warnedPid_ = true;
          HXT_LOGF(LOG_LEVEL_WARNING, kHandle,
                   "the agent's record names pid %u as the agent's; exempting its own pid %u instead",
                   update.agentPid, pid_);
        }
        FilterParameters merged = core.parameters();
        merged.Apply(kind, update);
        // The exemption belongs to the process at the other end of this
        // connection, whatever its record says.
        merged.agentPid = pid_;
        core.SetParameters(merged);
        HXT_LOGF(
            LOG_LEVEL_INFO, kHandle,
            "parameters (kind %u): IPv4 %s (UDP %u, TCP %u), IPv6 %s (UDP %u, TCP %u), %zu+%zu white-listed, "
            "%zu ignored pids",
            kind, merged.redirect4 ? "redirected" : "passed through", merged.udpPort4, merged.tcpPort4,
            merged.redirect6 ? "redirected" : "passed through", merged.udpPort6, merged.tcpPort6,
            merged.whiteList4.size(), merged.whiteList6.size(), merged.ignoredPids.size());
        std::string foreign = core.ForeignPorts();
        if (!foreign.empty()) {
          // The rest of the record stands; the agent learns which of its
          // ports it does not hold (a listener that restarted late, or a port
          // someone else took).
          reply(frame.sequence, kErrForeignPort,
                "listener ports held by another process than the agent, not redirected: " + foreign);
          return;
        }
        reply(frame.sequence, HXT_NGC_OK);
        return;
      }
      case kMsgStartEncryptedDns:
        // Stub mode sees only plain DNS sent to it; there is nothing to start.
        reply(frame.sequence, HXT_NGC_OK);
        return;
      case kMsgStatus:
        reply(frame.sequence, HXT_NGC_OK, core.Status());
        return;
      case kMsgCounters:
        reply(frame.sequence, HXT_NGC_OK, core.CounterText());
        return;
      case kMsgPrograms: {
        // Which names a program asked tells what its user does: only root,
        // the daemon's user and the agent's see them; others the counters.
        const bool names =
            server_.mayReadNames(uid_) || (server_.owner_ != nullptr && server_.owner_->uid() == uid_);
        const std::vector<std::string> rows = core.ProgramTable(names);
        FrameWriter w(kMsgResult, frame.sequence);
        w.U32(HXT_NGC_OK);
        w.String(!core.Attributing() ? "attribution is off" : names ? "names" : "counters only");
        // Within the frame's bound, the busiest programs first.
        std::size_t room = kMaxFrameLength / 2;
        u32 count = 0;
        for (const std::string& row : rows) {
          if (row.size() + 2 > room) break;
          room -= row.size() + 2;
          ++count;
        }
        w.U32(count);
        for (u32 i = 0; i < count; ++i) w.String(rows[i]);
        Send(w.Finish());
        return;
      }
      case kMsgRefreshPids:
        if (!r.U8(which) || !IsKnownInterface(which)) break;
        if (!IsOpen(static_cast<ApiInterface>(which))) {
          reply(frame.sequence, kErrNotOpen, "open the interface first");
          return;
        }
        HXT_LOGF(LOG_LEVEL_DEBUG, kHandle, "%s: process ids refreshed",
                 InterfaceName(static_cast<ApiInterface>(which)));
        core.PidsRefreshed();
        reply(frame.sequence, HXT_NGC_OK);
        return;
      default:
        break;
    }
    if (server_.throttle_.Allow()) {
      HXT_LOGF(LOG_LEVEL_WARNING, kHandle, "control peer pid %u sent an undecodable request (type %u)", pid_,
               frame.type);
    }
    reply(frame.sequence, kErrBadRequest, "undecodable request");
  }

  CControlServer& server_;
  ControlStream socket_;
  asio::steady_timer handshake_;
  std::array<u8, 16384> buffer_{};
  std::vector<u8> rx_;
  std::deque<std::vector<u8>> outbox_;
  std::array<bool, 5> open_{};
  u32 pid_ = 0;
  u32 uid_ = ~u32{0};
  bool helloDone_ = false;
  bool refused_ = false;
  bool warnedPid_ = false;
  bool closing_ = false;
  bool closed_ = false;
};

void CControlServer::wireCore() {
  core_.SetDisruptionSender([this](u32 reason, const std::string& text) { sendDisruption(reason, text); });
  core_.SetPortCheck([this](u16 family, Transport transport, u16 port, u32 pid) {
    auto owned = LoopbackListenerOwnedBy(
        core_.SocketOwners(), transport == Transport::Udp ? IPPROTO_UDP : IPPROTO_TCP, family, port, pid);
    return !owned || *owned;
  });
}

void CControlServer::Stop() {
  if (stopped_) return;
  stopped_ = true;
  stopListening();
  backoff_.Cancel();
  auto all = sessions_;
  for (const auto& session : all) session->Close();
  sessions_.clear();
}

void CControlServer::adopt(ControlStream stream) {
  if (sessions_.size() >= core_.config().maxControlPeers) {
    if (throttle_.Allow()) {
      HXT_LOGF(LOG_LEVEL_WARNING, "CControlServer::accept",
               "%zu control peers connected already; refusing another", sessions_.size());
    }
    boost::system::error_code ignored;
    stream.close(ignored);
    return;
  }
  backoff_.Succeeded();
  auto session = std::make_shared<Session>(*this, std::move(stream));
  sessions_.insert(session);
  session->Start();
}

void CControlServer::forget(Session* session) {
  if (owner_ == session) ownerLost(session);
  for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
    if (it->get() == session) {
      sessions_.erase(it);
      return;
    }
  }
}

void CControlServer::ownerLost(Session* session) {
  owner_ = nullptr;
  core_.counters().ownerConnected = false;
  const FilterParameters& p = core_.parameters();
  bool redirecting = p.redirect4 || p.redirect6;
  core_.SetParameters(FilterParameters());
  if (!redirecting || stopped_) {
    HXT_LOGF(LOG_LEVEL_INFO, "CControlServer::ownerLost", "the agent (pid %u) went away", session->pid());
    return;
  }
  char text[160];
  std::snprintf(text, sizeof text,
                "the agent (pid %u) dropped its control connection; passing every query through",
                session->pid());
  HXT_LOGF(LOG_LEVEL_WARNING, "CControlServer::ownerLost", "%s", text);
  ++core_.counters().disruptions;
  pendingNotice_ = true;
  pendingFromPid_ = session->pid();
  pendingText_ = text;
}

void CControlServer::sendDisruption(u32 reason, const std::string& text) {
  if (owner_ == nullptr) return;
  FrameWriter w(kMsgDisruption, 0);
  w.U32(reason);
  w.String(text);
  owner_->Send(w.Finish());
}

}  // namespace hxt::sockfilter
