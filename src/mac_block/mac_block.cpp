// SPDX-License-Identifier: MIT
#include "mac_block/mac_block.h"

#include <algorithm>

namespace mtdmac {

std::uint8_t compute_checksum(ConstImage image) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < kChecksumOffset; ++i) {
    sum += image[i];
  }
  return static_cast<std::uint8_t>(sum);
}

int verify_checksum(ConstImage image, std::FILE* out) {
  const unsigned computed = compute_checksum(image);
  const unsigned stored = image[kChecksumOffset];
  if (computed == stored) {
    std::fprintf(out, "MAC ADDRESS CHECKSUM SUCCESS!(%x,%x)\n", computed, stored);
    return 0;
  }
  std::fprintf(out, "MAC ADDRESS CHECKSUM FAILED!(%x,%x)\n", computed, stored);
  return -1;
}

void set_checksum(Image image, std::FILE* out) {
  const std::uint8_t sum = compute_checksum(image);
  image[kChecksumOffset] = sum;
  image[kChecksumCopyOffset] = sum;
  std::fprintf(out, "set_checksum() = %02x\n", static_cast<unsigned>(sum));
}

void set_mac_entry(Image image, std::size_t index, const MacAddress& address) {
  auto entry = image.subspan(kEntriesOffset + kEntrySize * index, kEntrySize);
  std::copy(address.begin(), address.end(), entry.begin());
  entry[6] = 0;
  entry[7] = 0;
}

void get_mac_entry(ConstImage image, std::size_t index, MacAddress& address) {
  auto entry = image.subspan(kEntriesOffset + kEntrySize * index, kMacSize);
  std::copy(entry.begin(), entry.end(), address.begin());
}

void reset_to_template(Image image) {
  std::fill(image.begin(), image.end(), std::uint8_t{0xFF});
  std::copy(kTemplateHeader.begin(), kTemplateHeader.end(), image.begin());
}

}  // namespace mtdmac
