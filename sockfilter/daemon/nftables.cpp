#include "daemon/nftables.h"

#include <nftables/libnftables.h>

#include <sys/socket.h>

#include <cstdio>

namespace hxt::sockfilter {

namespace {

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

std::string BuildRuleScript(const NftRules& rules) {
  std::string script = std::string("flush chain inet ") + kNftTable + " " + kNftChain + "\n";
  std::string redirects = familyRules("ipv4", "ip", rules.v4) + familyRules("ipv6", "ip6", rules.v6);
  // Without a redirection the chain stays empty: nothing to exempt from.
  if (redirects.empty()) return script;
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
  if (nft_run_cmd_from_buffer(ctx_, script.c_str()) == 0) return true;
  const char* text = nft_ctx_get_error_buffer(ctx_);
  error = text != nullptr ? text : "nft failed";
  while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
  return false;
}

bool CNftTable::Create(std::string& error) {
  Close();
  ctx_ = nft_ctx_new(NFT_CTX_DEFAULT);
  if (ctx_ == nullptr) {
    error = "cannot create an nftables context";
    return false;
  }
  nft_ctx_buffer_output(ctx_);
  nft_ctx_buffer_error(ctx_);
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
  nft_ctx_free(ctx_);
  ctx_ = nullptr;
}

bool MarkOwnTraffic(int fd) {
  u32 mark = kOwnTrafficMark;
  return ::setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark) == 0;
}

}  // namespace hxt::sockfilter
