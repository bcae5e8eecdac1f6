// What every test resolver reads and writes of the DNS wire format: a question's name, replies made of
// records, and the 2-byte length that frames messages over TCP. For byte strings and byte vectors alike;
// portable (the fake plug-ins use it on Windows too).
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace hxt::test::dnswire {

// Reads the name at `at` (queries carry no compression pointers) into `name`,
// labels joined by dots; the offset after it, or 0 when it is malformed.
template <typename Buffer>
std::size_t ReadName(const Buffer& m, std::size_t at, std::string& name) {
  name.clear();
  for (std::size_t length; at < m.size(); at += 1 + length) {
    length = static_cast<unsigned char>(m[at]);
    if (length == 0) return at + 1;
    if (length > 63 || at + 1 + length > m.size()) return 0;
    if (!name.empty()) name.push_back('.');
    name.append(m.begin() + static_cast<std::ptrdiff_t>(at + 1),
                m.begin() + static_cast<std::ptrdiff_t>(at + 1 + length));
  }
  return 0;
}

// The offset after the first question of `m`, 0 when it has none whole.
template <typename Buffer>
std::size_t QuestionEnd(const Buffer& m) {
  std::string name;
  const std::size_t end = m.size() > 12 && m[5] != 0 ? ReadName(m, 12, name) : 0;
  return end == 0 || end + 4 > m.size() ? 0 : end + 4;
}

// One record owned by the question's name (a pointer to it), class IN, TTL 60.
template <typename Buffer>
Buffer Record(unsigned type, const Buffer& rdata) {
  using Byte = typename Buffer::value_type;
  Buffer out{Byte(0xC0), Byte(12), Byte(type >> 8),         Byte(type),        0, 1, 0, 0,
             0,          60,       Byte(rdata.size() >> 8), Byte(rdata.size())};
  out.insert(out.end(), rdata.begin(), rdata.end());
  return out;
}

// The reply to `query`: its id, opcode and RD with QR and RA set, `rcode`,
// its question when it has one whole, then `count` encoded `records`.
template <typename Buffer>
Buffer Reply(const Buffer& query, unsigned rcode, const Buffer& records = {}, unsigned count = 0) {
  using Byte = typename Buffer::value_type;
  if (query.size() < 12) return {};
  const std::size_t end = QuestionEnd(query);
  Buffer out(query.begin(), query.begin() + static_cast<std::ptrdiff_t>(end == 0 ? 12 : end));
  out[2] = static_cast<Byte>((static_cast<unsigned char>(query[2]) & 0x79) | 0x80);
  out[3] = static_cast<Byte>(0x80 | rcode);
  const unsigned counts[] = {end == 0 ? 0u : 1u, count, 0, 0};
  for (std::size_t i = 0; i < 4; ++i) {
    out[4 + 2 * i] = static_cast<Byte>(counts[i] >> 8);
    out[5 + 2 * i] = static_cast<Byte>(counts[i]);
  }
  out.insert(out.end(), records.begin(), records.end());
  return out;
}

// `message` behind its length in network order.
template <typename Buffer>
Buffer Framed(const Buffer& message) {
  using Byte = typename Buffer::value_type;
  Buffer out(message.size() + 2, Byte{});
  out[0] = static_cast<Byte>(message.size() >> 8);
  out[1] = static_cast<Byte>(message.size() & 0xff);
  std::copy(message.begin(), message.end(), out.begin() + 2);
  return out;
}

// Takes the whole framed messages off the front of `stream`.
template <typename Buffer>
std::vector<Buffer> TakeFramed(Buffer& stream) {
  std::vector<Buffer> out;
  while (stream.size() >= 2) {
    const auto length = static_cast<std::size_t>(static_cast<unsigned char>(stream[0]) << 8 |
                                                 static_cast<unsigned char>(stream[1]));
    if (stream.size() < 2 + length) break;
    const auto end = stream.begin() + static_cast<std::ptrdiff_t>(2 + length);
    out.emplace_back(stream.begin() + 2, end);
    stream.erase(stream.begin(), end);
  }
  return out;
}

}  // namespace hxt::test::dnswire
