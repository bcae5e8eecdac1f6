// The control channel on Windows: a named pipe (byte mode, local clients
// only) whose security descriptor lets in SYSTEM, the agent's service SID
// and, when configured, ControlGroup; each client's process token is checked
// against the same identities once it connects (GetNamedPipeClientProcessId),
// as SO_PEERCRED backs the socket's mode on Linux. The daemon's own user is
// not admitted for being itself: the service runs as SYSTEM.
//
// One pipe instance at a time waits for a client (ConnectNamedPipe,
// overlapped); once one connects, it becomes that peer's session and a new
// instance waits.
#include <winsock2.h>

#include <windows.h>

#include <sddl.h>

#include "daemon/controlserver.h"

#include <boost/asio/windows/overlapped_ptr.hpp>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "common/applog.h"
#include "common/sha1.h"
#include "common/win/widestring.h"

namespace hxt::sockfilter {

namespace asio = boost::asio;
using platform::Utf8ToWide;
using platform::WideToUtf8;

namespace {

constexpr const char* kStart = "CControlServer::Start";
constexpr const char* kAccept = "CControlServer::accept";
constexpr const char* kSession = "CControlServer::Session";
// The agent's service: its service SID is in the token of its process.
constexpr const wchar_t* kAgentService = L"HXTARROWAGENT";
constexpr DWORD kPipeBuffer = 64 * 1024;

// A service's SID is derived from its name alone (S-1-5-80 and the SHA-1 of
// the upper-case UTF-16 name), so it is known before the service exists.
std::string serviceSid(const std::wstring& upperName) {
  std::vector<unsigned char> bytes;
  for (wchar_t c : upperName) {
    bytes.push_back(static_cast<unsigned char>(c & 0xff));
    bytes.push_back(static_cast<unsigned char>((c >> 8) & 0xff));
  }
  std::array<unsigned char, 20> digest{};
  if (!Sha1(bytes.data(), bytes.size(), digest)) return std::string();
  std::string sid = "S-1-5-80";
  for (std::size_t i = 0; i < digest.size(); i += 4) {
    u32 part = static_cast<u32>(digest[i]) | static_cast<u32>(digest[i + 1]) << 8 |
               static_cast<u32>(digest[i + 2]) << 16 | static_cast<u32>(digest[i + 3]) << 24;
    sid += "-" + std::to_string(part);
  }
  return sid;
}

std::string sidText(PSID sid) {
  LPWSTR text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) return std::string();
  std::string out = WideToUtf8(text, std::wcslen(text));
  ::LocalFree(text);
  return out;
}

std::string accountSid(const std::string& account) {
  std::wstring name = Utf8ToWide(account);
  DWORD sidSize = 0, domainSize = 0;
  SID_NAME_USE use{};
  ::LookupAccountNameW(nullptr, name.c_str(), nullptr, &sidSize, nullptr, &domainSize, &use);
  if (sidSize == 0) return std::string();
  std::vector<unsigned char> sid(sidSize);
  std::vector<wchar_t> domain(domainSize + 1);
  if (!::LookupAccountNameW(nullptr, name.c_str(), sid.data(), &sidSize, domain.data(), &domainSize, &use))
    return std::string();
  return sidText(sid.data());
}

// The user and group SIDs of process `pid`'s token; empty when it cannot be read.
std::vector<std::string> tokenSids(DWORD pid) {
  std::vector<std::string> sids;
  HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return sids;
  HANDLE token = nullptr;
  if (::OpenProcessToken(process, TOKEN_QUERY, &token)) {
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> user(size);
    if (size != 0 && ::GetTokenInformation(token, TokenUser, user.data(), size, &size))
      sids.push_back(sidText(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid));
    size = 0;
    ::GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
    std::vector<unsigned char> groups(size);
    if (size != 0 && ::GetTokenInformation(token, TokenGroups, groups.data(), size, &size)) {
      const auto* list = reinterpret_cast<TOKEN_GROUPS*>(groups.data());
      for (DWORD i = 0; i < list->GroupCount; ++i) {
        if ((list->Groups[i].Attributes & SE_GROUP_ENABLED) != 0)
          sids.push_back(sidText(list->Groups[i].Sid));
      }
    }
    ::CloseHandle(token);
  }
  ::CloseHandle(process);
  return sids;
}

}  // namespace

struct CControlServer::Listener {
  std::wstring name;
  std::vector<std::string> admitted;  // SIDs, "S-1-5-18" first
  PSECURITY_DESCRIPTOR security = nullptr;
  std::unique_ptr<ControlStream> waiting;  // the instance ConnectNamedPipe waits on
  bool first = true;
  ~Listener() {
    if (security != nullptr) ::LocalFree(security);
  }
};

CControlServer::CControlServer(asio::io_context& io, CFilterCore& core)
    : io_(io), core_(core), listener_(std::make_unique<Listener>()), backoff_(io) {
  wireCore();
}

CControlServer::~CControlServer() {
  Stop();
  core_.SetDisruptionSender(nullptr);
  core_.SetPortCheck(nullptr);
}

bool CControlServer::Start() {
  Listener& l = *listener_;
  l.name = Utf8ToWide(core_.config().controlPath);
  l.admitted = {"S-1-5-18", serviceSid(kAgentService)};
  const std::string& group = core_.config().controlGroup;
  if (!group.empty()) {
    std::string sid = accountSid(group);
    if (sid.empty()) {
      HXT_LOGF(LOG_LEVEL_ERROR, kStart, "no account \"%s\" for ControlGroup; SYSTEM and the agent only",
               group.c_str());
    } else {
      l.admitted.push_back(sid);
    }
  }
  // Protected (P): nothing inherited widens it.
  std::wstring sddl = L"D:P";
  for (const std::string& sid : l.admitted) sddl += L"(A;;GA;;;" + Utf8ToWide(sid) + L")";
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &l.security,
                                                              nullptr)) {
    HXT_LOGF(LOG_LEVEL_ERROR, kStart, "cannot build the pipe's security descriptor [%lu]", ::GetLastError());
    return false;
  }
  accept();
  if (l.waiting == nullptr) return false;  // logged
  return true;
}

void CControlServer::accept() {
  Listener& l = *listener_;
  SECURITY_ATTRIBUTES attributes{sizeof attributes, l.security, FALSE};
  DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (l.first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
  HANDLE pipe = ::CreateNamedPipeW(
      l.name.c_str(), openMode, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      PIPE_UNLIMITED_INSTANCES, kPipeBuffer, kPipeBuffer, 0, &attributes);
  if (pipe == INVALID_HANDLE_VALUE) {
    DWORD error = ::GetLastError();
    if (l.first) {
      HXT_LOGF(LOG_LEVEL_ERROR, kStart, "cannot create the pipe %s [%lu]%s",
               core_.config().controlPath.c_str(), error,
               error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY
                   ? ": another hxsockfilterd listens there"
                   : "");
      return;
    }
    if (throttle_.Allow())
      HXT_LOGF(LOG_LEVEL_ERROR, kAccept, "cannot create another pipe instance [%lu]", error);
    backoff_.Wait([this] {
      if (!stopped_) accept();
    });
    return;
  }
  l.first = false;
  l.waiting = std::make_unique<ControlStream>(io_, pipe);
  asio::windows::overlapped_ptr connected(io_, [this](const boost::system::error_code& ec, std::size_t) {
    if (stopped_ || ec == asio::error::operation_aborted) return;
    ControlStream stream = std::move(*listener_->waiting);
    listener_->waiting.reset();
    if (ec) {
      if (throttle_.Allow())
        HXT_LOGF(LOG_LEVEL_ERROR, kAccept, "pipe connect error [%d-%s]", ec.value(), ec.message().c_str());
      boost::system::error_code ignored;
      stream.close(ignored);
    } else {
      adopt(std::move(stream));
    }
    accept();
  });
  BOOL done = ::ConnectNamedPipe(pipe, connected.get());
  DWORD error = ::GetLastError();
  if (!done && error == ERROR_IO_PENDING) {
    connected.release();
  } else if (done || error == ERROR_PIPE_CONNECTED) {
    // A client came between creation and the call.
    connected.complete(boost::system::error_code(), 0);
  } else {
    connected.complete(boost::system::error_code(static_cast<int>(error), boost::system::system_category()),
                       0);
  }
}

void CControlServer::stopListening() {
  if (listener_->waiting) {
    boost::system::error_code ignored;
    listener_->waiting->close(ignored);
  }
}

bool CControlServer::admitPeer(ControlStream& stream, u32& pid, u32& uid) {
  ULONG client = 0;
  if (!::GetNamedPipeClientProcessId(stream.native_handle(), &client)) {
    HXT_LOGF(LOG_LEVEL_WARNING, kSession, "refused a control peer whose process cannot be told [%lu]",
             ::GetLastError());
    return false;
  }
  pid = static_cast<u32>(client);
  uid = 0;
  const std::vector<std::string> sids = tokenSids(client);
  for (const std::string& sid : sids) {
    for (const std::string& admitted : listener_->admitted) {
      if (sid == admitted) return true;
    }
  }
  HXT_LOGF(LOG_LEVEL_WARNING, kSession, "refused control peer pid %u of user %s", pid,
           sids.empty() ? "(token not readable)" : sids.front().c_str());
  return false;
}

bool CControlServer::mayReadNames(u32) const {
  return true;  // every admitted peer is SYSTEM, the agent or ControlGroup
}

}  // namespace hxt::sockfilter
