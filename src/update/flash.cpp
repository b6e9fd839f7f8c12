// SPDX-License-Identifier: MIT
#include "update/flash.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>

#include "mac_block/mac_block.h"

namespace mtdmac {
namespace {

// The largest write a NAND chip takes in any page geometry: busybox's and
// coreutils' dd write in 512-byte blocks by default.
constexpr std::uint32_t kPlainWriteSize = 512;

// Reads of the partition and the working file go through these, a piece at
// a time, whatever the erase size.
constexpr std::size_t kChunk = 4096;
std::array<std::uint8_t, kChunk> g_flash_chunk;
std::array<std::uint8_t, kChunk> g_file_chunk;

bool has(const BlockSet& set, std::uint32_t block) {
  return ((set[block / 8] >> (block % 8)) & 1U) != 0;
}

void add(BlockSet& set, std::uint32_t block) {
  set[block / 8] = static_cast<std::uint8_t>(set[block / 8] | (1U << (block % 8)));
}

constexpr std::uint32_t kToTheEnd = 0xFFFFFFFF;

// Whether the partition holds what the working file holds over length bytes
// from offset (kToTheEnd: up to the working file's end). Sets differs_at to
// where it does not.
bool holds_working_file(Platform& platform, std::uint32_t offset, std::uint32_t length,
                        std::uint32_t& differs_at) {
  for (std::uint32_t done = 0; done < length;) {
    const auto want = static_cast<std::size_t>(std::min<std::uint32_t>(length - done, kChunk));
    differs_at = offset + done;
    const long file = platform.read_working_file(differs_at, std::span(g_file_chunk).first(want));
    if (file < 0 || (file == 0 && length != kToTheEnd)) {
      return false;
    }
    if (file == 0) {
      return true;
    }
    const auto count = static_cast<std::size_t>(file);
    const long flash = platform.read_partition(differs_at, std::span(g_flash_chunk).first(count));
    if (flash == file && std::memcmp(g_file_chunk.data(), g_flash_chunk.data(), count) == 0) {
      done += static_cast<std::uint32_t>(count);
      continue;
    }
    // Where the flash first differs from the file, or where what it returned ends.
    const std::size_t returned = flash < 0 ? 0 : std::min(static_cast<std::size_t>(flash), count);
    differs_at += static_cast<std::uint32_t>(
        std::mismatch(g_file_chunk.data(), g_file_chunk.data() + returned, g_flash_chunk.data())
            .first -
        g_file_chunk.data());
    return false;
  }
  return true;
}

bool reads_erased(Platform& platform, std::uint32_t offset, std::uint32_t length) {
  for (std::uint32_t done = 0; done < length;) {
    const auto want = static_cast<std::size_t>(std::min<std::uint32_t>(length - done, kChunk));
    const long got = platform.read_partition(offset + done, std::span(g_flash_chunk).first(want));
    if (got != static_cast<long>(want) ||
        !std::all_of(g_flash_chunk.begin(), g_flash_chunk.begin() + got,
                     [](std::uint8_t b) { return b == 0xFF; })) {
      return false;
    }
    done += static_cast<std::uint32_t>(want);
  }
  return true;
}

// dd's own block size is small enough for every flash the plain command
// meets: writes no larger than 512 bytes, room for the whole working file
// (the dump, at least the image) and no bad block to step around.
bool takes_plain_write_back(const Partition& partition, const BlockSet& chosen) {
  if (partition.any_bad || partition.flash.write_size > kPlainWriteSize ||
      partition.flash.size < kImageSize) {
    return false;
  }
  for (std::uint32_t block = 0; block < partition.blocks; ++block) {
    if (!has(chosen, block)) {
      return false;
    }
  }
  return true;
}

// The first block from first on that does not hold what it should: where a
// write-back that failed stopped.
std::uint32_t failed_block(Platform& platform, const Partition& partition, std::uint32_t first,
                           std::uint32_t end) {
  const std::uint32_t size = partition.flash.erase_size;
  std::uint32_t differs_at = 0;
  while (first < end && holds_working_file(platform, first * size, size, differs_at)) {
    ++first;
  }
  return first;
}

// Writes the chosen erase blocks, each run of neighbours with one command. A
// run that fails is taken up again after the block it failed in, so that
// only that block loses its data. True when every command succeeded.
bool write_blocks(Platform& platform, const Report& report, const Partition& partition,
                  const BlockSet& chosen) {
  const std::uint32_t blocks = partition.blocks;
  std::uint32_t block = 0;
  bool written = true;
  if (takes_plain_write_back(partition, chosen)) {
    if (run_command(platform, {Command::kWriteBack}, report)) {
      return true;
    }
    written = false;
    block = failed_block(platform, partition, 0, blocks) + 1;
  }
  while (block < blocks) {
    if (!has(chosen, block)) {
      ++block;
      continue;
    }
    std::uint32_t end = block;
    while (end < blocks && has(chosen, end)) {
      ++end;
    }
    const Command command{Command::kWriteBack, partition.flash.erase_size, end - block, block};
    if (run_command(platform, command, report)) {
      block = end;
    } else {
      written = false;
      block = failed_block(platform, partition, block, end) + 1;
    }
  }
  return written;
}

// Reads back what the write-back covered: the chosen blocks, or the whole
// working file on a plain file.
bool read_back(Platform& platform, const Report& report, const Partition& partition,
               const BlockSet& chosen) {
  std::uint32_t differs_at = 0;
  if (!partition.is_flash) {
    if (holds_working_file(platform, 0, kToTheEnd, differs_at)) {
      return true;
    }
  } else {
    const EccFailures ecc(platform);
    const std::uint32_t size = partition.flash.erase_size;
    bool same = true;
    for (std::uint32_t block = 0; same && block < partition.blocks; ++block) {
      same = !has(chosen, block) || holds_working_file(platform, block * size, size, differs_at);
    }
    if (same) {
      return !ecc.rose(platform, report, "reading it back");
    }
  }
  char why[80];
  std::snprintf(why, sizeof why, "differs from %s from byte %lu on", kWorkingFilePath,
                static_cast<unsigned long>(differs_at));
  explain(report, kPartitionPath, why);
  return false;
}

}  // namespace

EccFailures::EccFailures(Platform& platform)
    : counted_(platform.count_ecc_failures(before_) == 0) {}

bool EccFailures::rose(Platform& platform, const Report& report, const char* doing) const {
  std::uint32_t after = 0;
  if (!counted_ || platform.count_ecc_failures(after) != 0 || after == before_) {
    return false;
  }
  char why[80];
  std::snprintf(why, sizeof why, "%lu uncorrectable ECC errors in %s",
                static_cast<unsigned long>(after - before_), doing);
  explain(report, kPartitionPath, why);
  return true;
}

bool check_partition(Platform& platform, const Report& report, Partition& partition) {
  const int error = platform.read_flash(partition.flash);
  if (error == -ENOTTY) {
    partition.is_flash = false;
    return true;
  }
  if (error == -EBADF) {
    explain(report, kPartitionPath, "cannot be opened to ask its flash driver");
    return false;
  }
  if (error != 0) {
    explain_error(report, kPartitionPath, error);
    return false;
  }
  partition.is_flash = true;
  const Platform::Flash& flash = partition.flash;
  if (!flash.writable) {
    explain(report, kPartitionPath, "its flash driver says it cannot be written");
    return false;
  }
  if (flash.erase_size == 0 || flash.size % flash.erase_size != 0 ||
      flash.size / flash.erase_size > kMaxEraseBlocks) {
    explain(report, kPartitionPath, "its erase blocks are more or other than the tool can track");
    return false;
  }
  partition.blocks = flash.size / flash.erase_size;
  for (std::uint32_t block = 0; block < partition.blocks; ++block) {
    const int bad = platform.is_bad_block(block * flash.erase_size);
    // NOR has no bad blocks, and an old driver may not say so.
    if (bad == -EOPNOTSUPP) {
      break;
    }
    if (bad < 0) {
      explain_error(report, kPartitionPath, bad);
      return false;
    }
    if (bad > 0 && block == 0) {
      explain(report, kPartitionPath, "its first erase block, which holds the MAC block, is bad");
      return false;
    }
    if (bad > 0) {
      add(partition.bad, block);
      partition.any_bad = true;
    }
  }
  return true;
}

bool flash_working_file(Platform& platform, const Report& report, const Partition& partition) {
  const bool erased = run_command(platform, {Command::kErase}, report);
  if (!erased) {
    std::fprintf(report.out, "erasing %s failed!\n", kPartitionPath);
  }
  // After a failed erase only the blocks it did erase are written: the rest
  // would be programmed over what they hold.
  BlockSet chosen{};
  for (std::uint32_t block = 0; block < partition.blocks; ++block) {
    const std::uint32_t size = partition.flash.erase_size;
    if (!has(partition.bad, block) && (erased || reads_erased(platform, block * size, size))) {
      add(chosen, block);
    }
  }
  const bool written = partition.is_flash ? write_blocks(platform, report, partition, chosen)
                                          : run_command(platform, {Command::kWriteBack}, report);
  if (!written) {
    std::fprintf(report.out, "writing %s failed!\n", kPartitionPath);
    return false;
  }
  if (!read_back(platform, report, partition, chosen)) {
    std::fprintf(report.out, "verifying %s failed!\n", kPartitionPath);
    return false;
  }
  return erased;
}

}  // namespace mtdmac
