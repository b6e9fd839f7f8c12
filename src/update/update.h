// SPDX-License-Identifier: MIT
// The update procedure: bring the MAC partition into the partition image,
// check it, and rewrite the partition when its address is not the box's own.
#pragma once

#include <cstdio>

#include "mac_block/mac_block.h"
#include "update/flash.h"
#include "update/platform.h"
#include "update/report.h"

namespace mtdmac {

// main's status; the shell sees it modulo 256 (0, 1, 255, 254).
enum class UpdateStatus {
  kDone = 0,        // the partition holds the address derived from the serial id
  kNotInFlash = 1,  // it was read, but does not hold that address at the end
  kFailed = -1,     // another run held the partition too long, or no working file
  kShortRead = -2,  // the working file holds less than the block's checksummed part
};

enum class Mode {
  kRepair,  // rewrite the partition when its address is not the box's own
  kDryRun,  // stop after the derived address; set, write, erase and flash nothing
};

// The whole run. The image need not be zero: whatever the working file does
// not fill is zeroed. A dry run ends with kDone only when the flash already
// holds the box's address.
UpdateStatus run_update(Image image, Platform& platform, const Report& report,
                        Mode mode = Mode::kRepair);

// Writes the derived address into every entry, fixes the checksum and writes
// the image back to the partition, which check_partition has found able to
// take it. Reports problems by the lines it prints; true when the partition
// holds the new image at the end.
bool store_mac_block(Image image, const MacAddress& address, const Partition& partition,
                     Platform& platform, const Report& report);

}  // namespace mtdmac
