// SPDX-License-Identifier: MIT
// The MAC parameter block at the start of the MAC partition: layout,
// checksum, address entries and the default template. Every operation works
// in place on the one partition image.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

namespace mtdmac {

inline constexpr std::size_t kImageSize = 0x10000;
inline constexpr std::size_t kBlockSize = 148;  // extent shown in every dump
inline constexpr std::size_t kChecksumOffset = 140;
inline constexpr std::size_t kChecksumCopyOffset = 141;
inline constexpr std::size_t kEntriesOffset = 12;
inline constexpr std::size_t kEntrySize = 8;
inline constexpr std::size_t kEntryCount = 8;
inline constexpr std::size_t kReferenceEntry = 3;
inline constexpr std::size_t kMacSize = 6;

using Image = std::span<std::uint8_t, kImageSize>;
using ConstImage = std::span<const std::uint8_t, kImageSize>;
using MacAddress = std::array<std::uint8_t, kMacSize>;

// Bytes 0 to 11 of the default template; the rest of the image is 0xFF.
inline constexpr std::array<std::uint8_t, kEntriesOffset> kTemplateHeader = {
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x84, 0x00, 0x00, 0x00, 0x00};

// Sum of bytes 0 to 139, modulo 256.
std::uint8_t compute_checksum(ConstImage image);

// Compares the sum with byte 140 and prints the SUCCESS or FAILED line.
// Returns 0 on a match, -1 otherwise.
int verify_checksum(ConstImage image, std::FILE* out);

// Stores the sum at bytes 140 and 141 and prints it.
void set_checksum(Image image, std::FILE* out);

// index is 0 to 7; the caller guarantees the range.
void set_mac_entry(Image image, std::size_t index, const MacAddress& address);
void get_mac_entry(ConstImage image, std::size_t index, MacAddress& address);

void reset_to_template(Image image);

}  // namespace mtdmac
