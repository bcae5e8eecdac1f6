// What every test resolver reads and writes of the DNS wire format: a
// question's name and the 2-byte length that frames messages over TCP. For
// byte strings and byte vectors alike; portable (the fake plug-ins use it on
// Windows too).
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
