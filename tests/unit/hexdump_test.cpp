#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "common/applog.h"

namespace hxt {
namespace {

// Sixteen bytes a line, a dash after the eighth, a partial last line padded
// to the text column, then the closing offset line.
TEST(HexDump, LinesSeparatorPaddingAndClosingOffset) {
  std::vector<unsigned char> letters;
  for (int i = 0; i < 16; ++i) letters.push_back(static_cast<unsigned char>('A' + i));
  letters[3] = 0x00;
  letters[15] = 0x7f;
  std::vector<unsigned char> spaces(17, 0x20);
  spaces[16] = 0xff;
  const unsigned char eight[8] = {0, 1, 2, 3, 4, 5, 6, 7};
  const std::pair<std::string, std::string> cases[] = {
      {HexDump(nullptr, 0), "00000000\n"},
      {HexDump(letters.data(), 16),
       "00000000  41 42 43 00 45 46 47 48 - 49 4a 4b 4c 4d 4e 4f 7f  |ABC.EFGHIJKLMNO.|\n00000010\n"},
      {HexDump(spaces.data(), 17), "00000000  20 20 20 20 20 20 20 20 - 20 20 20 20 20 20 20 20  |" +
                                       std::string(16, ' ') + "|\n00000010  ff" + std::string(48, ' ') +
                                       " |.|\n00000011\n"},
      {HexDump(eight, 8),
       "00000000  00 01 02 03 04 05 06 07 - " + std::string(24, ' ') + " |........|\n00000008\n"},
  };
  for (const auto& [dump, expected] : cases) EXPECT_EQ(dump, expected);
}

}  // namespace
}  // namespace hxt
