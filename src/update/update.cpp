#include "update/update.h"

#include <algorithm>
#include <cerrno>

#include "diag/hex_dump.h"
#include "serial_id/serial_id.h"

namespace mtdmac {
namespace {

using Command = Platform::Command;
using Access = Platform::Access;

// Fewer bytes than this cannot hold the checksummed part of the block.
constexpr std::size_t kMinImageBytes = kChecksumOffset;

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

void update_address(Image image, const MacAddress& flash_mac, Platform& platform, std::FILE* out) {
  MacAddress derived{};
  if (read_serial_mac(platform, out, derived) != 0) {
    return;  // no derived address: nothing to compare, the partition stays as it is
  }
  print_mac(out, "PROC MAC", derived);
  if (derived == flash_mac) {
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
  platform.flush();
  run_command(platform, Command::kDump, out);  // a failed dump shows in the read below
  flush_three_times(platform);

  std::FILE* file = platform.open_working_file(Access::kRead);
  if (file == nullptr) {
    std::fprintf(out, "making %s failed!\n", kWorkingFilePath);
    return UpdateStatus::kFailed;
  }
  const std::size_t count = std::fread(image.data(), 1, image.size(), file);
  std::fclose(file);
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

  update_address(image, flash_mac, platform, out);
  return UpdateStatus::kDone;
}

}  // namespace mtdmac
