// Linux: link, address and route events from an rtnetlink socket.
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <array>
#include <cstring>

#include <boost/asio/generic/raw_protocol.hpp>

#include "netwatch.h"
#include "pluginlog.h"

namespace hxt::dnsprotect {

namespace {

class CNetlinkSource final : public INetSource {
 public:
  CNetlinkSource(boost::asio::io_context& io, CNetWatch& owner) : owner_(owner), socket_(io) {
    const boost::asio::generic::raw_protocol protocol(AF_NETLINK, NETLINK_ROUTE);
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups =
        RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    boost::system::error_code e;
    socket_.open(protocol, e);
    if (!e) socket_.bind(boost::asio::generic::raw_protocol::endpoint(&address, sizeof address), e);
    if (e) {
      PluginLog(LogLevel::Warning, "network changes are not followed: netlink: " + e.message());
      socket_.close(e);
      return;
    }
    receive();
  }
  void Close() override {
    boost::system::error_code ignored;
    socket_.close(ignored);
  }

 private:
  void receive() {
    socket_.async_receive(boost::asio::buffer(buffer_),
                          [this](const boost::system::error_code& e, std::size_t size) {
                            if (e == boost::asio::error::operation_aborted || !socket_.is_open()) return;
                            if (e) {
                              // ENOBUFS: events were lost; something changed all the same.
                              owner_.Notice("network change");
                            } else {
                              const char* reason = nullptr;
                              std::size_t at = 0;
                              while (at + sizeof(nlmsghdr) <= size) {
                                nlmsghdr header;
                                std::memcpy(&header, buffer_.data() + at, sizeof header);
                                if (header.nlmsg_len < sizeof header || at + header.nlmsg_len > size) break;
                                switch (header.nlmsg_type) {
                                  case RTM_NEWLINK:
                                  case RTM_DELLINK:
                                    reason = "link change";
                                    break;
                                  case RTM_NEWADDR:
                                  case RTM_DELADDR:
                                    reason = "address change";
                                    break;
                                  case RTM_NEWROUTE:
                                  case RTM_DELROUTE:
                                    if (reason == nullptr) reason = "route change";
                                    break;
                                  default:
                                    break;
                                }
                                at += NLMSG_ALIGN(header.nlmsg_len);
                              }
                              if (reason != nullptr) owner_.Notice(reason);
                            }
                            receive();
                          });
  }

  CNetWatch& owner_;
  boost::asio::generic::raw_protocol::socket socket_;
  std::array<char, 16384> buffer_{};
};

}  // namespace

std::unique_ptr<INetSource> MakeNetSource(boost::asio::io_context& io, CNetWatch& watch) {
  return std::make_unique<CNetlinkSource>(io, watch);
}

}  // namespace hxt::dnsprotect
