// SPDX-License-Identifier: MIT
// Labelled hex dump used to show the MAC parameter block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace mtdmac {

// Only the low 16 bits of length count. Prints nothing for a null pointer
// or a zero count.
void dump_bytes(const char* label, const std::uint8_t* data, std::size_t length, std::FILE* out);

}  // namespace mtdmac
