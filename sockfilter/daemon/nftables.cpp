#include "daemon/nftables.h"

#include <nftables/libnftables.h>

#include <dlfcn.h>
#include <sys/socket.h>

#include <cstdio>

#include <boost/asio/ip/address_v6.hpp>

namespace hxt::sockfilter {

namespace {

// libnftables and the libraries it pulls in are loaded when transparent mode
// starts, not with every daemon: stub mode never needs them, and loading them
// would cost every stub-mode daemon some 600 KiB of resident memory.
struct NftLibrary {
  decltype(&nft_ctx_new) ctxNew = nullptr;
  decltype(&nft_ctx_free) ctxFree = nullptr;
  decltype(&nft_ctx_buffer_output) bufferOutput = nullptr;
  decltype(&nft_ctx_buffer_error) bufferError = nullptr;
  decltype(&nft_ctx_get_error_buffer) errorBuffer = nullptr;
  decltype(&nft_run_cmd_from_buffer) runCommands = nullptr;
  std::string error;
};

template <typename Function>
bool bind(void* library, const char* name, Function& function, std::string& error) {
  function = reinterpret_cast<Function>(::dlsym(library, name));
  if (function == nullptr && error.empty()) error = std::string("libnftables has no ") + name;
  return function != nullptr;
}

// Loaded once, kept for the process's life (the table's socket lives in it).
const NftLibrary& nftLibrary() {
  static const NftLibrary loaded = [] {
    NftLibrary lib;
    void* handle = ::dlopen("libnftables.so.1", RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* why = ::dlerror();
      lib.error = std::string("cannot load libnftables: ") + (why != nullptr ? why : "unknown error");
      return lib;
    }
    bool ok = bind(handle, "nft_ctx_new", lib.ctxNew, lib.error) &
              bind(handle, "nft_ctx_free", lib.ctxFree, lib.error) &
              bind(handle, "nft_ctx_buffer_output", lib.bufferOutput, lib.error) &
              bind(handle, "nft_ctx_buffer_error", lib.bufferError, lib.error) &
              bind(handle, "nft_ctx_get_error_buffer", lib.errorBuffer, lib.error) &
              bind(handle, "nft_run_cmd_from_buffer", lib.runCommands, lib.error);
    if (!ok) lib.ctxNew = nullptr;
    return lib;
  }();
  return loaded;
}

std::string familyRules(const char* nfproto, const char* addressKey, const NftFamilyRules& family) {
  std::string daddr;
  if (!family.resolvers.empty()) {
    daddr = std::string(addressKey) + " daddr { ";
    for (std::size_t i = 0; i < family.resolvers.size(); ++i)
      daddr += (i == 0 ? "" : ", ") + family.resolvers[i];
    daddr += " } ";
  }
  std::string prefix =
      std::string("add rule inet ") + kNftTable + " " + kNftChain + " meta nfproto " + nfproto + " " + daddr;
  std::string script;
  if (family.redirectUdp || family.redirectTcp) {
    const std::string rule = std::string("add rule inet ") + kNftTable + " " + kNftChain + " meta nfproto ";
    // A resolver on loopback (a local caching resolver, the stub) asks its
    // own upstream resolvers, and that is where the query is taken: taking
    // it on its way in as well would send it to the agent twice.
    script += rule + (std::string(nfproto) == "ipv6" ? "ipv6 ip6 daddr ::1 return\n"
                                                     : "ipv4 ip daddr 127.0.0.0/8 return\n");
    // A client that connects to a link-local resolver is bound to that
    // resolver's interface, and the kernel cannot re-route its packets onto
    // loopback (ENETUNREACH): they are taken to the machine's own address on
    // that interface instead, whether they leave by it or (a resolver on
    // that very address) by loopback. An interface without a listener leaves
    // such DNS untouched.
    for (const NftLinkLocal& link : family.linkLocal) {
      if (std::string(nfproto) != "ipv6" || !NftInterfaceName(link.interface)) continue;
      const std::string own = boost::asio::ip::address_v6(link.address).to_string();
      for (const std::string& match :
           {"oifname \"" + link.interface + "\" ip6 daddr fe80::/10 ", "ip6 daddr " + own + " "}) {
        if (family.redirectUdp)
          script += prefix + match + "udp dport 53 dnat ip6 to [" + own +
                    "]:" + std::to_string(link.udpPort) + "\n";
        if (family.redirectTcp)
          script += prefix + match + "tcp dport 53 dnat ip6 to [" + own +
                    "]:" + std::to_string(link.tcpPort) + "\n";
      }
    }
    if (std::string(nfproto) == "ipv6") script += rule + "ipv6 ip6 daddr fe80::/10 return\n";
  }
  if (family.redirectUdp)
    script += prefix + "udp dport 53 redirect to :" + std::to_string(family.udpPort) + "\n";
  if (family.redirectTcp)
    script += prefix + "tcp dport 53 redirect to :" + std::to_string(family.tcpPort) + "\n";
  return script;
}

}  // namespace

std::string BuildTableScript() {
  return std::string("add table inet ") + kNftTable + " { flags owner; }\n" + "add chain inet " + kNftTable +
         " " + kNftChain + " { type nat hook output priority -100; policy accept; }\n";
}

bool NftInterfaceName(const std::string& name) {
  if (name.empty() || name.size() > 15 || name == "." || name == ".." || !NftQuotable(name)) return false;
  for (unsigned char c : name) {
    if (c == '/' || c == ':' || c == ' ' || (c >= '\t' && c <= '\r')) return false;
  }
  return true;
}

bool NftQuotable(const std::string& text) {
  if (text.empty()) return false;
  for (unsigned char c : text) {
    if (c == '"' || c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

std::string BuildRuleScript(const NftRules& rules) {
  std::string script = std::string("flush chain inet ") + kNftTable + " " + kNftChain + "\n";
  std::string redirects = familyRules("ipv4", "ip", rules.v4) + familyRules("ipv6", "ip6", rules.v6);
  // Without a redirection the chain stays empty: nothing to exempt from.
  if (redirects.empty()) return script;
  for (const NftCgroup& cgroup : rules.exempt) {
    if (!NftQuotable(cgroup.nftPath)) return script;
  }
  char mark[64];
  std::snprintf(mark, sizeof mark, "meta mark 0x%08x return\n", kOwnTrafficMark);
  std::string rule = std::string("add rule inet ") + kNftTable + " " + kNftChain + " ";
  script += rule + mark;
  for (const NftCgroup& cgroup : rules.exempt)
    script += rule + "socket cgroupv2 level " + std::to_string(cgroup.level) + " \"" + cgroup.nftPath +
              "\" return\n";
  return script + redirects;
}

CNftTable::~CNftTable() {
  Close();
}

bool CNftTable::run(const std::string& script, std::string& error) {
  const NftLibrary& lib = nftLibrary();
  if (lib.runCommands(ctx_, script.c_str()) == 0) return true;
  const char* text = lib.errorBuffer(ctx_);
  error = text != nullptr ? text : "nft failed";
  while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
  return false;
}

bool CNftTable::Create(std::string& error) {
  Close();
  const NftLibrary& lib = nftLibrary();
  if (lib.ctxNew == nullptr) {
    error = lib.error;
    return false;
  }
  ctx_ = lib.ctxNew(NFT_CTX_DEFAULT);
  if (ctx_ == nullptr) {
    error = "cannot create an nftables context";
    return false;
  }
  lib.bufferOutput(ctx_);
  lib.bufferError(ctx_);
  if (!run(BuildTableScript(), error)) {
    Close();
    return false;
  }
  return true;
}

bool CNftTable::Apply(const NftRules& rules, std::string& error) {
  if (ctx_ == nullptr) {
    error = "the table is not in place";
    return false;
  }
  return run(BuildRuleScript(rules), error);
}

void CNftTable::Close() {
  if (ctx_ == nullptr) return;
  nftLibrary().ctxFree(ctx_);
  ctx_ = nullptr;
}

bool MarkOwnTraffic(int fd) {
  u32 mark = kOwnTrafficMark;
  return ::setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark) == 0;
}

}  // namespace hxt::sockfilter
