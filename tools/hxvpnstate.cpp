// hxvpnstate: the VPN agent's side of the shared VPN state, for tests, demos
// and operators. It publishes a record the way the VPN agent does (take the
// named mutex, write the whole record, release it, pulse the named event),
// shows the record as the service decodes it, and removes the named objects.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "agent/velmorapluginjsonutils.h"
#include "agent/velmoravpnconsumer.h"
#include "common/applog.h"
#include "vpn/agent/intermodulestate.h"
#include "vpn/agent/sharedmemory.h"

namespace hxt {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char* const kUsage = R"(Usage: hxvpnstate [--help] COMMAND [OPTIONS]

Publishes the VPN agent's state record for hxtarrowagent, as the VPN agent does:
take the named mutex, write the whole record, release the mutex, pulse the named
event. With HXT_ROOT set (HXT_OBJECT_NAMESPACE on Windows), the objects are
those of that root (the agent started with the same value reads them); without
it, those of the installed system.

Commands:
  set OPTIONS   change the named fields, keep every other field, publish
  logon         publish the user session event 1 (log-on)
  logoff        publish the user session event 2 (log-off)
  show [--json] print the current record as the agent decodes it; --json prints
                the document the DNS-protection plug-in would receive
  remove        unlink the shared objects (processes holding them keep them)

Options of set (NAME or a decimal number where names are listed):
  --tunnel NAME        tunnel state: connecting, connected, reconnecting,
                       disconnecting, disconnected, pausing, paused, authenticating
  --tnd NAME           trusted-network detection: trusted, untrusted, undefined
  --session NAME       user session event: none, logon, logoff
  --mode4 NAME         IPv4 tunnel mode: tunnel_all, split_include, split_exclude,
  --mode6 NAME         bypass_all, block_all, undefined (IPv6 alike)
  --dns4 LIST          IPv4 DNS servers, comma-separated (at most 47 bytes)
  --dns6 LIST          IPv6 DNS servers (at most 119 bytes)
  --networks4 LIST     IPv4 split-include networks (at most 47499 bytes)
  --networks6 LIST     IPv6 split-include networks (at most 109999 bytes)
  --domains LIST       split-DNS domains (at most 1280 bytes)
  --split-dns4, --no-split-dns4        IPv4 split-DNS flag
  --split-dns6, --no-split-dns6        IPv6 split-DNS flag
  --tunnel-all-dns, --no-tunnel-all-dns  tunnel-all-DNS flag
  --header N           the record's header word
An empty LIST ("") clears the list. A text longer than its field is refused.

Exit codes: 0 done, 1 the shared objects could not be used, 2 bad arguments.
)";

// Library failures go to standard error without the function header.
class StderrSink : public ILogger {
 public:
  bool Write(u32 level, u8 category, const char* text) override {
    if (level != LOG_LEVEL_ERROR && level != LOG_LEVEL_WARNING) return true;
    std::string message = text;
    if (category == LOG_CATEGORY_FUNCTION) {
      for (int line = 0; line < 2 && message.find('\n') != std::string::npos; ++line) {
        message.erase(0, message.find('\n') + 1);
      }
    }
    std::cerr << "hxvpnstate: " << message << "\n";
    return true;
  }
  std::string GetErrorText(u32 code) override { return std::strerror(static_cast<int>(code)); }
};

struct UsageError {
  std::string text;
};

// A word of the record, set by name or number.
struct WordOption {
  u32 RawVpnState::*field;
  std::vector<const char*> names;  // index = value
  u32 undefined;                   // the value "undefined" stands for; 0: no such name
};

u32 parseWord(const std::string& option, const std::string& value, const WordOption& word) {
  for (std::size_t i = 0; i < word.names.size(); ++i) {
    if (value == word.names[i]) return static_cast<u32>(i);
  }
  if (word.undefined != 0 && value == "undefined") return word.undefined;
  if (!value.empty() && value.find_first_not_of("0123456789") == std::string::npos && value.size() <= 10) {
    unsigned long long number = std::strtoull(value.c_str(), nullptr, 10);
    if (number <= 0xFFFFFFFFull) return static_cast<u32>(number);
  }
  std::string accepted;
  for (const char* name : word.names) accepted += std::string(accepted.empty() ? "" : ", ") + name;
  if (word.undefined != 0) accepted += ", undefined";
  throw UsageError{"bad value '" + value + "' for " + option + "; accepted: " + accepted +
                   ", or a decimal number"};
}

void setText(const std::string& option, const std::string& value, char* field, std::size_t size) {
  if (value.size() >= size) {
    throw UsageError{option + " is " + std::to_string(value.size()) + " bytes long; at most " +
                     std::to_string(size - 1) + " bytes fit its field"};
  }
  std::memset(field, 0, size);
  std::memcpy(field, value.data(), value.size());
}

using Edit = std::function<void(RawVpnState&)>;

// Turns the options of `set` into edits of the record.
std::vector<Edit> parseSetOptions(const std::vector<std::string>& args, std::size_t first) {
  static const std::vector<const char*> kModes = {"tunnel_all", "split_include", "split_exclude",
                                                  "bypass_all", "block_all"};
  static const std::map<std::string, WordOption> kWords = {
      {"--tunnel",
       {&RawVpnState::tunnelState,
        {"connecting", "connected", "reconnecting", "disconnecting", "disconnected", "pausing", "paused",
         "authenticating"},
        0}},
      {"--tnd", {&RawVpnState::tndState, {"trusted", "untrusted"}, kTndUndefined}},
      {"--session", {&RawVpnState::userSessionEvent, {"none", "logon", "logoff"}, 0}},
      {"--mode4", {&RawVpnState::tunnelModeIpv4, kModes, kTunnelModeUndefined}},
      {"--mode6", {&RawVpnState::tunnelModeIpv6, kModes, kTunnelModeUndefined}},
      {"--header", {&RawVpnState::header, {}, 0}},
  };
  struct TextOption {
    std::size_t offset;
    std::size_t size;
  };
  static const std::map<std::string, TextOption> kTexts = {
      {"--dns4", {offsetof(RawVpnState, dnsServersIpv4), sizeof(RawVpnState::dnsServersIpv4)}},
      {"--dns6", {offsetof(RawVpnState, dnsServersIpv6), sizeof(RawVpnState::dnsServersIpv6)}},
      {"--networks4",
       {offsetof(RawVpnState, splitIncludeNetworksIpv4), sizeof(RawVpnState::splitIncludeNetworksIpv4)}},
      {"--networks6",
       {offsetof(RawVpnState, splitIncludeNetworksIpv6), sizeof(RawVpnState::splitIncludeNetworksIpv6)}},
      {"--domains", {offsetof(RawVpnState, splitDnsDomains), sizeof(RawVpnState::splitDnsDomains)}},
  };
  static const std::map<std::string, u8 RawVpnState::*> kFlags = {
      {"split-dns4", &RawVpnState::splitDnsIpv4},
      {"split-dns6", &RawVpnState::splitDnsIpv6},
      {"tunnel-all-dns", &RawVpnState::tunnelAllDns},
  };

  std::vector<Edit> edits;
  for (std::size_t i = first; i < args.size(); ++i) {
    const std::string& option = args[i];
    const bool negated = option.rfind("--no-", 0) == 0;
    auto flag = kFlags.find(option.substr(negated ? 5 : 2));
    if (option.rfind("--", 0) == 0 && flag != kFlags.end()) {
      auto member = flag->second;
      edits.push_back([member, negated](RawVpnState& s) { s.*member = negated ? 0 : 1; });
      continue;
    }
    auto word = kWords.find(option);
    auto text = kTexts.find(option);
    if (word == kWords.end() && text == kTexts.end())
      throw UsageError{"unknown option '" + option + "' of set"};
    if (i + 1 >= args.size()) throw UsageError{option + " needs a value"};
    const std::string& value = args[++i];
    if (word != kWords.end()) {
      const u32 parsed = parseWord(option, value, word->second);
      auto member = word->second.field;
      edits.push_back([member, parsed](RawVpnState& s) { s.*member = parsed; });
    } else {
      // Checked now, so that a refused text leaves the record untouched.
      std::vector<char> probe(text->second.size);
      setText(option, value, probe.data(), probe.size());
      TextOption where = text->second;
      edits.push_back([where, value, option](RawVpnState& s) {
        setText(option, value, reinterpret_cast<char*>(&s) + where.offset, where.size);
      });
    }
  }
  if (edits.empty()) throw UsageError{"set needs at least one field option"};
  return edits;
}

std::string joined(const std::vector<std::string>& list) {
  std::string text;
  for (const auto& item : list) text += (text.empty() ? "" : ",") + item;
  return text;
}

void show(const RawVpnState& raw, std::ostream& out) {
  const ParsedVpnState parsed(raw);
  auto line = [&out](const char* label, const std::string& value) { out << label << value << "\n"; };
  line("tunnel state:            ", parsed.state + " (" + std::to_string(raw.tunnelState) + ")");
  line("trusted network:         ", parsed.tndState + " (" + std::to_string(raw.tndState) + ")");
  line("user session event:      ", std::to_string(raw.userSessionEvent));
  line("IPv4 tunnel mode:        ", parsed.vpnTypeIpv4 + " (" + std::to_string(raw.tunnelModeIpv4) + ")");
  line("IPv4 DNS servers:        ", joined(parsed.dnsServersIpv4));
  line("IPv4 split DNS:          ", parsed.splitDnsIpv4 ? "true" : "false");
  line("IPv6 tunnel mode:        ", parsed.vpnTypeIpv6 + " (" + std::to_string(raw.tunnelModeIpv6) + ")");
  line("IPv6 DNS servers:        ", joined(parsed.dnsServersIpv6));
  line("IPv6 split DNS:          ", parsed.splitDnsIpv6 ? "true" : "false");
  line("split-include networks:  ", joined(parsed.splitIncludeNetworks));
  line("split-DNS domains:       ", joined(parsed.splitDnsDomains));
  line("tunnel-all DNS:          ", parsed.tunnelAllDns ? "true" : "false");
}

// Reads the record, applies `edits`, writes it back and pulses the event.
int publish(const std::vector<Edit>& edits) {
  const VpnSharedObjectNames names = VpnSharedObjectNames::FromEnvironment();
  auto record = std::make_unique<RawVpnState>(DefaultRawVpnState());
  bool ok = false;
  CSharedMemory memory(ok, record.get(), kRawVpnStateSize, kSharedMemoryRolePublisher, names);
  if (!ok) return kExitFailed;
  u32 size = kRawVpnStateSize;
  if (!memory.ReadSharedMemory(size, record.get())) return kExitFailed;
  for (const auto& edit : edits) edit(*record);
  size = kRawVpnStateSize;
  if (!memory.WriteToSharedMemory(record.get(), size)) return kExitFailed;
  CInterProcessSync event(kSyncKindEvent, ok, names);
  if (!ok || !event.SignalAll()) return kExitFailed;
  return kExitOk;
}

int run(const std::vector<std::string>& args) {
  if (args.empty()) throw UsageError{"a command is needed"};
  const std::string& command = args[0];
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << kUsage;
    return kExitOk;
  }
  if (command == "set") return publish(parseSetOptions(args, 1));
  if (command == "logon" || command == "logoff") {
    if (args.size() > 1) throw UsageError{command + " takes no options"};
    const u32 event = command == "logon" ? kUserSessionLogon : kUserSessionLogoff;
    return publish({[event](RawVpnState& s) { s.userSessionEvent = event; }});
  }
  if (command == "show") {
    const bool json = args.size() == 2 && args[1] == "--json";
    if (args.size() > 2 || (args.size() == 2 && !json)) throw UsageError{"show takes only --json"};
    bool ok = false;
    CInterModuleVPNStateReaderWriter reader(ok);
    auto record = std::make_unique<RawVpnState>();
    if (!ok || !reader.GetCurrentState(*record)) return kExitFailed;
    if (!json) {
      show(*record, std::cout);
      return kExitOk;
    }
    std::string document;
    if (!CVelmoraPluginJsonUtils::BuildVpnStatePayload(ParsedVpnState(*record), document)) return kExitFailed;
    std::cout << document;
    return kExitOk;
  }
  if (command == "remove" || command == "--remove") {
    if (args.size() > 1) throw UsageError{"remove takes no options"};
    std::string error;
    if (RemoveVpnSharedObjects(VpnSharedObjectNames::FromEnvironment(), error)) return kExitOk;
    std::cerr << "hxvpnstate: " << error << "\n";
    return kExitFailed;
  }
  throw UsageError{"unknown command '" + command + "'"};
}

}  // namespace
}  // namespace hxt

int main(int argc, char** argv) {
  auto* log = new hxt::CAppLog(std::make_unique<hxt::StderrSink>(), false);
  if (!hxt::CAppLog::registerInstance(log)) delete log;
  int code = hxt::kExitUsage;
  try {
    code = hxt::run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const hxt::UsageError& e) {
    std::cerr << "hxvpnstate: " << e.text << "\n(hxvpnstate --help lists the commands and options)\n";
  }
  hxt::CAppLog::releaseInstance();
  return code;
}
