// SPDX-License-Identifier: MIT
// The serial-id address source: the box's own MAC address, derived from the
// serial id that the kernel driver publishes as hexadecimal text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "mac_block/mac_block.h"

namespace mtdmac {

inline constexpr const char* kSerialIdPath = "/proc/stb/info/serialid";
inline constexpr std::size_t kSerialTextMax = 20;
inline constexpr MacAddress kVendorPrefix = {0x02, 0xC4, 0x7A, 0x00, 0x00, 0x00};

// Parses like strtol(text, nullptr, 16) where long is 32 bits, whatever the
// width of long on this host. Only the given bytes are looked at.
std::int32_t parse_serial_value(std::span<const char> text);

// The vendor prefix followed by the low 24 bits of the serial value.
MacAddress derive_mac(std::int32_t serial);

// What one read of at most 20 bytes of the serial-id entry gave: read is the
// count of bytes in text, or negative when the entry could not be opened.
// Prints the two serial-id lines and fills address. Returns -1 if the entry
// could not be opened and -2 if nothing was read, after the line that says
// so; address is then left untouched.
int read_serial_mac(int read, std::span<const char> text, std::FILE* out, MacAddress& address);

}  // namespace mtdmac
