// The Windows halves of hxsockfilterd and of the filter library's channel,
// under Wine: the named pipe's client end and the adapters' resolvers.
#include <gtest/gtest.h>

#include <windows.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <string>
#include <thread>
#include <vector>

#include "daemon/resolversource.h"
#include "lib/controlchannel.h"

namespace hxt::sockfilter {
namespace {

using udp = boost::asio::ip::udp;

// A pipe server that writes `reply` to its first client and closes.
struct OneShotPipe {
  explicit OneShotPipe(const std::wstring& name, std::string reply) {
    pipe = ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                              nullptr);
    server = std::thread([this, reply] {
      ::ConnectNamedPipe(pipe, nullptr);
      DWORD written = 0;
      ::WriteFile(pipe, reply.data(), static_cast<DWORD>(reply.size()), &written, nullptr);
      ::FlushFileBuffers(pipe);
      ::DisconnectNamedPipe(pipe);
    });
  }
  ~OneShotPipe() {
    server.join();
    ::CloseHandle(pipe);
  }
  HANDLE pipe;
  std::thread server;
};

TEST(WinControlChannel, NoPipeIsNoDaemonAndBytesBeforeTheEndAreKept) {
  CControlChannel absent;
  EXPECT_EQ(absent.Connect("\\\\.\\pipe\\hxt-test-nobody"), kErrNoDaemon);
  EXPECT_FALSE(absent.Connected());

  const std::string name = "\\\\.\\pipe\\hxt-test-" + std::to_string(::GetCurrentProcessId());
  OneShotPipe server(std::wstring(name.begin(), name.end()), "reply");
  CControlChannel channel;
  ASSERT_EQ(channel.Connect(name), HXT_NGC_OK);
  std::vector<u8> rx;
  bool alive = true;
  for (int i = 0; i < 100 && alive && rx.size() < 5; ++i) {
    channel.WaitReadable(50);
    alive = channel.ReadAvailable(rx);
  }
  EXPECT_EQ(std::string(rx.begin(), rx.end()), "reply");
  // The end shows once everything before it was handed over.
  for (int i = 0; i < 100 && alive; ++i) {
    channel.WaitReadable(50);
    alive = channel.ReadAvailable(rx);
  }
  EXPECT_FALSE(alive);
}

// The adapters' DNS servers (under Wine, the host's resolv.conf, which may well name a loopback resolver):
// never a loopback address, whether the stub's own or another, and on the port asked for.
TEST(WinResolverSource, AdaptersListHoldsNoLoopbackAddress) {
  SockFilterConfig config;
  config.resolvConfPath = "adapters";
  config.resolvConfCheckInterval = std::chrono::milliseconds(0);
  config.stub4 = udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 53);
  config.stub6 = udp::endpoint(boost::asio::ip::make_address("::1"), 53);
  CResolverSource source(config);
  for (const auto* list : {&source.Known(), &source.Current()}) {
    for (const udp::endpoint& resolver : *list) {
      EXPECT_FALSE(resolver.address().is_loopback()) << EndpointText(resolver);
      EXPECT_EQ(resolver.port(), 53);
    }
  }
}

}  // namespace
}  // namespace hxt::sockfilter
