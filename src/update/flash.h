// SPDX-License-Identifier: MIT
// The partition as the flash driver describes it, and the erase, write-back
// and read-back that fit it. A NOR chip takes writes of any size; NAND takes
// whole pages (or subpages) at aligned offsets, may hold bad erase blocks
// that the erase skips and nothing may be written through, and can return a
// page with uncorrectable ECC errors although the read succeeds.
#pragma once

#include <array>
#include <cstdint>

#include "update/platform.h"
#include "update/report.h"

namespace mtdmac {

// The most erase blocks a partition may have for the tool to track each one.
inline constexpr std::uint32_t kMaxEraseBlocks = 8192;

using BlockSet = std::array<std::uint8_t, kMaxEraseBlocks / 8>;

struct Partition {
  bool is_flash = false;  // false: a plain file, written back whole as it is
  Platform::Flash flash{};
  std::uint32_t blocks = 0;
  BlockSet bad{};
  bool any_bad = false;
};

// The flash driver's count of reads that met uncorrectable ECC errors, taken
// before a read of the partition: such a read succeeds, but what it returned
// cannot be trusted. A partition that is no flash counts nothing.
class EccFailures {
 public:
  explicit EccFailures(Platform& platform);
  // True when the count rose since; err says by how many, in doing what.
  bool rose(Platform& platform, const Report& report, const char* doing) const;

 private:
  std::uint32_t before_ = 0;
  bool counted_;
};

// Asks the driver, before anything is erased, whether the write-back can
// succeed. False when it cannot (the partition is not writable, its first
// erase block is bad, the driver cannot be asked); err says why.
bool check_partition(Platform& platform, const Report& report, Partition& partition);

// Erases the partition and writes the working file back to it, each good
// erase block at its own offset, then reads back what was written. Prints the
// line of each step that fails. True when the partition now holds the
// working file.
bool flash_working_file(Platform& platform, const Report& report, const Partition& partition);

}  // namespace mtdmac
