// What transparent mode pays per UDP query to learn where it was meant to
// go: the connection tracking lookup of CConntrackLookup, timed against the
// receive of the redirected datagram itself.
//
//   sudo build/release/bench/hxt_origdst_bench [QUERIES]
//
// Runs in a network namespace of its own (unshare), so the machine's rules and
// traffic are untouched: loopback carries an extra address, 192.0.2.53, as the
// "resolver"; the owned table redirects its port 53 to a listener of the
// bench; each query comes from a fresh client socket, as programs send them.
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include "daemon/nftables.h"
#include "daemon/transparenthost.h"

namespace asio = boost::asio;
using udp = asio::ip::udp;
using namespace hxt::sockfilter;

int main(int argc, char** argv) {
  int queries = argc > 1 ? std::atoi(argv[1]) : 20000;
  if (::unshare(CLONE_NEWNET) != 0) {
    std::perror("unshare(CLONE_NEWNET) (run as root)");
    return 1;
  }
  if (std::system("ip link set lo up && ip addr add 192.0.2.53/32 dev lo") != 0) return 1;
  asio::io_context io;
  udp::socket listener(io, udp::endpoint(asio::ip::address_v4::loopback(), 0));
  const udp::endpoint local = listener.local_endpoint();
  CNftTable table;
  std::string error;
  NftRules rules;
  rules.v4.redirectUdp = true;
  rules.v4.udpPort = local.port();
  CConntrackLookup lookup;
  if (!table.Create(error) || !table.Apply(rules, error) || !lookup.Open(error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  const udp::endpoint resolver(asio::ip::make_address("192.0.2.53"), 53);
  std::vector<double> receiveNs, lookupNs;
  std::vector<unsigned char> query(33, 0), buffer(512);
  for (int i = 0; i < queries; ++i) {
    udp::socket client(io, udp::v4());
    client.send_to(asio::buffer(query), resolver);
    udp::endpoint sender, original;
    auto t0 = std::chrono::steady_clock::now();
    listener.receive_from(asio::buffer(buffer), sender);
    auto t1 = std::chrono::steady_clock::now();
    bool found = lookup.OriginalDestination(local, sender, original);
    auto t2 = std::chrono::steady_clock::now();
    if (!found || original != resolver) {
      std::fprintf(stderr, "query %d: no original destination\n", i);
      return 1;
    }
    receiveNs.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
    lookupNs.push_back(std::chrono::duration<double, std::nano>(t2 - t1).count());
  }
  for (auto [name, samples] :
       {std::make_pair("receive", &receiveNs), std::make_pair("conntrack lookup", &lookupNs)}) {
    std::sort(samples->begin(), samples->end());
    std::printf("%-17s median %7.0f ns, p99 %7.0f ns (%d queries)\n", name, (*samples)[samples->size() / 2],
                (*samples)[samples->size() * 99 / 100], queries);
  }
  return 0;
}
