// Linux: link, address and route events from an rtnetlink socket.
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>

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
    socket_.async_receive(
        boost::asio::buffer(buffer_), [this](const boost::system::error_code& e, std::size_t size) {
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
              if (header.nlmsg_len < NLMSG_HDRLEN || at + header.nlmsg_len > size) break;
              const char* changed = judge(header.nlmsg_type, buffer_.data() + at + NLMSG_HDRLEN,
                                          header.nlmsg_len - NLMSG_HDRLEN);
              if (reason == nullptr) reason = changed;
              at += NLMSG_ALIGN(header.nlmsg_len);
            }
            if (reason != nullptr) owner_.Notice(reason);
          }
          receive();
        });
  }

  // What an event changes, or nullptr when it changes nothing that matters:
  // the kernel repeats links with new counters, and addresses and routes
  // with new lifetimes at every router advertisement.
  const char* judge(std::uint16_t type, const char* body, std::size_t length) {
    switch (type) {
      case RTM_NEWLINK:
      case RTM_DELLINK: {
        if (length < sizeof(ifinfomsg)) return nullptr;
        ifinfomsg link;
        std::memcpy(&link, body, sizeof link);
        const unsigned flags = link.ifi_flags & (IFF_UP | IFF_RUNNING);
        return Update(links_, std::to_string(link.ifi_index), type == RTM_NEWLINK, flags) ? "link change"
                                                                                          : nullptr;
      }
      case RTM_NEWADDR:
      case RTM_DELADDR: {
        if (length < sizeof(ifaddrmsg)) return nullptr;
        ifaddrmsg address;
        std::memcpy(&address, body, sizeof address);
        const std::string key = std::to_string(address.ifa_family) + "/" + std::to_string(address.ifa_index) +
                                "/" + std::to_string(address.ifa_prefixlen) + "/" +
                                Attributes(body, sizeof address, length, {IFA_ADDRESS, IFA_LOCAL});
        // An address still checking for duplicates is not usable yet.
        const unsigned flags = address.ifa_flags & (IFA_F_TENTATIVE | IFA_F_DADFAILED);
        return Update(addresses_, key, type == RTM_NEWADDR, flags) ? "address change" : nullptr;
      }
      case RTM_NEWROUTE:
      case RTM_DELROUTE: {
        if (length < sizeof(rtmsg)) return nullptr;
        rtmsg route;
        std::memcpy(&route, body, sizeof route);
        const std::string key =
            std::to_string(route.rtm_family) + "/" + std::to_string(route.rtm_dst_len) + "/" +
            std::to_string(route.rtm_table) + "/" + std::to_string(route.rtm_type) + "/" +
            Attributes(body, sizeof route, length, {RTA_DST, RTA_GATEWAY, RTA_OIF, RTA_PRIORITY, RTA_TABLE});
        return Update(routes_, key, type == RTM_NEWROUTE, 0) ? "route change" : nullptr;
      }
      default:
        return nullptr;
    }
  }

  // Records `key` as present with `flags`, or as gone; true when that is news.
  static bool Update(std::map<std::string, unsigned>& known, const std::string& key, bool present,
                     unsigned flags) {
    if (!present) return known.erase(key) == 1;
    auto [entry, added] = known.try_emplace(key, flags);
    if (added) return true;
    return std::exchange(entry->second, flags) != flags;
  }

  // The payloads of the attributes `wanted` in the type-length-value list
  // after a fixed header of `fixed` bytes, each tagged with its type.
  static std::string Attributes(const char* body, std::size_t fixed, std::size_t length,
                                std::initializer_list<unsigned short> wanted) {
    std::string out;
    std::size_t at = NLMSG_ALIGN(fixed);
    while (at + sizeof(rtattr) <= length) {
      rtattr attribute;
      std::memcpy(&attribute, body + at, sizeof attribute);
      if (attribute.rta_len < sizeof attribute || at + attribute.rta_len > length) break;
      if (std::find(wanted.begin(), wanted.end(), attribute.rta_type) != wanted.end()) {
        out += std::to_string(attribute.rta_type) + "=";
        out.append(body + at + RTA_LENGTH(0), attribute.rta_len - RTA_LENGTH(0));
        out += ";";
      }
      at += RTA_ALIGN(attribute.rta_len);
    }
    return out;
  }

  CNetWatch& owner_;
  boost::asio::generic::raw_protocol::socket socket_;
  std::array<char, 16384> buffer_{};
  // What the events told so far: links (their up/running flags), addresses
  // (tentative or not) and routes. Not primed with what existed before the
  // watch started, so the first repeat of each of those costs one re-probe.
  std::map<std::string, unsigned> links_, addresses_, routes_;
};

}  // namespace

std::unique_ptr<INetSource> MakeNetSource(boost::asio::io_context& io, CNetWatch& watch) {
  return std::make_unique<CNetlinkSource>(io, watch);
}

}  // namespace hxt::dnsprotect
