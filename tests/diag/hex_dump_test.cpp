// SPDX-License-Identifier: MIT
#include "diag/hex_dump.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/capture.h"

namespace mtdmac {
namespace {

using testing::Capture;

std::string dump(const char* label, const std::uint8_t* data, std::size_t length) {
  Capture report;
  dump_bytes(label, data, length, report.stream());
  return report.text();
}

std::vector<std::uint8_t> counting(std::size_t n) {
  std::vector<std::uint8_t> bytes(n);
  for (std::size_t i = 0; i < n; ++i) {
    bytes[i] = static_cast<std::uint8_t>(0x30 + i % 64);
  }
  return bytes;
}

TEST(HexDump, FullRowsHaveNoTrailingEmptyLine) {
  const auto bytes = counting(16);
  EXPECT_EQ(dump("X", bytes.data(), 16),
            "[ X [10]]\n"
            "30 31 32 33 34 35 36 37 38 39 3a 3b 3c 3d 3e 3f  0123456789:;<=>?\n");
}

TEST(HexDump, PartialRowIsPaddedToFullWidthAndFollowedByEmptyLine) {
  const auto bytes = counting(17);
  EXPECT_EQ(dump("Y", bytes.data(), 17),
            "[ Y [11]]\n"
            "30 31 32 33 34 35 36 37 38 39 3a 3b 3c 3d 3e 3f  0123456789:;<=>?\n"
            "40                                               @\n"
            "\n");
}

TEST(HexDump, BlockOf148BytesShowsNineFullRowsAndFourBytes) {
  std::vector<std::uint8_t> block(148, 0xFF);
  block[7] = 0x84;
  const std::string full = "ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff  ................\n";
  std::string expected = "[ MAC Par [94]]\n";
  expected += "ff ff ff ff ff ff ff 84 ff ff ff ff ff ff ff ff  ................\n";
  for (int row = 1; row < 9; ++row) {
    expected += full;
  }
  expected += "ff ff ff ff " + std::string(36, ' ') + " ....\n\n";
  EXPECT_EQ(dump("MAC Par", block.data(), 148), expected);
}

TEST(HexDump, TextColumnShowsOnlyPrintableAscii) {
  const std::vector<std::uint8_t> bytes = {0x1F, 0x20, 0x7E, 0x7F, 0x80, 0xFF, 'A', 0x00};
  EXPECT_EQ(dump("t", bytes.data(), bytes.size()),
            "[ t [8]]\n"
            "1f 20 7e 7f 80 ff 41 00                          . ~...A.\n\n");
}

TEST(HexDump, NothingForNoDataOrZeroCount) {
  const auto bytes = counting(4);
  EXPECT_EQ(dump("z", bytes.data(), 0), "");
  EXPECT_EQ(dump("z", nullptr, 148), "");
}

TEST(HexDump, CountIsTakenModulo65536) {
  const auto bytes = counting(0x10001);
  EXPECT_EQ(dump("m", bytes.data(), 0x10000), "");
  EXPECT_EQ(dump("m", bytes.data(), 0x10001),
            "[ m [1]]\n"
            "30                                               0\n\n");
}

}  // namespace
}  // namespace mtdmac
