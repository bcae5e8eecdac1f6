#include "daemon/transparenthost.h"

#include <ifaddrs.h>
#include <net/if.h>

#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_conntrack.h>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace hxt::sockfilter {

namespace asio = boost::asio;

namespace {

// From the kernel's netfilter_ipv4.h and ip6_tables.h, whose other contents
// clash with the C library's headers.
constexpr int kSoOriginalDst = 80;
constexpr int kIp6tSoOriginalDst = 80;
constexpr int kCapNetAdmin = 12;
constexpr const char* kNftCgroupRoot = "/sys/fs/cgroup";

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

bool StatusHasNetAdmin(const std::string& statusText) {
  std::istringstream lines(statusText);
  std::string line;
  while (std::getline(lines, line)) {
    if (!startsWith(line, "CapEff:")) continue;
    unsigned long long mask = std::strtoull(line.c_str() + 7, nullptr, 16);
    return (mask >> kCapNetAdmin) & 1u;
  }
  return false;
}

bool HasNetAdmin() {
  return StatusHasNetAdmin(readFile("/proc/self/status"));
}

std::optional<std::string> CgroupFromProcText(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (startsWith(line, "0::")) return line.substr(3);
  }
  return std::nullopt;
}

std::optional<std::string> Cgroup2MountFromMountinfo(const std::string& text) {
  // "36 25 0:31 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw": the mount
  // point is the fifth field, the file system type follows the " - ".
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    std::istringstream after(line.substr(dash + 3));
    std::string type;
    after >> type;
    if (type != "cgroup2") continue;
    std::istringstream fields(line.substr(0, dash));
    std::string field;
    for (int i = 0; i < 5 && fields >> field; ++i) {
    }
    if (!field.empty()) return field;
  }
  return std::nullopt;
}

std::optional<NftCgroup> CgroupExemption(const std::string& mount, const std::string& path) {
  NftCgroup cgroup;
  std::istringstream parts(path);
  std::string part;
  std::string clean;
  while (std::getline(parts, part, '/')) {
    if (part.empty()) continue;
    if (part == "." || part == "..") return std::nullopt;
    clean += "/" + part;
    ++cgroup.level;
  }
  if (cgroup.level == 0) return std::nullopt;
  // nft resolves the path below /sys/fs/cgroup; a hierarchy mounted
  // elsewhere is reached from there.
  std::string base;
  if (mount == kNftCgroupRoot) {
    base = "";
  } else if (startsWith(mount, std::string(kNftCgroupRoot) + "/")) {
    base = mount.substr(std::strlen(kNftCgroupRoot) + 1);
  } else {
    base = "../../.." + mount;
  }
  cgroup.nftPath = base.empty() ? clean.substr(1) : base + clean;
  if (!NftQuotable(cgroup.nftPath)) return std::nullopt;
  return cgroup;
}

std::optional<NftCgroup> ExemptionForCgroup(const std::string& path, std::string& why) {
  auto mount = Cgroup2MountFromMountinfo(readFile("/proc/self/mountinfo"));
  if (!mount) {
    why = "no cgroup v2 hierarchy is mounted";
    return std::nullopt;
  }
  if (!NftQuotable(path)) {
    // Shown escaped: the name may hold anything but a slash, newlines too.
    std::string shown;
    for (unsigned char c : path) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      bool plain = c != '"' && c != '\\' && c >= 0x20 && c < 0x7F;
      shown += plain ? std::string(1, static_cast<char>(c)) : std::string(hex);
    }
    why = "cgroup \"" + shown + "\" has a name nftables cannot take (a quote or a control character)";
    return std::nullopt;
  }
  auto cgroup = CgroupExemption(*mount, path);
  if (!cgroup) {
    why = "cgroup \"" + path + "\" is the root cgroup or no cgroup path";
    return std::nullopt;
  }
  struct stat st {};
  if (::stat((*mount + path).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    why = "cgroup \"" + path + "\" does not exist";
    return std::nullopt;
  }
  return cgroup;
}

std::optional<NftCgroup> ExemptionForPid(u32 pid, std::string& why) {
  std::string text = readFile("/proc/" + std::to_string(pid) + "/cgroup");
  auto path = CgroupFromProcText(text);
  if (!path) {
    why = "process " + std::to_string(pid) + " does not exist or is in no cgroup v2";
    return std::nullopt;
  }
  if (*path == "/") {
    why = "process " + std::to_string(pid) + " runs in the root cgroup, which cannot be exempted alone";
    return std::nullopt;
  }
  return ExemptionForCgroup(*path, why);
}

std::vector<LinkLocalAddress> LinkLocalAddresses() {
  std::vector<LinkLocalAddress> found;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return found;
  for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET6 || (i->ifa_flags & IFF_UP) == 0 ||
        (i->ifa_flags & IFF_LOOPBACK) != 0)
      continue;
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(i->ifa_addr);
    if (!IN6_IS_ADDR_LINKLOCAL(&in6->sin6_addr) || in6->sin6_scope_id == 0) continue;
    const std::string name = i->ifa_name;
    bool known = false;
    for (const LinkLocalAddress& f : found) known = known || f.interface == name;
    if (known) continue;
    boost::asio::ip::address_v6::bytes_type bytes;
    std::memcpy(bytes.data(), &in6->sin6_addr, 16);
    found.push_back({name, in6->sin6_scope_id, boost::asio::ip::address_v6(bytes, in6->sin6_scope_id)});
  }
  ::freeifaddrs(list);
  return found;
}

bool OriginalDestination(asio::ip::tcp::socket& socket, asio::ip::tcp::endpoint& original) {
  boost::system::error_code ec;
  bool v6 = socket.local_endpoint(ec).address().is_v6();
  if (ec) return false;
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  int rc = v6 ? ::getsockopt(socket.native_handle(), SOL_IPV6, kIp6tSoOriginalDst, &address, &length)
              : ::getsockopt(socket.native_handle(), SOL_IP, kSoOriginalDst, &address, &length);
  if (rc != 0) return false;
  if (address.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&address);
    asio::ip::address_v4::bytes_type bytes;
    std::memcpy(bytes.data(), &in->sin_addr, 4);
    original = asio::ip::tcp::endpoint(asio::ip::address_v4(bytes), ntohs(in->sin_port));
    return true;
  }
  if (address.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
    asio::ip::address_v6::bytes_type bytes;
    std::memcpy(bytes.data(), &in6->sin6_addr, 16);
    original = asio::ip::tcp::endpoint(asio::ip::address_v6(bytes), ntohs(in6->sin6_port));
    return true;
  }
  return false;
}

namespace {

// A netlink message under construction, attributes nested by hand.
class NlBuilder {
 public:
  explicit NlBuilder(u16 type, u16 flags, u32 sequence) {
    nlmsghdr header{};
    header.nlmsg_type = type;
    header.nlmsg_flags = flags;
    header.nlmsg_seq = sequence;
    append(&header, sizeof header);
  }
  void Raw(const void* data, std::size_t size) { append(data, size); }
  std::size_t Begin(u16 type) {
    std::size_t at = bytes_.size();
    nlattr attr{};
    attr.nla_type = static_cast<u16>(type | NLA_F_NESTED);
    append(&attr, sizeof attr);
    return at;
  }
  void End(std::size_t at) {
    auto* attr = reinterpret_cast<nlattr*>(bytes_.data() + at);
    attr->nla_len = static_cast<u16>(bytes_.size() - at);
  }
  void Attr(u16 type, const void* data, std::size_t size) {
    nlattr attr{};
    attr.nla_type = type;
    attr.nla_len = static_cast<u16>(NLA_HDRLEN + size);
    append(&attr, sizeof attr);
    append(data, size);
    bytes_.resize(NLMSG_ALIGN(bytes_.size()), 0);
  }
  std::vector<u8>& Finish() {
    reinterpret_cast<nlmsghdr*>(bytes_.data())->nlmsg_len = static_cast<u32>(bytes_.size());
    return bytes_;
  }

 private:
  void append(const void* data, std::size_t size) {
    const u8* p = static_cast<const u8*>(data);
    bytes_.insert(bytes_.end(), p, p + size);
  }
  std::vector<u8> bytes_;
};

void ipAttrs(NlBuilder& b, const asio::ip::address& src, const asio::ip::address& dst) {
  if (src.is_v4()) {
    auto s = src.to_v4().to_bytes();
    auto d = dst.to_v4().to_bytes();
    b.Attr(CTA_IP_V4_SRC, s.data(), s.size());
    b.Attr(CTA_IP_V4_DST, d.data(), d.size());
  } else {
    auto s = src.to_v6().to_bytes();
    auto d = dst.to_v6().to_bytes();
    b.Attr(CTA_IP_V6_SRC, s.data(), s.size());
    b.Attr(CTA_IP_V6_DST, d.data(), d.size());
  }
}

// The first attribute of `type` within [data, data + size).
const nlattr* findAttr(const u8* data, std::size_t size, u16 type) {
  std::size_t offset = 0;
  while (offset + NLA_HDRLEN <= size) {
    const auto* attr = reinterpret_cast<const nlattr*>(data + offset);
    if (attr->nla_len < NLA_HDRLEN || offset + attr->nla_len > size) return nullptr;
    if ((attr->nla_type & NLA_TYPE_MASK) == type) return attr;
    offset += NLA_ALIGN(attr->nla_len);
  }
  return nullptr;
}

const nlattr* child(const nlattr* parent, u16 type) {
  if (parent == nullptr) return nullptr;
  return findAttr(reinterpret_cast<const u8*>(parent) + NLA_HDRLEN, parent->nla_len - NLA_HDRLEN, type);
}

const u8* payload(const nlattr* attr, std::size_t size) {
  if (attr == nullptr || attr->nla_len < NLA_HDRLEN + size) return nullptr;
  return reinterpret_cast<const u8*>(attr) + NLA_HDRLEN;
}

}  // namespace

CConntrackLookup::~CConntrackLookup() {
  if (fd_ >= 0) ::close(fd_);
}

bool CConntrackLookup::Open(std::string& error) {
  fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER);
  if (fd_ < 0) {
    error = std::string("cannot open a netfilter netlink socket: ") + std::strerror(errno);
    return false;
  }
  timeval timeout{0, 200000};
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    error = std::string("cannot bind the netfilter netlink socket: ") + std::strerror(errno);
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  return true;
}

bool CConntrackLookup::OriginalDestination(const asio::ip::udp::endpoint& local,
                                           const asio::ip::udp::endpoint& client,
                                           asio::ip::udp::endpoint& original) {
  if (fd_ < 0 || local.address().is_v6() != client.address().is_v6()) return false;
  // The redirected datagram's entry answers from our listener to the client:
  // that reply direction is the key the kernel finds it by.
  u32 sequence = ++sequence_;
  NlBuilder b(static_cast<u16>((NFNL_SUBSYS_CTNETLINK << 8) | IPCTNL_MSG_CT_GET), NLM_F_REQUEST, sequence);
  nfgenmsg gen{};
  gen.nfgen_family = static_cast<u8>(local.address().is_v6() ? AF_INET6 : AF_INET);
  gen.version = NFNETLINK_V0;
  b.Raw(&gen, sizeof gen);
  std::size_t tuple = b.Begin(CTA_TUPLE_REPLY);
  std::size_t ip = b.Begin(CTA_TUPLE_IP);
  ipAttrs(b, local.address(), client.address());
  b.End(ip);
  std::size_t proto = b.Begin(CTA_TUPLE_PROTO);
  u8 number = IPPROTO_UDP;
  b.Attr(CTA_PROTO_NUM, &number, 1);
  u16 sport = htons(local.port());
  u16 dport = htons(client.port());
  b.Attr(CTA_PROTO_SRC_PORT, &sport, 2);
  b.Attr(CTA_PROTO_DST_PORT, &dport, 2);
  b.End(proto);
  b.End(tuple);
  std::vector<u8>& request = b.Finish();
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(fd_, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) <
      0)
    return false;

  std::array<u8, 8192> buffer{};
  for (;;) {
    ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
    if (n <= 0) return false;
    auto* header = reinterpret_cast<nlmsghdr*>(buffer.data());
    if (!NLMSG_OK(header, static_cast<u32>(n))) return false;
    if (header->nlmsg_seq != sequence) continue;  // a late answer to an earlier request
    if (header->nlmsg_type == NLMSG_ERROR) return false;
    const u8* attrs = static_cast<const u8*>(NLMSG_DATA(header)) + NLMSG_ALIGN(sizeof(nfgenmsg));
    std::size_t size = header->nlmsg_len - NLMSG_LENGTH(NLMSG_ALIGN(sizeof(nfgenmsg)));
    const nlattr* orig = findAttr(attrs, size, CTA_TUPLE_ORIG);
    const nlattr* ipAttr = child(orig, CTA_TUPLE_IP);
    const nlattr* protoAttr = child(orig, CTA_TUPLE_PROTO);
    const u8* port = payload(child(protoAttr, CTA_PROTO_DST_PORT), 2);
    if (port == nullptr) return false;
    u16 portNumber = static_cast<u16>((port[0] << 8) | port[1]);
    if (const u8* v4 = payload(child(ipAttr, CTA_IP_V4_DST), 4)) {
      asio::ip::address_v4::bytes_type bytes;
      std::memcpy(bytes.data(), v4, 4);
      original = asio::ip::udp::endpoint(asio::ip::address_v4(bytes), portNumber);
      return true;
    }
    if (const u8* v6 = payload(child(ipAttr, CTA_IP_V6_DST), 16)) {
      asio::ip::address_v6::bytes_type bytes;
      std::memcpy(bytes.data(), v6, 16);
      original = asio::ip::udp::endpoint(asio::ip::address_v6(bytes), portNumber);
      return true;
    }
    return false;
  }
}

}  // namespace hxt::sockfilter
