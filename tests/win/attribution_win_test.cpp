// Which program asked, on Windows: sockets of this test process, found in the
// system's owner tables by their local endpoint.
#include <winsock2.h>

#include <windows.h>

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <chrono>
#include <optional>
#include <ostream>
#include <string>

#include "common/win/widestring.h"
#include "daemon/attribution.h"
#include "daemon/socketowner.h"
#include "daemon/sockettable_win.h"
#include "hxtarrow/sockfltrapi.h"

namespace hxt::sockfilter {
namespace {

namespace asio = boost::asio;
using udp = asio::ip::udp;
using tcp = asio::ip::tcp;

std::string ownExe() {
  wchar_t path[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  return platform::WideToUtf8(path, n);
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(::toupper(static_cast<unsigned char>(c)));
  return text;
}

// Wine (8.0 here) lists every socket but gives most of them owner pid 0 (all
// but UDP sockets in the IPv6 table); later Wine versions fill the pid in.
bool underWine() {
  return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}
constexpr const char* kWineOwners = "this Wine lists the socket without its owner pid";

struct Case {
  const char* name;
  int protocol;
  bool v6;
  bool dualStack = false;  // an IPv6 socket taking IPv4 too, asked about as IPv4
};

void PrintTo(const Case& c, std::ostream* out) {
  *out << c.name;
}

class WinAttribution : public ::testing::TestWithParam<Case> {};

// A socket of the case's protocol on loopback: a UDP socket, or the client
// end of a TCP connection (the other end a listener of this process too).
struct Sockets {
  Sockets(const Case& c)
      : loopback(c.v6 ? asio::ip::address(asio::ip::address_v6::loopback())
                      : asio::ip::address(asio::ip::address_v4::loopback())) {
    boost::system::error_code ec;
    if (c.protocol == IPPROTO_UDP) {
      datagram.open(c.v6 || c.dualStack ? udp::v6() : udp::v4(), ec);
      if (!ec && c.dualStack) datagram.set_option(asio::ip::v6_only(false), ec);
      if (!ec) datagram.bind(udp::endpoint(c.dualStack ? asio::ip::address_v6::any() : loopback, 0), ec);
      if (!ec) own = udp::endpoint(loopback, datagram.local_endpoint(ec).port());
      peer = udp::endpoint(loopback, 53);
    } else {
      listener.open(c.v6 ? tcp::v6() : tcp::v4(), ec);
      if (!ec) listener.bind(tcp::endpoint(loopback, 0), ec);
      if (!ec) listener.listen(4, ec);
      if (!ec) stream.connect(listener.local_endpoint(), ec);
      if (!ec) accepted = listener.accept(ec);
      if (!ec) {
        own = udp::endpoint(loopback, stream.local_endpoint().port());
        peer = udp::endpoint(loopback, listener.local_endpoint().port());
      }
    }
    ok = !ec;
  }
  void Close() {
    datagram.close();
    stream.close();
    accepted.close();
    listener.close();
  }
  asio::io_context io;
  asio::ip::address loopback;
  udp::socket datagram{io};
  tcp::acceptor listener{io};
  tcp::socket stream{io};
  tcp::socket accepted{io};
  udp::endpoint own;
  udp::endpoint peer;
  bool ok = false;
};

const ProgramRow* ask(CAttribution& attribution, CSocketOwners& owners, int protocol, const Sockets& s) {
  const auto identity = owners.Identify(protocol, s.own, s.peer);
  return attribution.Row(
      attribution.ProgramOf(identity ? std::optional<u32>(identity->uid) : std::nullopt,
                            identity ? std::optional<u64>(identity->inode) : std::nullopt));
}

TEST_P(WinAttribution, OwnSocketIsThisProgramAndItsClosedPortIsNot) {
  const Case& c = GetParam();
  Sockets sockets(c);
  if (!sockets.ok) GTEST_SKIP() << "no " << c.name << " socket on loopback here";
  // The ignored list names the program in another case: paths on Windows are not case-sensitive.
  CAttribution attribution({upper(ownExe())});
  CSocketOwners owners;
  u32 pid = 0;
  const auto found = SharedSocketTable().Find(c.protocol, sockets.own, sockets.peer, pid, true);
  // Listed, but without its process.
  if (found == CSocketTable::Found::NotYet && underWine()) GTEST_SKIP() << kWineOwners;
  ASSERT_EQ(CSocketTable::Found::Held, found) << "the owner table names no process for our socket";
  ASSERT_EQ(::GetCurrentProcessId(), pid);

  const ProgramRow* row = ask(attribution, owners, c.protocol, sockets);
  ASSERT_NE(nullptr, row);
  EXPECT_TRUE(SamePath(ownExe(), row->exe)) << row->exe;
  EXPECT_EQ(::GetCurrentProcessId(), row->pid);
  EXPECT_TRUE(row->ignored);
  // The UDP socket, or the TCP listener, counts as this process's loopback
  // listener (the dual-stack one through its wildcard address).
  const u16 family = c.v6 ? HXT_AF_INET6 : HXT_AF_INET;
  const u16 port = c.protocol == IPPROTO_UDP ? sockets.own.port() : sockets.peer.port();
  EXPECT_EQ(true, LoopbackListenerOwnedBy(owners, c.protocol, family, port, pid));
  EXPECT_EQ(false, LoopbackListenerOwnedBy(owners, c.protocol, family, port, pid + 4));

  // The snapshot may answer for a moment longer; then the port is not ours.
  sockets.Close();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  std::string exe;
  do {
    row = ask(attribution, owners, c.protocol, sockets);
    exe = row != nullptr ? row->exe : "";
  } while (SamePath(ownExe(), exe) && std::chrono::steady_clock::now() < deadline);
  EXPECT_FALSE(SamePath(ownExe(), exe));
  EXPECT_FALSE(LoopbackListenerOwnedBy(owners, c.protocol, family, port, pid).has_value());
}

INSTANTIATE_TEST_SUITE_P(Sockets, WinAttribution,
                         ::testing::Values(Case{"Udp4", IPPROTO_UDP, false}, Case{"Udp6", IPPROTO_UDP, true},
                                           Case{"Udp4DualStack", IPPROTO_UDP, false, true},
                                           Case{"Tcp4", IPPROTO_TCP, false}, Case{"Tcp6", IPPROTO_TCP, true}),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
}  // namespace hxt::sockfilter
