// A plain-DNS upstream on loopback (UDP) whose replies the test writes, the
// pieces to write them with, and client queries of every shape.
#pragma once

#include <array>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include <boost/asio/ip/udp.hpp>
#include <boost/asio/post.hpp>

#include "dnsmessage.h"
#include "fakes/dnstestkit.h"

namespace hxt::dnsprotect::scripted {

// A client's query, shaped at will.
struct Ask {
  std::vector<std::string> labels{"www", "example"};
  std::uint16_t type = kTypeA;
  bool edns = false;
  std::uint16_t size = 1232;
  std::uint8_t version = 0;
  bool dnssecOk = false;
  bool checkingDisabled = false;
  bool cookie = false;
  std::uint8_t opcode = 0;
  bool response = false;  // QR set
};

inline std::string Make(const Ask& a, std::uint16_t id = 0x1234) {
  std::string m{static_cast<char>(id >> 8),
                static_cast<char>(id & 0xff),
                static_cast<char>((a.response ? 0x80 : 0) | a.opcode << 3 | 0x01),
                static_cast<char>(a.checkingDisabled ? 0x10 : 0),
                0,
                1,
                0,
                0,
                0,
                0,
                0,
                static_cast<char>(a.edns ? 1 : 0)};
  for (const auto& label : a.labels) m += static_cast<char>(label.size()) + label;
  m += std::string("\0\0", 2) + static_cast<char>(a.type) + std::string("\0\x01", 2);
  if (a.edns) {
    m += std::string("\0\0\x29", 3) + static_cast<char>(a.size >> 8) + static_cast<char>(a.size & 0xff);
    m +=
        std::string("\0", 1) + static_cast<char>(a.version) + static_cast<char>(a.dnssecOk ? 0x80 : 0) + '\0';
    m += a.cookie ? std::string("\0\x0c\0\x0a\0\x08", 6) + "cookie!!" : std::string("\0\0", 2);
  }
  return m;
}

// What an answer's OPT record says; `present` false without one.
struct OptView {
  bool present = false;
  std::uint16_t rcode = 0;  // the whole RCODE: the OPT's upper bits and the header's
  bool dnssecOk = false;
  std::string options;
};

inline OptView OptOf(const std::string& m) {
  OptView view;
  view.rcode = static_cast<std::uint16_t>(m.size() > 3 ? m[3] & 0x0f : 0);
  Question q;
  if (!ParseQuestion(m, q)) return view;
  auto u16 = [&](std::size_t at) {
    return static_cast<std::size_t>(static_cast<unsigned char>(m[at]) << 8 |
                                    static_cast<unsigned char>(m[at + 1]));
  };
  const std::size_t records = u16(6) + u16(8) + u16(10);
  std::size_t at = q.end;
  for (std::size_t i = 0; i < records && at < m.size(); ++i) {
    while (at < m.size() && m[at] != 0 && (m[at] & 0xc0) != 0xc0) at += 1 + static_cast<unsigned char>(m[at]);
    at += at < m.size() && m[at] == 0 ? 1 : 2;
    if (at + 10 > m.size()) break;
    const std::size_t length = u16(at + 8);
    if (u16(at) == kTypeOpt) {
      view.present = true;
      view.rcode = static_cast<std::uint16_t>(static_cast<unsigned char>(m[at + 4]) << 4 | (m[3] & 0x0f));
      view.dnssecOk = (m[at + 6] & 0x80) != 0;
      view.options = m.substr(at + 10, length);
    }
    at += 10 + length;
  }
  return view;
}

// The Extended DNS Error code in an answer's OPT record; -1 without one.
inline int EdeOf(const std::string& m) {
  const OptView opt = OptOf(m);
  const auto* options = reinterpret_cast<const unsigned char*>(opt.options.data());
  if (opt.options.size() < 6 || options[0] != 0 || options[1] != 15) return -1;
  return options[4] << 8 | options[5];
}

// The reply to `query`: its header and question with QR and RA set,
// `rcode`, `answers` records (already encoded) counted as `count`, and an
// OPT record carrying a COOKIE option when `opt`.
inline std::string Reply(const std::string& query, std::uint8_t rcode, const std::string& answers = "",
                         int count = 0, bool opt = false) {
  Question q;
  ParseQuestion(query, q);
  std::string out(query, 0, q.end);
  out[2] = static_cast<char>(0x80 | (query[2] & 0x01));
  out[3] = static_cast<char>(0x80 | rcode);
  out[4] = 0, out[5] = 1;
  out[6] = static_cast<char>(count >> 8), out[7] = static_cast<char>(count);
  out[8] = out[9] = out[10] = 0;
  out[11] = opt ? 1 : 0;
  out += answers;
  // An OPT record with an 8-byte client cookie and an 8-byte server cookie.
  if (opt) out += std::string("\0\0\x29\x04\xd0\0\0\0\0\0\x14\0\x0a\0\x10", 15) + std::string(16, 'c');
  return out;
}

// An A record for the question's name (by pointer) with `address` bytes.
inline std::string ARecord(unsigned char last) {
  return std::string("\xc0\x0c\0\x01\0\x01\0\0\0\x3c\0\x04\xc0\0\x02", 15) + static_cast<char>(last);
}

// A CNAME record for the question's name leading to wire `target`.
inline std::string CnameRecord(const std::string& target) {
  std::string rdata = target + '\0';
  return std::string("\xc0\x0c\0\x05\0\x01\0\0\0\x3c\0", 11) + static_cast<char>(rdata.size()) + rdata;
}

// Answers "localhost" (the health probe) itself; everything else with
// `reply`, which returns "" for no answer. The DNS64 check (ipv4only.arpa)
// goes to `reply` but is not among the Queries.
class ScriptedUpstream {
 public:
  using Script = std::function<std::string(const std::string& query)>;
  // `elsewhere` picks the queries whose replies leave from another port, as
  // from someone on the path answering for the server.
  explicit ScriptedUpstream(Script script, std::function<bool(const std::string&)> elsewhere = {})
      : script_(std::move(script)), elsewhere_(std::move(elsewhere)) {
    receive();
  }
  ~ScriptedUpstream() {
    std::promise<void> closed;
    boost::asio::post(thread_.io(), [&] {
      socket_.close();
      other_.close();
      closed.set_value();
    });
    closed.get_future().wait();
  }
  std::uint16_t port() const { return socket_.local_endpoint().port(); }
  // Queries other than probes, as they came.
  std::vector<std::string> Queries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queries_;
  }

 private:
  void receive() {
    socket_.async_receive_from(boost::asio::buffer(buffer_), sender_,
                               [this](const auto& e, std::size_t size) {
                                 if (e) return;
                                 const std::string query(buffer_.data(), size);
                                 Question q;
                                 std::string reply;
                                 if (ParseQuestion(query, q) && q.name == "localhost") {
                                   reply = Reply(query, kRcodeNoError, ARecord(1), 1);
                                 } else {
                                   if (q.name != "ipv4only.arpa") {
                                     std::lock_guard<std::mutex> lock(mutex_);
                                     queries_.push_back(query);
                                   }
                                   reply = script_(query);
                                 }
                                 boost::system::error_code ignored;
                                 auto& out = elsewhere_ && elsewhere_(query) ? other_ : socket_;
                                 if (!reply.empty()) out.send_to(boost::asio::buffer(reply), sender_, 0, ignored);
                                 receive();
                               });
  }

  Script script_;
  std::function<bool(const std::string&)> elsewhere_;
  hxt::test::IoThread thread_;
  boost::asio::ip::udp::socket socket_{thread_.io(), {boost::asio::ip::make_address("127.0.0.1"), 0}};
  boost::asio::ip::udp::socket other_{thread_.io(), {boost::asio::ip::make_address("127.0.0.1"), 0}};
  boost::asio::ip::udp::endpoint sender_;
  std::array<char, 65536> buffer_{};
  mutable std::mutex mutex_;
  std::vector<std::string> queries_;
};

}  // namespace hxt::dnsprotect::scripted
