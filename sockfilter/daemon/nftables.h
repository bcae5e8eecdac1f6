// The nftables rules of transparent mode and the table that holds them.
//
// The rules live in one table, "inet hxsockfilterd", created with the owner
// flag: the kernel ties it to the netlink socket of the process that made it
// and deletes it, rules and all, when that socket closes, however the process
// ends (kill -9 included). The daemon therefore never leaves a redirection
// behind that nothing serves. Every later change goes through the same
// netlink socket (one libnftables context, held for the table's life); other
// processes may list the table but not change it.
//
// The chain hooks the machine's own output at the destination-NAT priority
// and redirects DNS (UDP and TCP port 53) to the daemon's loopback listeners.
// It is empty while nothing is redirected, so queries then leave untouched.
//
// One thread at a time; the daemon uses it on its I/O thread.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "common/hxttypes.h"

struct nft_ctx;

namespace hxt::sockfilter {

constexpr const char* kNftTable = "hxsockfilterd";
constexpr const char* kNftChain = "output";
// Sockets of the daemon's own that talk to resolvers carry this mark; the
// first rule lets them pass, so pass-through never comes back to the daemon.
constexpr u32 kOwnTrafficMark = 0x48584454;

// Marks a socket of the daemon's own. Without CAP_NET_ADMIN the mark cannot
// be set, and then no rules exist that would need it: false, and harmless.
bool MarkOwnTraffic(int fd);

// A cgroup (v2) whose sockets are exempt: its depth in the hierarchy and its
// path as nft resolves it (relative to /sys/fs/cgroup).
struct NftCgroup {
  u32 level = 0;
  std::string nftPath;
};

// A link-local resolver's queries are taken to the machine's own link-local
// address on the interface they leave by, where the daemon listens: a client
// of such a resolver is bound to that interface, and loopback cannot be
// reached from it.
struct NftLinkLocal {
  std::string interface;         // as the kernel names it; left out unless NftInterfaceName holds
  std::array<u8, 16> address{};  // the machine's own link-local address there
  u16 udpPort = 0;               // the daemon's listeners on that address
  u16 tcpPort = 0;
};

struct NftFamilyRules {
  bool redirectUdp = false;
  bool redirectTcp = false;
  u16 udpPort = 0;  // the daemon's listeners on loopback
  u16 tcpPort = 0;
  // When not empty, only queries to these addresses are redirected.
  std::vector<std::string> resolvers;
  std::vector<NftLinkLocal> linkLocal;  // IPv6 only
};

struct NftRules {
  std::vector<NftCgroup> exempt;
  NftFamilyRules v4;
  NftFamilyRules v6;
};

// Whether nft reads `text` back unchanged between double quotes. Its scanner
// knows no escapes: a quote ends the string early and whatever follows is
// read as more of the script. The kernel allows quotes in cgroup names, so a
// name can carry rules of its own; such a name, and control characters, are
// refused rather than quoted.
bool NftQuotable(const std::string& text);
// Whether `name` is an interface name the kernel accepts (1 to 15 bytes, not
// "." or "..", no "/", ":" or white space) and nft reads back unchanged.
bool NftInterfaceName(const std::string& name);
// The script that replaces the chain's rules with `rules`, as one transaction.
// An exemption nft could not quote leaves the chain empty: without it the
// agent could be handed its own upstream queries, so nothing is redirected.
std::string BuildRuleScript(const NftRules& rules);
// The script that creates the owned table and its empty chain.
std::string BuildTableScript();

class CNftTable {
 public:
  CNftTable() = default;
  ~CNftTable();
  CNftTable(const CNftTable&) = delete;
  CNftTable& operator=(const CNftTable&) = delete;

  // Creates the table; false with nft's message when that fails (no
  // CAP_NET_ADMIN, another daemon owns the table, no nftables in the kernel).
  bool Create(std::string& error);
  bool Apply(const NftRules& rules, std::string& error);
  bool InPlace() const { return ctx_ != nullptr; }
  // Closes the netlink socket: the kernel drops the table.
  void Close();

 private:
  bool run(const std::string& script, std::string& error);
  nft_ctx* ctx_ = nullptr;
};

}  // namespace hxt::sockfilter
