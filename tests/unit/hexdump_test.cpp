#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/applog.h"

namespace hxt {
namespace {

TEST(HexDump, EmptyInputGivesOnlyTheClosingLine) { EXPECT_EQ(HexDump(nullptr, 0), "00000000\n"); }

TEST(HexDump, FullLineLayout) {
  std::vector<unsigned char> data;
  for (int i = 0; i < 16; ++i) data.push_back(static_cast<unsigned char>('A' + i));
  data[3] = 0x00;
  data[15] = 0x7f;
  std::string expected =
      "00000000  41 42 43 00 45 46 47 48 - 49 4a 4b 4c 4d 4e 4f 7f  |ABC.EFGHIJKLMNO.|\n"
      "00000010\n";
  EXPECT_EQ(HexDump(data.data(), 16), expected);
}

TEST(HexDump, PartialLastLineIsPaddedToFiftyCharacters) {
  std::vector<unsigned char> data(17, 0x20);
  data[16] = 0xff;
  std::string dump = HexDump(data.data(), 17);
  std::string second = "00000010  ff" + std::string(48, ' ') + " |.|\n";
  std::string first = "00000000  " + std::string("20 20 20 20 20 20 20 20 - 20 20 20 20 20 20 20 20 ") +
                      " |" + std::string(16, ' ') + "|\n";
  EXPECT_EQ(dump, first + second + "00000011\n");
}

TEST(HexDump, SeparatorAppearsOnlyAfterTheEighthByte) {
  unsigned char data[9] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
  std::string dump = HexDump(data, 8);
  EXPECT_EQ(dump, "00000000  00 01 02 03 04 05 06 07 - " + std::string(24, ' ') + " |........|\n00000008\n");
}

}  // namespace
}  // namespace hxt
