// SPDX-License-Identifier: MIT
#include "update/update.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "diag/hex_dump.h"
#include "serial_id/serial_id.h"

namespace mtdmac {
namespace {

using Command = Platform::Command;
using Access = Platform::Access;
using Lock = Platform::Lock;

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

// The working file is the tool's own when nobody else can have put it there
// or can change it: a regular file of this user, one link, writable by this
// user alone.
bool is_own_file(const struct stat& status) {
  return S_ISREG(status.st_mode) && status.st_uid == ::geteuid() && status.st_nlink == 1 &&
         (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

enum class Made { kKept, kCreated, kFailed };

// /tmp is open to every user: whatever stands at the working file's name and
// is not the tool's own (a link, a FIFO, another user's file) is removed and
// the file created anew, so that the dump cannot write through a link and no
// one else can change what is flashed.
Made make_working_file(Platform& platform) {
  for (int tries = 0; tries < kMakeTries; ++tries) {
    struct stat status {};
    if (platform.look_at_working_file(status) == 0) {
      if (is_own_file(status)) {
        return Made::kKept;
      }
      if (platform.remove_working_file() != 0 && errno != ENOENT) {
        return Made::kFailed;
      }
    } else if (errno != ENOENT) {
      return Made::kFailed;
    }
    std::FILE* file = platform.open_working_file(Access::kCreate);
    if (file != nullptr) {
      std::fclose(file);
      return Made::kCreated;
    }
    if (errno != EEXIST) {
      return Made::kFailed;
    }
  }
  return Made::kFailed;
}

// The report must stay ahead of the command's own output in a pipe or a log.
int run_command(Platform& platform, Command command, std::FILE* out) {
  std::fflush(out);
  return platform.run(command);
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

// Opens the working file for update so that whatever the dump held past the
// image goes back to the partition untouched; creates it only when missing.
std::FILE* open_for_write_back(Platform& platform) {
  std::FILE* file = platform.open_working_file(Access::kUpdate);
  if (file == nullptr && errno == ENOENT) {
    file = platform.open_working_file(Access::kCreate);
  }
  return file;
}

// Returns true when the whole image is in the working file.
bool write_working_file(ConstImage image, Platform& platform, std::FILE* out) {
  std::FILE* file = open_for_write_back(platform);
  if (file == nullptr) {
    std::fprintf(out, "making %s failed!\n", kWorkingFilePath);
    return false;
  }
  // Unbuffered, so the count fwrite returns is what reached the file.
  std::setvbuf(file, nullptr, _IONBF, 0);
  const std::size_t written = std::fwrite(image.data(), 1, image.size(), file);
  if (written != image.size()) {
    std::fclose(file);
    std::fprintf(out, "writing %s failed!(%d > %d)\n", kWorkingFilePath,
                 static_cast<int>(image.size()), static_cast<int>(written));
    return false;
  }
  if (std::fclose(file) != 0) {
    std::fprintf(out, "closing %s failed!\n", kWorkingFilePath);
    return false;
  }
  return true;
}

void update_address(Image image, const MacAddress& flash_mac, bool dumped, Platform& platform,
                    std::FILE* out) {
  MacAddress derived{};
  if (read_serial_mac(platform, out, derived) != 0) {
    return;  // no derived address: nothing to compare, the partition stays as it is
  }
  print_mac(out, "PROC MAC", derived);
  if (derived == flash_mac) {
    return;
  }
  // The image may hold only part of the partition, or an earlier run's copy.
  if (!dumped) {
    std::fprintf(out, "reading %s failed!\n", kPartitionPath);
    return;
  }
  store_mac_block(image, derived, platform, out);
}

}  // namespace

void store_mac_block(Image image, const MacAddress& address, Platform& platform, std::FILE* out) {
  for (std::size_t i = 0; i < kEntryCount; ++i) {
    set_mac_entry(image, i, address);
  }
  set_checksum(image, out);
  dump_bytes("New MAC Par", image.data(), kBlockSize, out);

  // The partition is erased only once the working file holds the whole image.
  if (!write_working_file(image, platform, out)) {
    return;
  }
  platform.flush();
  if (run_command(platform, Command::kErase, out) != 0) {
    std::fprintf(out, "erasing %s failed!\n", kPartitionPath);
  }
  if (run_command(platform, Command::kWriteBack, out) != 0) {
    std::fprintf(out, "writing %s failed!\n", kPartitionPath);
  }
  flush_three_times(platform);
}

UpdateStatus run_update(Image image, Platform& platform, std::FILE* out) {
  if (!lock_partition(platform)) {
    std::fprintf(out, "locking %s failed!\n", kPartitionPath);
    return UpdateStatus::kFailed;
  }
  const Made made = make_working_file(platform);
  if (made == Made::kFailed) {
    std::fprintf(out, "making %s failed!\n", kWorkingFilePath);
    return UpdateStatus::kFailed;
  }
  platform.flush();
  const bool dumped = run_command(platform, Command::kDump, out) == 0;
  flush_three_times(platform);

  std::FILE* file = platform.open_working_file(Access::kRead);
  if (file == nullptr) {
    std::fprintf(out, "making %s failed!\n", kWorkingFilePath);
    return UpdateStatus::kFailed;
  }
  const std::size_t count = std::fread(image.data(), 1, image.size(), file);
  std::fclose(file);
  // The file this run made and a failed dump left empty was never a copy of
  // the partition.
  if (count == 0 && made == Made::kCreated && !dumped) {
    platform.remove_working_file();
    std::fprintf(out, "making %s failed!\n", kWorkingFilePath);
    return UpdateStatus::kFailed;
  }
  if (count < kMinImageBytes) {
    std::fprintf(out, "reading %s failed!(%d > %d)\n", kWorkingFilePath,
                 static_cast<int>(kMinImageBytes), static_cast<int>(count));
    return UpdateStatus::kShortRead;
  }
  // A shorter dump leaves the rest of the image zero, whatever it held before.
  std::fill(image.begin() + static_cast<std::ptrdiff_t>(count), image.end(), std::uint8_t{0});

  dump_bytes("MAC Par", image.data(), kBlockSize, out);
  if (verify_checksum(image, out) != 0) {
    std::fprintf(out, "verify %s failed!\n", kWorkingFilePath);
    reset_to_template(image);
  }
  MacAddress flash_mac{};
  get_mac_entry(image, kReferenceEntry, flash_mac);
  print_mac(out, "FLASH MAC", flash_mac);

  update_address(image, flash_mac, dumped, platform, out);
  return UpdateStatus::kDone;
}

}  // namespace mtdmac
