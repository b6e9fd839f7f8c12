// SPDX-License-Identifier: MIT
#include "diag/hex_dump.h"

namespace mtdmac {
namespace {

constexpr std::size_t kRowBytes = 16;
constexpr std::size_t kHexWidth = kRowBytes * 3;
constexpr char kDigits[] = "0123456789abcdef";

}  // namespace

void dump_bytes(const char* label, const std::uint8_t* data, std::size_t length, std::FILE* out) {
  const auto count = static_cast<std::uint16_t>(length);
  if (data == nullptr || count == 0) {
    return;
  }
  std::fprintf(out, "[ %s [%x]]\n", label, static_cast<unsigned>(count));

  char hex[kHexWidth + 1];
  char text[kRowBytes + 1];
  std::size_t pos = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t byte = data[i];
    hex[pos * 3] = kDigits[byte >> 4];
    hex[pos * 3 + 1] = kDigits[byte & 0x0F];
    hex[pos * 3 + 2] = ' ';
    text[pos] = (byte >= 0x20 && byte <= 0x7E) ? static_cast<char>(byte) : '.';
    if (++pos == kRowBytes) {
      hex[kHexWidth] = '\0';
      text[kRowBytes] = '\0';
      std::fprintf(out, "%s %s\n", hex, text);
      pos = 0;
    }
  }
  if (pos != 0) {
    // Pad the hex column so the text column lines up with the full rows.
    for (std::size_t i = pos * 3; i < kHexWidth; ++i) {
      hex[i] = ' ';
    }
    hex[kHexWidth] = '\0';
    text[pos] = '\0';
    std::fprintf(out, "%s %s\n\n", hex, text);
  }
}

}  // namespace mtdmac
