// Batched datagram I/O, on both platforms (recvmmsg/sendmmsg on Linux, one datagram at a time on Windows):
// what waits is read with its length, the part kept bounded, and a batch goes out in order.
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <vector>

#include "daemon/datagrambatch.h"

namespace hxt::sockfilter {
namespace {

using udp = boost::asio::ip::udp;

TEST(DatagramBatchTest, ReadsWhatWaitsWithItsTrueLengthAndSendsInOrder) {
  boost::asio::io_context io;
  udp::socket server(io, udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
  udp::socket client(io, udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
  for (std::size_t i = 0; i < 40; ++i) {
    std::vector<u8> datagram(i == 6 ? 5000 : 20 + i, static_cast<u8>(i));
    client.send_to(boost::asio::buffer(datagram), server.local_endpoint());
  }
  CReceiveBatch in(32, 70, 4026);
  ASSERT_EQ(in.Receive(server.native_handle()), 32);
#ifdef _WIN32
  EXPECT_GT(in.Length(6), 4026u);  // Windows does not tell a truncated datagram's length: it says "more".
#else
  EXPECT_EQ(in.Length(6), 5000u);
#endif
  EXPECT_EQ(in.Stored(6), 4026u);
  EXPECT_EQ(in.Length(31), 51u);
  EXPECT_EQ(in.Data(31)[50], 31);
  EXPECT_EQ(in.Sender(31), client.local_endpoint());
  EXPECT_EQ(in.Receive(server.native_handle()), 8);
  EXPECT_EQ(in.Receive(server.native_handle()), 0);

  CSendBatch out(4);
  const udp::endpoint to = client.local_endpoint();
  const u8 bytes[] = {1, 2, 3};
  for (std::size_t n = 1; n <= 3; ++n) out.Add(bytes, n, &to);
  int blocked = 0;
  EXPECT_EQ(
      out.Flush(server.native_handle(), [&](const u8*, std::size_t, const udp::endpoint*) { ++blocked; }), 0);
  EXPECT_EQ(blocked, 0);
  u8 buffer[8];
  for (std::size_t n = 1; n <= 3; ++n) EXPECT_EQ(client.receive(boost::asio::buffer(buffer)), n);
}

}  // namespace
}  // namespace hxt::sockfilter
