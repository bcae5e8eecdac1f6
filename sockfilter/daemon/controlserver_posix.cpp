// The control channel on Linux: a UNIX stream socket whose mode keeps other
// users out, and each peer's credentials (SO_PEERCRED) checked again.
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "common/applog.h"
#include "daemon/controlserver.h"

namespace hxt::sockfilter {

namespace asio = boost::asio;
using stream = asio::local::stream_protocol;

namespace {

constexpr const char* kStart = "CControlServer::Start";

bool lookUpGroup(const std::string& name, gid_t& gid) {
  std::vector<char> buffer(16384);
  group entry{};
  group* found = nullptr;
  if (::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
    return false;
  gid = found->gr_gid;
  return true;
}

// Root, the daemon's own user and, with ControlGroup, the group's members.
bool admits(bool hasGroup, gid_t group, uid_t uid, gid_t gid) {
  if (uid == 0 || uid == ::geteuid()) return true;
  if (!hasGroup) return false;
  if (gid == group) return true;
  // A member of the group whose primary group is another.
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return false;
  int count = 64;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  if (::getgrouplist(found->pw_name, gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<std::size_t>(count));
    if (::getgrouplist(found->pw_name, gid, groups.data(), &count) < 0) return false;
  }
  groups.resize(static_cast<std::size_t>(count));
  return std::find(groups.begin(), groups.end(), group) != groups.end();
}

}  // namespace

struct CControlServer::Listener {
  explicit Listener(asio::io_context& io) : acceptor(io) {}
  stream::acceptor acceptor;
  std::string path;
  bool created = false;
  gid_t group = 0;
  bool hasGroup = false;
};

CControlServer::CControlServer(asio::io_context& io, CFilterCore& core)
    : io_(io), core_(core), listener_(std::make_unique<Listener>(io)), backoff_(io) {
  wireCore();
}

CControlServer::~CControlServer() {
  Stop();
  core_.SetDisruptionSender(nullptr);
  core_.SetPortCheck(nullptr);
}

bool CControlServer::Start() {
  listener_->path = core_.config().controlPath;
  std::error_code made;
  std::filesystem::path folder = std::filesystem::path(listener_->path).parent_path();
  if (!folder.empty()) std::filesystem::create_directories(folder, made);
  if (made) {
    HXT_LOGF(LOG_LEVEL_ERROR, kStart, "cannot create %s [%d-%s]", folder.string().c_str(), made.value(),
             made.message().c_str());
    return false;
  }
  boost::system::error_code ec;
  if (std::filesystem::exists(listener_->path, made)) {
    stream::socket probe(io_);
    probe.connect(stream::endpoint(listener_->path), ec);
    if (!ec) {
      HXT_LOGF(LOG_LEVEL_ERROR, kStart, "another hxsockfilterd listens on %s", listener_->path.c_str());
      return false;
    }
    ::unlink(listener_->path.c_str());  // left behind by a daemon that died
  }
  listener_->acceptor.open(stream(), ec);
  if (!ec) listener_->acceptor.bind(stream::endpoint(listener_->path), ec);
  if (!ec) {
    listener_->created = true;
    mode_t mode = S_IRUSR | S_IWUSR;
    if (!core_.config().controlGroup.empty()) {
      if (lookUpGroup(core_.config().controlGroup, listener_->group) &&
          ::chown(listener_->path.c_str(), static_cast<uid_t>(-1), listener_->group) == 0) {
        listener_->hasGroup = true;
        mode |= S_IRGRP | S_IWGRP;
      } else {
        // Owner-only still works for an agent of the daemon's own user.
        HXT_LOGF(LOG_LEVEL_ERROR, kStart, "cannot give the control socket to group \"%s\"; owner only",
                 core_.config().controlGroup.c_str());
      }
    }
    if (::chmod(listener_->path.c_str(), mode) != 0) ec.assign(errno, boost::system::system_category());
  }
  if (!ec) listener_->acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    HXT_LOGF(LOG_LEVEL_ERROR, kStart, "cannot listen on %s [%d-%s]", listener_->path.c_str(), ec.value(),
             ec.message().c_str());
    return false;
  }
  accept();
  return true;
}

void CControlServer::stopListening() {
  boost::system::error_code ignored;
  listener_->acceptor.close(ignored);
  if (listener_->created) ::unlink(listener_->path.c_str());
  listener_->created = false;
}

void CControlServer::accept() {
  listener_->acceptor.async_accept([this](const boost::system::error_code& ec, stream::socket socket) {
    if (ec == asio::error::operation_aborted || stopped_) return;
    if (ec) {
      if (throttle_.Allow()) {
        HXT_LOGF(LOG_LEVEL_ERROR, "CControlServer::accept", "accept error [%d-%s]", ec.value(),
                 ec.message().c_str());
      }
      if (CAcceptBackoff::Calls(ec)) {
        backoff_.Wait([this] {
          if (!stopped_) accept();
        });
        return;
      }
    } else {
      adopt(std::move(socket));
    }
    accept();
  });
}

bool CControlServer::admitPeer(ControlStream& socket, u32& pid, u32& uid) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
    // Whoever it is, we cannot tell: not admitted.
    HXT_LOGF(LOG_LEVEL_WARNING, "CControlServer::Session",
             "refused a control peer whose credentials cannot be read [%d]", errno);
    return false;
  }
  pid = static_cast<u32>(credentials.pid);
  uid = static_cast<u32>(credentials.uid);
  // The socket's mode already keeps others out; this catches a socket whose
  // mode was loosened by hand.
  if (admits(listener_->hasGroup, listener_->group, credentials.uid, credentials.gid)) return true;
  HXT_LOGF(LOG_LEVEL_WARNING, "CControlServer::Session", "refused control peer pid %u of user %u", pid,
           static_cast<unsigned>(credentials.uid));
  return false;
}

// Which names a program asked tells what its user does: root and the
// daemon's user see them (and the agent's, which the session checks).
bool CControlServer::mayReadNames(u32 uid) const {
  return uid == 0 || uid == static_cast<u32>(::geteuid());
}

}  // namespace hxt::sockfilter
