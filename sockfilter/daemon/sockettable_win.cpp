#include "daemon/sockettable_win.h"

#include <winsock2.h>

#include <iphlpapi.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>

#include "common/win/widestring.h"

namespace hxt::sockfilter {

namespace {

// Closed, or waiting out its last packets: no process holds it any more.
bool ended(DWORD state) {
  return state == MIB_TCP_STATE_CLOSED || state == MIB_TCP_STATE_TIME_WAIT ||
         state == MIB_TCP_STATE_DELETE_TCB;
}

u16 portOf(DWORD field) {
  return ::ntohs(static_cast<u16>(field));
}

std::array<u8, 16> bytesOf(const boost::asio::ip::address& address) {
  std::array<u8, 16> out{};
  if (address.is_v4()) {
    const auto bytes = address.to_v4().to_bytes();
    std::memcpy(out.data(), bytes.data(), bytes.size());
  } else {
    out = address.to_v6().to_bytes();
  }
  return out;
}

}  // namespace

CSocketTable::~CSocketTable() {
  for (Open& entry : open_) ::CloseHandle(entry.handle);
}

bool CSocketTable::readTable(int protocol, bool v6, u16 wantedPort, Snapshot& snapshot) {
  ++reads_;
  snapshot.rows.clear();
  snapshot.read = true;
  snapshot.readAt = std::chrono::steady_clock::now();
  const ULONG family = v6 ? AF_INET6 : AF_INET;
  DWORD status = ERROR_INSUFFICIENT_BUFFER;
  // Sockets opened between the size query and the read make it too small
  // again: a few tries, each with room to spare.
  for (int attempt = 0; attempt < 4 && status == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
    DWORD size = static_cast<DWORD>(buffer_.size());
    void* data = buffer_.empty() ? nullptr : buffer_.data();
    status = protocol == IPPROTO_TCP
                 ? ::GetExtendedTcpTable(data, &size, FALSE, family, TCP_TABLE_OWNER_PID_ALL, 0)
                 : ::GetExtendedUdpTable(data, &size, FALSE, family, UDP_TABLE_OWNER_PID, 0);
    if (status == ERROR_INSUFFICIENT_BUFFER) buffer_.resize(size + size / 4 + 256);
  }
  const auto took = std::chrono::steady_clock::now() - snapshot.readAt;
  snapshot.gap = std::max<std::chrono::steady_clock::duration>(kTableMinRead, took * 10);
  if (status != NO_ERROR) return false;
  auto add = [&](const Row& row) {
    if (snapshot.rows.size() < kTableMaxRows || row.localPort == wantedPort) snapshot.rows.push_back(row);
  };
  const void* table = buffer_.data();
  if (protocol == IPPROTO_TCP && !v6) {
    const auto* rows = static_cast<const MIB_TCPTABLE_OWNER_PID*>(table);
    for (DWORD i = 0; i < rows->dwNumEntries; ++i) {
      const MIB_TCPROW_OWNER_PID& r = rows->table[i];
      Row row;
      row.localPort = portOf(r.dwLocalPort);
      row.remotePort = portOf(r.dwRemotePort);
      row.listening = r.dwState == MIB_TCP_STATE_LISTEN;
      row.ended = ended(r.dwState);
      row.pid = r.dwOwningPid;
      std::memcpy(row.local.data(), &r.dwLocalAddr, 4);
      std::memcpy(row.remote.data(), &r.dwRemoteAddr, 4);
      add(row);
    }
  } else if (protocol == IPPROTO_TCP) {
    const auto* rows = static_cast<const MIB_TCP6TABLE_OWNER_PID*>(table);
    for (DWORD i = 0; i < rows->dwNumEntries; ++i) {
      const MIB_TCP6ROW_OWNER_PID& r = rows->table[i];
      Row row;
      row.localPort = portOf(r.dwLocalPort);
      row.remotePort = portOf(r.dwRemotePort);
      row.listening = r.dwState == MIB_TCP_STATE_LISTEN;
      row.ended = ended(r.dwState);
      row.pid = r.dwOwningPid;
      std::memcpy(row.local.data(), r.ucLocalAddr, 16);
      std::memcpy(row.remote.data(), r.ucRemoteAddr, 16);
      add(row);
    }
  } else if (!v6) {
    const auto* rows = static_cast<const MIB_UDPTABLE_OWNER_PID*>(table);
    for (DWORD i = 0; i < rows->dwNumEntries; ++i) {
      const MIB_UDPROW_OWNER_PID& r = rows->table[i];
      Row row;
      row.localPort = portOf(r.dwLocalPort);
      row.pid = r.dwOwningPid;
      std::memcpy(row.local.data(), &r.dwLocalAddr, 4);
      add(row);
    }
  } else {
    const auto* rows = static_cast<const MIB_UDP6TABLE_OWNER_PID*>(table);
    for (DWORD i = 0; i < rows->dwNumEntries; ++i) {
      const MIB_UDP6ROW_OWNER_PID& r = rows->table[i];
      Row row;
      row.localPort = portOf(r.dwLocalPort);
      row.pid = r.dwOwningPid;
      std::memcpy(row.local.data(), r.ucLocalAddr, 16);
      add(row);
    }
  }
  std::sort(snapshot.rows.begin(), snapshot.rows.end(),
            [](const Row& a, const Row& b) { return a.localPort < b.localPort; });
  return true;
}

const CSocketTable::Row* CSocketTable::match(const Snapshot& snapshot, int protocol,
                                             const boost::asio::ip::udp::endpoint& own,
                                             const boost::asio::ip::udp::endpoint& peer) {
  Row key;
  key.localPort = own.port();
  const auto range = std::equal_range(snapshot.rows.begin(), snapshot.rows.end(), key,
                                      [](const Row& a, const Row& b) { return a.localPort < b.localPort; });
  const std::array<u8, 16> ownBytes = bytesOf(own.address());
  const std::array<u8, 16> peerBytes = bytesOf(peer.address());
  const std::array<u8, 16> none{};
  const Row* wildcard = nullptr;
  const Row* ended = nullptr;
  for (auto row = range.first; row != range.second; ++row) {
    if (protocol == IPPROTO_TCP) {
      // A connection by both ends; port 0 asks for the listener.
      if (peer.port() == 0 ? !row->listening
                           : row->listening || row->remotePort != peer.port() || row->remote != peerBytes)
        continue;
    }
    // An old connection's last state may still be listed beside a new one
    // between the same ends.
    if (row->ended) {
      ended = &*row;
      continue;
    }
    if (row->local == ownBytes) return &*row;
    // Bound to every address: it receives what is sent to this one, unless
    // a socket bound to this very address is found too.
    if (row->local == none && wildcard == nullptr) wildcard = &*row;
  }
  return wildcard != nullptr ? wildcard : ended;
}

CSocketTable::Found CSocketTable::answer(const Row* row, u32& pid) const {
  if (row == nullptr || row->ended) return Found::Gone;
  // Listed without its process (the system's own, or a table that leaves
  // owners out): it exists, whose it is stays open.
  if (row->pid == 0) return Found::NotYet;
  pid = row->pid;
  return Found::Held;
}

CSocketTable::Found CSocketTable::Find(int protocol, const boost::asio::ip::udp::endpoint& own,
                                       const boost::asio::ip::udp::endpoint& peer, u32& pid, bool fresh) {
  std::lock_guard<std::mutex> guard(lock_);
  const Found found = findIn(protocol, own, peer, pid, fresh);
  if (found == Found::Held || !own.address().is_v4()) return found;
  // A dual-stack socket (IPv6, taking IPv4 too) is listed among the IPv6
  // ones only, with IPv4 addresses in their mapped form.
  auto mapped = [](const boost::asio::ip::udp::endpoint& endpoint) {
    return boost::asio::ip::udp::endpoint(
        boost::asio::ip::make_address_v6(boost::asio::ip::v4_mapped, endpoint.address().to_v4()),
        endpoint.port());
  };
  const Found dual = findIn(protocol, mapped(own), peer.address().is_v4() ? mapped(peer) : peer, pid, fresh);
  if (dual == Found::Held) return dual;
  return found == Found::NotYet || dual == Found::NotYet ? Found::NotYet : Found::Gone;
}

CSocketTable::Found CSocketTable::findIn(int protocol, const boost::asio::ip::udp::endpoint& own,
                                         const boost::asio::ip::udp::endpoint& peer, u32& pid, bool fresh) {
  const bool v6 = own.address().is_v6();
  Snapshot& snapshot = snapshots_[(protocol == IPPROTO_TCP ? 2 : 0) + (v6 ? 1 : 0)];
  const auto age = std::chrono::steady_clock::now() - snapshot.readAt;
  if (!fresh && snapshot.read) {
    if (age < kTableFresh) {
      if (const Row* row = match(snapshot, protocol, own, peer)) return answer(row, pid);
    }
    if (age < snapshot.gap) return Found::NotYet;
  }
  if (!readTable(protocol, v6, own.port(), snapshot)) return Found::NotYet;
  return answer(match(snapshot, protocol, own, peer), pid);
}

CSocketTable::Process CSocketTable::ProcessOf(u32 pid) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto now = std::chrono::steady_clock::now();
  Process process;
  for (auto it = open_.begin(); it != open_.end(); ++it) {
    if (it->pid != pid) continue;
    if (::WaitForSingleObject(it->handle, 0) == WAIT_OBJECT_0) {
      ::CloseHandle(it->handle);
      open_.erase(it);
      process.state = Process::State::Exited;
      return process;
    }
    it->used = now;
    return it->process;
  }
  HANDLE handle = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
  if (handle == nullptr) {
    // No such process: the id names none (any more).
    process.state =
        ::GetLastError() == ERROR_INVALID_PARAMETER ? Process::State::Exited : Process::State::Hidden;
    return process;
  }
  if (::WaitForSingleObject(handle, 0) == WAIT_OBJECT_0) {
    ::CloseHandle(handle);
    process.state = Process::State::Exited;
    return process;
  }
  process.state = Process::State::Running;
  // Most paths fit the first buffer; the longest a path may be, the second.
  std::wstring path(1024, L'\0');
  DWORD size = static_cast<DWORD>(path.size());
  if (!::QueryFullProcessImageNameW(handle, 0, path.data(), &size)) {
    path.assign(32768, L'\0');
    size = static_cast<DWORD>(path.size());
    if (!::QueryFullProcessImageNameW(handle, 0, path.data(), &size)) size = 0;
  }
  process.exe = platform::WideToUtf8(path.data(), size);
  HANDLE token = nullptr;
  if (::OpenProcessToken(handle, TOKEN_QUERY, &token)) {
    DWORD needed = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &needed);
    std::vector<unsigned char> user(needed);
    if (needed != 0 && ::GetTokenInformation(token, TokenUser, user.data(), needed, &needed)) {
      PSID sid = reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
      const UCHAR parts = *::GetSidSubAuthorityCount(sid);
      if (parts > 0) process.user = static_cast<u32>(*::GetSidSubAuthority(sid, parts - 1u));
    }
    ::CloseHandle(token);
  }
  if (open_.size() >= kMaxOpenProcesses) {
    auto oldest = std::min_element(open_.begin(), open_.end(),
                                   [](const Open& a, const Open& b) { return a.used < b.used; });
    ::CloseHandle(oldest->handle);
    open_.erase(oldest);
  }
  open_.push_back(Open{pid, handle, process, now});
  return process;
}

CSocketTable& SharedSocketTable() {
  static CSocketTable table;
  return table;
}

bool SamePath(const std::string& a, const std::string& b) {
  std::wstring wa = platform::Utf8ToWide(a);
  std::wstring wb = platform::Utf8ToWide(b);
  if (wa.empty() || wa.size() != wb.size()) return false;
  std::replace(wa.begin(), wa.end(), L'/', L'\\');
  std::replace(wb.begin(), wb.end(), L'/', L'\\');
  return ::CompareStringOrdinal(wa.data(), static_cast<int>(wa.size()), wb.data(),
                                static_cast<int>(wb.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace hxt::sockfilter
