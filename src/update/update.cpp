// SPDX-License-Identifier: MIT
#include "update/update.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "diag/hex_dump.h"
#include "serial_id/serial_id.h"

namespace mtdmac {
namespace {

using Folder = Platform::Folder;
using Lock = Platform::Lock;
using Standing = Platform::Standing;

// Fewer bytes than this cannot hold the checksummed part of the block.
constexpr std::size_t kMinImageBytes = kChecksumOffset;

// A run waits for another one for 60 s at most, one pause (0.1 s) at a time,
// so that a stuck run cannot hold up every later one.
constexpr int kLockPauses = 600;

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

// Why the working file could not be made: a path and the cause, else none.
struct Making {
  Made made = Made::kKept;
  const char* path = nullptr;
  const char* why = nullptr;
};

// Where another user could replace the file between its making and the
// dump, the partition would be dumped into, and flashed from, that user's
// choice.
const char* folder_fault(Folder folder) {
  switch (folder) {
    case Folder::kSafe:
      return nullptr;
    case Folder::kNotDirectory:
      return "not a directory";
    case Folder::kOtherOwner:
      return "another user owns it";
    case Folder::kOpenToOthers:
      return "others may write to it and it is not sticky";
  }
  return "unknown";
}

Making failed(const char* path, int error) {
  return {.made = Made::kKept, .path = path, .why = std::strerror(-error)};
}

// /tmp is open to every user: whatever stands at the working file's name and
// is not the tool's own (a link, a FIFO, another user's file) is replaced by
// a new file in one step, so that the dump cannot write through a link, no
// one else can change what is flashed, and no one can keep the name taken.
Making make_working_file(Platform& platform) {
  Folder folder = Folder::kSafe;
  int error = platform.look_at_working_folder(folder);
  if (error != 0) {
    return failed(kWorkingFolderPath, error);
  }
  if (folder != Folder::kSafe) {
    return {.made = Made::kKept, .path = kWorkingFolderPath, .why = folder_fault(folder)};
  }
  Standing standing = Standing::kNothing;
  error = platform.look_at_working_file(standing);
  if (error != 0) {
    return failed(kWorkingFilePath, error);
  }
  if (standing == Standing::kOwnFile) {
    return {};
  }
  error = platform.claim_working_file();
  if (error == -EISDIR) {
    // A rename cannot replace a directory: an empty one goes first.
    error = platform.remove_working_file();
    if (error == 0) {
      error = platform.claim_working_file();
    }
  }
  if (error != 0) {
    return failed(kWorkingFilePath, error);
  }
  return {.made = Made::kCreated};
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
  // Erased, the partition holds nothing until the write-back has ended and
  // been read back: no signal may end the run, or a command of it, in between.
  platform.hold_signals(true);
  const bool flashed = flash_working_file(platform, report, partition);
  flush_three_times(platform);
  // A held signal that ends the run loses nothing of the report.
  std::fflush(report.out);
  platform.hold_signals(false);
  return flashed;
}

UpdateStatus run_update(Image image, Platform& platform, const Report& report, Mode mode) {
  // Before anything opens a descriptor or starts a command.
  int error = platform.ready_process();
  if (error != 0) {
    explain_error(report, kNullPath, error);
    return UpdateStatus::kFailed;
  }
  error = platform.leave_working_folder();
  if (error != 0) {
    explain_error(report, kRootPath, error);
    return UpdateStatus::kFailed;
  }
  if (!lock_partition(platform)) {
    std::fprintf(report.out, "locking %s failed!\n", kPartitionPath);
    explain(report, kPartitionPath, "another run still holds it after 60 s");
    return UpdateStatus::kFailed;
  }
  const Making making = make_working_file(platform);
  if (making.why != nullptr) {
    std::fprintf(report.out, "making %s failed!\n", kWorkingFilePath);
    explain(report, making.path, making.why);
    return UpdateStatus::kFailed;
  }
  const EccFailures ecc(platform);
  platform.flush();
  bool dumped = run_command(platform, {Command::kDump}, report);
  flush_three_times(platform);
  dumped = dumped && !ecc.rose(platform, report, "dumping it");

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
