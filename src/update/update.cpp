// SPDX-License-Identifier: MIT
#include "update/update.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "diag/hex_dump.h"
#include "serial_id/serial_id.h"

namespace mtdmac {
namespace {

using Lock = Platform::Lock;
using Standing = Platform::Standing;

// Fewer bytes than this cannot hold the checksummed part of the block.
constexpr std::size_t kMinImageBytes = kChecksumOffset;

// A run waits for another one for 60 s at most, one pause (0.1 s) at a time,
// so that a stuck run cannot hold up every later one.
constexpr int kLockPauses = 600;

// Tries at making the working file when its name is taken again between the
// removal and the creation.
constexpr int kMakeTries = 5;

// Waits for the run in progress, if any, to end. False when it still holds
// the lock after the last pause; a partition that cannot be locked at all is
// used as it is.
bool lock_partition(Platform& platform) {
  for (int pauses = 0;; ++pauses) {
    if (platform.try_lock_partition() != Lock::kBusy) {
      return true;
    }
    if (pauses == kLockPauses) {
      return false;
    }
    platform.pause();
  }
}

enum class Made { kKept, kCreated };

// What makes the working file fail: 0 for none, else a negative errno.
struct Making {
  Made made = Made::kKept;
  int error = 0;
};

// /tmp is open to every user: whatever stands at the working file's name and
// is not the tool's own (a link, a FIFO, another user's file) is removed and
// the file created anew, so that the dump cannot write through a link and no
// one else can change what is flashed.
Making make_working_file(Platform& platform) {
  Making result;
  for (int tries = 0; tries < kMakeTries; ++tries) {
    Standing standing = Standing::kNothing;
    result.error = platform.look_at_working_file(standing);
    if (result.error != 0 || standing == Standing::kOwnFile) {
      return result;
    }
    if (standing == Standing::kOther) {
      result.error = platform.remove_working_file();
      if (result.error != 0 && result.error != -ENOENT) {
        return result;
      }
    }
    result.error = platform.create_working_file();
    if (result.error != -EEXIST) {
      result.made = Made::kCreated;
      return result;
    }
  }
  return result;
}

void flush_three_times(Platform& platform) {
  for (int i = 0; i < 3; ++i) {
    platform.flush();
  }
}

void print_mac(std::FILE* out, const char* label, const MacAddress& mac) {
  std::fprintf(out, "%s - %02X:%02X:%02X:%02X:%02X:%02X\n", label, mac[0], mac[1], mac[2], mac[3],
               mac[4], mac[5]);
}

// Returns true when the whole image is in the working file.
bool write_working_file(ConstImage image, Platform& platform, const Report& report) {
  const Platform::Written written = platform.write_working_file(image);
  if (!written.opened) {
    std::fprintf(report.out, "making %s failed!\n", kWorkingFilePath);
  } else if (written.count != image.size()) {
    std::fprintf(report.out, "writing %s failed!(%d > %d)\n", kWorkingFilePath,
                 static_cast<int>(image.size()), static_cast<int>(written.count));
  } else if (written.error != 0) {
    std::fprintf(report.out, "closing %s failed!\n", kWorkingFilePath);
  } else {
    return true;
  }
  explain_error(report, kWorkingFilePath, written.error);
  return false;
}

// The second half of the run, from the serial id on.
UpdateStatus update_address(Image image, const MacAddress& flash_mac, bool dumped, Mode mode,
                            Platform& platform, const Report& report) {
  char text[kSerialTextMax];
  const int read = platform.read_serial_id(text);
  MacAddress derived{};
  if (read_serial_mac(read, text, report.out, derived) != 0) {
    return UpdateStatus::kNotInFlash;  // no derived address: nothing to compare or write
  }
  print_mac(report.out, "PROC MAC", derived);
  // The image may hold only part of the partition, or an earlier run's copy:
  // what was compared is not what the flash holds.
  if (!dumped) {
    std::fprintf(report.out, "reading %s failed!\n", kPartitionPath);
    return UpdateStatus::kNotInFlash;
  }
  if (derived == flash_mac) {
    return UpdateStatus::kDone;
  }
  // Nothing is erased that cannot be written back.
  Partition partition;
  if (!check_partition(platform, report, partition)) {
    std::fprintf(report.out, "checking %s failed!\n", kPartitionPath);
    return UpdateStatus::kNotInFlash;
  }
  if (mode == Mode::kDryRun) {
    return UpdateStatus::kNotInFlash;
  }
  return store_mac_block(image, derived, partition, platform, report) ? UpdateStatus::kDone
                                                                      : UpdateStatus::kNotInFlash;
}

// Uncorrectable ECC errors that arose while the dump ran: the read succeeded,
// but some of what it returned cannot be trusted.
bool dump_met_ecc_errors(Platform& platform, std::uint32_t before, const Report& report) {
  std::uint32_t after = 0;
  if (platform.count_ecc_failures(after) != 0 || after == before) {
    return false;
  }
  char why[64];
  std::snprintf(why, sizeof why, "%lu uncorrectable ECC errors in dumping it",
                static_cast<unsigned long>(after - before));
  explain(report, kPartitionPath, why);
  return true;
}

}  // namespace

bool store_mac_block(Image image, const MacAddress& address, const Partition& partition,
                     Platform& platform, const Report& report) {
  for (std::size_t i = 0; i < kEntryCount; ++i) {
    set_mac_entry(image, i, address);
  }
  set_checksum(image, report.out);
  dump_bytes("New MAC Par", image.data(), kBlockSize, report.out);

  // The partition is erased only once the working file holds the whole image.
  if (!write_working_file(image, platform, report)) {
    return false;
  }
  platform.flush();
  const bool flashed = flash_working_file(platform, report, partition);
  flush_three_times(platform);
  return flashed;
}

UpdateStatus run_update(Image image, Platform& platform, const Report& report, Mode mode) {
  if (!lock_partition(platform)) {
    std::fprintf(report.out, "locking %s failed!\n", kPartitionPath);
    explain(report, kPartitionPath, "another run still holds it after 60 s");
    return UpdateStatus::kFailed;
  }
  const Making making = make_working_file(platform);
  if (making.error != 0) {
    std::fprintf(report.out, "making %s failed!\n", kWorkingFilePath);
    explain_error(report, kWorkingFilePath, making.error);
    return UpdateStatus::kFailed;
  }
  std::uint32_t ecc_failures = 0;
  const bool ecc_counted = platform.count_ecc_failures(ecc_failures) == 0;
  platform.flush();
  bool dumped = run_command(platform, {Command::kDump}, report);
  flush_three_times(platform);
  if (dumped && ecc_counted && dump_met_ecc_errors(platform, ecc_failures, report)) {
    dumped = false;
  }

  const long count = platform.read_working_file(0, image);
  // The file this run made and a failed dump left empty was never a copy of
  // the partition.
  const bool never_dumped = count == 0 && making.made == Made::kCreated && !dumped;
  if (count < 0 || never_dumped) {
    if (never_dumped) {
      platform.remove_working_file();
    }
    std::fprintf(report.out, "making %s failed!\n", kWorkingFilePath);
    explain(report, kWorkingFilePath,
            never_dumped ? "the dump left nothing in it" : std::strerror(static_cast<int>(-count)));
    return UpdateStatus::kFailed;
  }
  const auto loaded = static_cast<std::size_t>(count);
  if (loaded < kMinImageBytes) {
    std::fprintf(report.out, "reading %s failed!(%d > %d)\n", kWorkingFilePath,
                 static_cast<int>(kMinImageBytes), static_cast<int>(loaded));
    return UpdateStatus::kShortRead;
  }
  // A shorter dump leaves the rest of the image zero, whatever it held before.
  std::fill(image.begin() + static_cast<std::ptrdiff_t>(loaded), image.end(), std::uint8_t{0});

  dump_bytes("MAC Par", image.data(), kBlockSize, report.out);
  if (verify_checksum(image, report.out) != 0) {
    std::fprintf(report.out, "verify %s failed!\n", kWorkingFilePath);
    reset_to_template(image);
  }
  MacAddress flash_mac{};
  get_mac_entry(image, kReferenceEntry, flash_mac);
  print_mac(report.out, "FLASH MAC", flash_mac);

  return update_address(image, flash_mac, dumped, mode, platform, report);
}

}  // namespace mtdmac
