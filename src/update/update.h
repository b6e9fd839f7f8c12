// SPDX-License-Identifier: MIT
// The update procedure: bring the MAC partition into the partition image,
// check it, and rewrite the partition when its address is not the box's own.
#pragma once

#include <cstdio>

#include "mac_block/mac_block.h"
#include "update/platform.h"

namespace mtdmac {

// main's status; the shell sees it modulo 256 (0, 255, 254).
enum class UpdateStatus {
  kDone = 0,
  kFailed = -1,     // another run held the partition too long, or no working file
  kShortRead = -2,  // the working file holds less than the block's checksummed part
};

// Where the run reports: out takes the tool's fixed lines, err the causes of
// its own failures (a path and the system's error text, a command and how it
// ended).
struct Report {
  std::FILE* out;
  std::FILE* err;
};

// The whole run. The image need not be zero: whatever the working file does
// not fill is zeroed.
UpdateStatus run_update(Image image, Platform& platform, const Report& report);

// Writes the derived address into every entry, fixes the checksum and writes
// the image back to the partition. Reports problems only by the lines it
// prints.
void store_mac_block(Image image, const MacAddress& address, Platform& platform,
                     const Report& report);

}  // namespace mtdmac
