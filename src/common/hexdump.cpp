#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>

#include "common/applog.h"

namespace hxt {

std::string HexDump(const unsigned char* data, u32 length) {
  constexpr std::size_t kHexColumnWidth = 50;
  std::string result;
  std::string hex;
  std::string text;
  char cell[16];
  // 64-bit index: a length of 0xffffffff must not wrap the inclusive loop.
  for (u64 i = 0; i <= length; ++i) {
    if (i < length) {
      std::snprintf(cell, sizeof cell, "%02x ", data[i]);
      hex += cell;
      if (i % 16 == 7) hex += "- ";
      text += std::isprint(data[i]) ? static_cast<char>(data[i]) : '.';
    }
    bool complete = (i % 16 == 15) || (i == length && !hex.empty());
    if (complete) {
      std::snprintf(cell, sizeof cell, "%08x", static_cast<u32>(i - i % 16));
      result += cell;
      result += "  ";
      hex.resize(std::max(hex.size(), kHexColumnWidth), ' ');
      result += hex;
      result += " |";
      result += text;
      result += "|\n";
      hex.clear();
      text.clear();
    }
  }
  std::snprintf(cell, sizeof cell, "%08x", length);
  result += cell;
  result += "\n";
  return result;
}

}  // namespace hxt
