// SPDX-License-Identifier: MIT
#include "serial_id/serial_id.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <string_view>

#include "support/capture.h"

namespace mtdmac {
namespace {

using testing::Capture;

std::int32_t parse(std::string_view text) {
  return parse_serial_value(std::span<const char>(text.data(), text.size()));
}

TEST(SerialParse, BehavesAsStrtolBase16With32BitLong) {
  struct Case {
    std::string_view text;
    std::int32_t value;
  };
  const Case cases[] = {
      {"0012abcd\n", 0x12ABCD},
      {"  \t\n\v\f\r1F", 0x1F},
      {"+7fffffff", 0x7FFFFFFF},
      {"80000000", INT32_MAX},
      {"1ff123456", INT32_MAX},
      {"ffffffffffffffffffff", INT32_MAX},
      {"-1", -1},
      {"-80000000", INT32_MIN},
      {"-80000001", INT32_MIN},
      {"-ffffffffffff", INT32_MIN},
      {"0x1A", 0x1A},
      {"0X1a", 0x1A},
      {"-0x10", -0x10},
      {"0x", 0},
      {"0xg", 0},
      {"12g34", 0x12},
      {"xyz", 0},
      {"", 0},
      {"   ", 0},
      {"-", 0},
      {"+-1", 0},
      {"- 1", 0},
      {std::string_view("12\0"
                        "34",
                        5),
       0x12},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse(c.text), c.value) << "text \"" << c.text << "\"";
  }
}

TEST(SerialParse, NeverLooksPastTheGivenBytes) {
  const char text[] = "12345678";
  EXPECT_EQ(parse_serial_value(std::span<const char>(text, 3)), 0x123);
  EXPECT_EQ(parse_serial_value(std::span<const char>(text, 0)), 0);
  const char prefix[] = "0x5";
  EXPECT_EQ(parse_serial_value(std::span<const char>(prefix, 2)), 0);  // "0x" alone
}

TEST(SerialDerive, VendorPrefixAndLow24Bits) {
  EXPECT_EQ(derive_mac(0x12ABCD), (MacAddress{0x02, 0xC4, 0x7A, 0x12, 0xAB, 0xCD}));
  EXPECT_EQ(derive_mac(0x7FFFFFFF), (MacAddress{0x02, 0xC4, 0x7A, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(derive_mac(-1), (MacAddress{0x02, 0xC4, 0x7A, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(derive_mac(INT32_MIN), (MacAddress{0x02, 0xC4, 0x7A, 0x00, 0x00, 0x00}));
  EXPECT_EQ(derive_mac(0x5A010203), (MacAddress{0x02, 0xC4, 0x7A, 0x01, 0x02, 0x03}));
}

// What one read of the entry gave: its text, or nothing when it could not be opened.
class SerialRead : public ::testing::Test {
 protected:
  int read(std::optional<std::string_view> entry) {
    Capture report;
    const std::string_view text = entry.value_or("");
    const int count = entry ? static_cast<int>(std::min(text.size(), kSerialTextMax)) : -ENOENT;
    const int result = read_serial_mac(count, text, report.stream(), address_);
    lines_ = report.text();
    return result;
  }

  MacAddress address_ = {1, 2, 3, 4, 5, 6};
  std::string lines_;
};

TEST_F(SerialRead, PrintsTextAsReadThenValueInHexAndDecimal) {
  EXPECT_EQ(read("0012abcd\n"), 0);
  EXPECT_EQ(lines_, "serialid = 0012abcd\n\nserialid = 12abcd, 1223629\n");
  EXPECT_EQ(address_, (MacAddress{0x02, 0xC4, 0x7A, 0x12, 0xAB, 0xCD}));
}

TEST_F(SerialRead, NegativeValueShowsItsTwosComplement) {
  EXPECT_EQ(read("-1"), 0);
  EXPECT_EQ(lines_, "serialid = -1\nserialid = ffffffff, -1\n");
}

TEST_F(SerialRead, OnlyTheFirstTwentyBytesAreRead) {
  EXPECT_EQ(read("000000000000000000011234"), 0);  // digit 20 is the last seen
  EXPECT_EQ(lines_, "serialid = 00000000000000000001\nserialid = 1, 1\n");
  EXPECT_EQ(address_, (MacAddress{0x02, 0xC4, 0x7A, 0x00, 0x00, 0x01}));
}

TEST_F(SerialRead, TextWithoutDigitsIsSerialZero) {
  EXPECT_EQ(read("none\n"), 0);
  EXPECT_EQ(lines_, "serialid = none\n\nserialid = 0, 0\n");
  EXPECT_EQ(address_, (MacAddress{0x02, 0xC4, 0x7A, 0x00, 0x00, 0x00}));
}

TEST_F(SerialRead, FailuresLeaveTheAddressUntouched) {
  const MacAddress before = address_;
  EXPECT_EQ(read(std::nullopt), -1);
  EXPECT_EQ(lines_, "making /proc/stb/info/serialid failed!\n");
  EXPECT_EQ(address_, before);

  EXPECT_EQ(read(""), -2);
  EXPECT_EQ(lines_, "reading /proc/stb/info/serialid failed!\n");
  EXPECT_EQ(address_, before);
}

}  // namespace
}  // namespace mtdmac
