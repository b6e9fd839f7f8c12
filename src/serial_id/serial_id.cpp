// SPDX-License-Identifier: MIT
#include "serial_id/serial_id.h"

namespace mtdmac {
namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

}  // namespace

std::int32_t parse_serial_value(std::span<const char> text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n && is_space(text[i])) {
    ++i;
  }
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // A "0x" with no digit after it reads as 0, as the bare 0 would.
  if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    i += 2;
  }
  // The magnitude saturates just past the 32-bit range, so it never overflows.
  constexpr std::uint64_t kLimit = 0x80000001ULL;
  std::uint64_t magnitude = 0;
  for (; i < n; ++i) {
    const int digit = hex_value(text[i]);
    if (digit < 0) {
      break;
    }
    magnitude = magnitude * 16 + static_cast<unsigned>(digit);
    if (magnitude > kLimit) {
      magnitude = kLimit;
    }
  }
  if (negative) {
    if (magnitude >= 0x80000000ULL) {
      return INT32_MIN;
    }
    return -static_cast<std::int32_t>(magnitude);
  }
  if (magnitude > 0x7FFFFFFFULL) {
    return INT32_MAX;
  }
  return static_cast<std::int32_t>(magnitude);
}

MacAddress derive_mac(std::int32_t serial) {
  const auto value = static_cast<std::uint32_t>(serial);
  MacAddress address = kVendorPrefix;
  address[3] = static_cast<std::uint8_t>(value >> 16);
  address[4] = static_cast<std::uint8_t>(value >> 8);
  address[5] = static_cast<std::uint8_t>(value);
  return address;
}

int read_serial_mac(int read, std::span<const char> text, std::FILE* out, MacAddress& address) {
  if (read < 0) {
    std::fprintf(out, "making %s failed!\n", kSerialIdPath);
    return -1;
  }
  if (read == 0) {
    std::fprintf(out, "reading %s failed!\n", kSerialIdPath);
    return -2;
  }
  text = text.first(static_cast<std::size_t>(read));
  const std::int32_t serial = parse_serial_value(text);
  // As a C string: the text as read, up to a NUL it may hold.
  std::fprintf(out, "serialid = %.*s\n", static_cast<int>(text.size()), text.data());
  std::fprintf(out, "serialid = %x, %d\n", static_cast<unsigned>(serial), static_cast<int>(serial));
  address = derive_mac(serial);
  return 0;
}

}  // namespace mtdmac
