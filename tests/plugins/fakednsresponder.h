// The answering part of the fake DNS-protection plug-in: builds replies to DNS
// queries. Plain values, no locking; the plug-in guards them with its own mutex.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "fakes/fakeplugincontrol.h"

namespace hxt::fake {

class FakeDnsResponder {
 public:
  void SetMode(DnsAnswerMode mode) { mode_ = mode; }
  DnsAnswerMode Mode() const { return mode_; }
  // An A record for an IPv4 text, an AAAA record for an IPv6 text; false when
  // neither. Names compare case-insensitively.
  bool AddRecord(const std::string& name, const std::string& address);

  // The reply to one DNS message; empty when the mode sends none.
  std::string Answer(const std::string& query) const;

 private:
  std::string fromRecords(const std::string& query) const;

  DnsAnswerMode mode_ = DnsAnswerMode::Silent;
  struct Record {
    unsigned type;
    std::string data;
  };
  std::map<std::string, std::vector<Record>> records_;
};

}  // namespace hxt::fake
