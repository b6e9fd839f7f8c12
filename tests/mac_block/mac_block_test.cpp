// SPDX-License-Identifier: MIT
#include "mac_block/mac_block.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "support/capture.h"

namespace mtdmac {
namespace {

using testing::Capture;

struct Block {
  std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kImageSize, 0);
  Image image() { return Image(bytes.data(), kImageSize); }
};

std::string verify_line(Block& block, int* result) {
  Capture report;
  *result = verify_checksum(block.image(), report.stream());
  return report.text();
}

TEST(Checksum, VerifyReportsComputedAndStoredInLowerCaseHex) {
  Block zero;
  int result = 1;
  EXPECT_EQ(verify_line(zero, &result), "MAC ADDRESS CHECKSUM SUCCESS!(0,0)\n");
  EXPECT_EQ(result, 0);

  Block erased;
  std::fill(erased.bytes.begin(), erased.bytes.end(), 0xFF);
  EXPECT_EQ(verify_line(erased, &result), "MAC ADDRESS CHECKSUM FAILED!(74,ff)\n");
  EXPECT_EQ(result, -1);

  Block five;
  five.bytes[0] = 2;
  five.bytes[139] = 3;
  five.bytes[140] = 5;
  EXPECT_EQ(verify_line(five, &result), "MAC ADDRESS CHECKSUM SUCCESS!(5,5)\n");

  Block big;
  big.bytes[10] = 0xA0;
  big.bytes[100] = 0x05;
  big.bytes[140] = 0xA5;
  EXPECT_EQ(verify_line(big, &result), "MAC ADDRESS CHECKSUM SUCCESS!(a5,a5)\n");
}

TEST(Checksum, CoversBytesZeroTo139AndReadsOnlyByte140) {
  Block block;
  block.bytes[140] = 0;
  block.bytes[141] = 0x77;  // the copy is never read
  for (std::size_t i = 142; i < kImageSize; i += 97) {
    block.bytes[i] = 0x5A;  // outside the sum
  }
  int result = 1;
  verify_line(block, &result);
  EXPECT_EQ(result, 0);

  block.bytes[139] = 1;
  EXPECT_EQ(verify_line(block, &result), "MAC ADDRESS CHECKSUM FAILED!(1,0)\n");
  EXPECT_EQ(result, -1);
}

TEST(Checksum, SumWrapsModulo256) {
  Block block;
  std::fill(block.bytes.begin(), block.bytes.begin() + 140, 0x80);  // 140 * 0x80 = 0x4600
  EXPECT_EQ(compute_checksum(block.image()), 0x00);
  block.bytes[0] = 0x81;
  EXPECT_EQ(compute_checksum(block.image()), 0x01);
}

TEST(Checksum, SetStoresBothCopiesPrintsTwoDigitsAndThenVerifies) {
  Block block;
  block.bytes[0] = 0x03;
  block.bytes[140] = 0xEE;
  block.bytes[141] = 0xDD;
  block.bytes[142] = 0x42;
  Capture report;
  set_checksum(block.image(), report.stream());
  EXPECT_EQ(report.text(), "set_checksum() = 03\n");
  EXPECT_EQ(block.bytes[140], 0x03);
  EXPECT_EQ(block.bytes[141], 0x03);
  EXPECT_EQ(block.bytes[142], 0x42);
  int result = 1;
  verify_line(block, &result);
  EXPECT_EQ(result, 0);
}

TEST(Template, ResetFillsImageWithFfBehindTheHeaderAndDoesNotVerify) {
  Block block;
  std::fill(block.bytes.begin(), block.bytes.end(), 0x11);
  reset_to_template(block.image());
  const std::vector<std::uint8_t> header = {0, 0, 0, 0, 0, 0, 0, 0x84, 0, 0, 0, 0};
  EXPECT_TRUE(std::equal(header.begin(), header.end(), block.bytes.begin()));
  EXPECT_TRUE(std::all_of(block.bytes.begin() + 12, block.bytes.end(),
                          [](std::uint8_t b) { return b == 0xFF; }));
  int result = 0;
  EXPECT_EQ(verify_line(block, &result), "MAC ADDRESS CHECKSUM FAILED!(4,ff)\n");
  MacAddress mac{};
  get_mac_entry(block.image(), kReferenceEntry, mac);
  EXPECT_EQ(mac, (MacAddress{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(Entries, SetWritesEightBytesAtItsSlotOnly) {
  const MacAddress mac = {0x02, 0xC4, 0x7A, 0x12, 0xAB, 0xCD};
  for (std::size_t index : {std::size_t{0}, std::size_t{3}, std::size_t{7}}) {
    Block block;
    std::fill(block.bytes.begin(), block.bytes.end(), 0xEE);
    set_mac_entry(block.image(), index, mac);
    const std::size_t start = 12 + 8 * index;
    for (std::size_t i = 0; i < kImageSize; ++i) {
      if (i >= start && i < start + 6) {
        ASSERT_EQ(block.bytes[i], mac[i - start]) << "entry " << index << " offset " << i;
      } else if (i == start + 6 || i == start + 7) {
        ASSERT_EQ(block.bytes[i], 0) << "entry " << index << " offset " << i;
      } else {
        ASSERT_EQ(block.bytes[i], 0xEE) << "entry " << index << " offset " << i;
      }
    }
  }
}

TEST(Entries, ReferenceEntryIsReadFromOffsets36To41) {
  Block block;
  for (std::size_t i = 0; i < 148; ++i) {
    block.bytes[i] = static_cast<std::uint8_t>(i);
  }
  MacAddress mac{};
  get_mac_entry(block.image(), kReferenceEntry, mac);
  EXPECT_EQ(mac, (MacAddress{36, 37, 38, 39, 40, 41}));
  // Trailing bytes of other entries survive until that entry is set.
  set_mac_entry(block.image(), 2, mac);
  EXPECT_EQ(block.bytes[12 + 8 * 1 + 6], 26);
  EXPECT_EQ(block.bytes[12 + 8 * 3 + 7], 43);
}

}  // namespace
}  // namespace mtdmac
