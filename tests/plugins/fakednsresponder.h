// The answering part of the fake DNS-protection plug-in: builds replies to DNS
// queries and reassembles the length-prefixed messages of a TCP session.
// Plain values, no locking; the plug-in guards them with its own mutex.
#pragma once

#include <array>
#include <map>
#include <string>
#include <vector>

#include "fakes/fakeplugincontrol.h"

namespace hxt::fake {

class FakeDnsResponder {
 public:
  void SetMode(DnsAnswerMode mode) { mode_ = mode; }
  DnsAnswerMode Mode() const { return mode_; }
  // False when `ipv4` is not a dotted IPv4 address. Names compare case-insensitively.
  bool AddARecord(const std::string& name, const std::string& ipv4);
  void Clear();

  // The reply to one DNS message; empty when the mode sends none.
  std::string Answer(const std::string& query) const;

 private:
  std::string echo(const std::string& query) const;
  std::string fromRecords(const std::string& query) const;

  DnsAnswerMode mode_ = DnsAnswerMode::Silent;
  std::map<std::string, std::vector<std::array<unsigned char, 4>>> records_;
};

// DNS over TCP: each message is preceded by its 16-bit length in network order.
class TcpDnsStream {
 public:
  // Adds received bytes and returns the messages completed by them.
  std::vector<std::string> Append(const std::string& bytes);
  static std::string Frame(const std::string& message);

 private:
  std::string pending_;
};

}  // namespace hxt::fake
