#include "update/update.h"

#include <unistd.h>
#include <cerrno>
#include <cstdlib>

#include "diag/hex_dump.h"
#include "serial_id/serial_id.h"

namespace mtdmac {
namespace {

// Fewer bytes than this cannot hold the checksummed part of the block.
constexpr std::size_t kMinImageBytes = kChecksumOffset;

std::FILE* open_file(const char* path, const char* mode) {
  return std::fopen(path, mode);
}
int run_system(const char* command) {
  return std::system(command);
}
void run_sync() {
  ::sync();
}

// The report must stay ahead of the command's own output in a pipe or a log.
int run_command(const System& system, const char* command) {
  std::fflush(system.out);
  return system.run(command);
}

void flush_three_times(const System& system) {
  for (int i = 0; i < 3; ++i) {
    system.flush();
  }
}

void print_mac(std::FILE* out, const char* label, const MacAddress& mac) {
  std::fprintf(out, "%s - %02X:%02X:%02X:%02X:%02X:%02X\n", label, mac[0], mac[1], mac[2], mac[3],
               mac[4], mac[5]);
}

// Opens the working file for update so that whatever the dump held past the
// image goes back to the partition untouched; creates it only when missing.
std::FILE* open_working_file(const System& system) {
  std::FILE* file = system.open(system.working_file, "r+b");
  if (file == nullptr && errno == ENOENT) {
    file = system.open(system.working_file, "wb");
  }
  return file;
}

// Returns true when the whole image is in the working file.
bool write_working_file(ConstImage image, const System& system) {
  std::FILE* file = open_working_file(system);
  if (file == nullptr) {
    std::fprintf(system.out, "making %s failed!\n", system.working_file);
    return false;
  }
  // Unbuffered, so the count fwrite returns is what reached the file.
  std::setvbuf(file, nullptr, _IONBF, 0);
  const std::size_t written = std::fwrite(image.data(), 1, image.size(), file);
  if (written != image.size()) {
    std::fclose(file);
    std::fprintf(system.out, "writing %s failed!(%d > %d)\n", system.working_file,
                 static_cast<int>(image.size()), static_cast<int>(written));
    return false;
  }
  if (std::fclose(file) != 0) {
    std::fprintf(system.out, "closing %s failed!\n", system.working_file);
    return false;
  }
  return true;
}

void update_address(Image image, const MacAddress& flash_mac, const System& system) {
  MacAddress derived{};
  if (read_serial_mac(system.serial_id_file, system.out, derived) != 0) {
    return;  // no derived address: nothing to compare, the partition stays as it is
  }
  print_mac(system.out, "PROC MAC", derived);
  if (derived == flash_mac) {
    return;
  }
  store_mac_block(image, derived, system);
}

}  // namespace

System box_system() {
  return System{
      .working_file = "/tmp/mac.bin",
      .serial_id_file = "/proc/stb/info/serialid",
      .dump_command = "dd if=/dev/mtd3 of=/tmp/mac.bin",
      .erase_command = "flash_eraseall /dev/mtd3",
      .write_back_command = "dd of=/dev/mtd3 if=/tmp/mac.bin",
      .partition = "/dev/mtd3",
      .open = open_file,
      .run = run_system,
      .flush = run_sync,
      .out = stdout,
  };
}

void store_mac_block(Image image, const MacAddress& address, const System& system) {
  for (std::size_t i = 0; i < kEntryCount; ++i) {
    set_mac_entry(image, i, address);
  }
  set_checksum(image, system.out);
  dump_bytes("New MAC Par", image.data(), kBlockSize, system.out);

  // The partition is erased only once the working file holds the whole image.
  if (!write_working_file(image, system)) {
    return;
  }
  system.flush();
  if (run_command(system, system.erase_command) != 0) {
    std::fprintf(system.out, "erasing %s failed!\n", system.partition);
  }
  if (run_command(system, system.write_back_command) != 0) {
    std::fprintf(system.out, "writing %s failed!\n", system.partition);
  }
  flush_three_times(system);
}

int run_update(Image image, const System& system) {
  system.flush();
  run_command(system, system.dump_command);  // a failed dump shows in the read below
  flush_three_times(system);

  std::FILE* file = system.open(system.working_file, "rb");
  if (file == nullptr) {
    std::fprintf(system.out, "making %s failed!\n", system.working_file);
    return -1;
  }
  const std::size_t count = std::fread(image.data(), 1, image.size(), file);
  std::fclose(file);
  if (count < kMinImageBytes) {
    std::fprintf(system.out, "reading %s failed!(%d > %d)\n", system.working_file,
                 static_cast<int>(kMinImageBytes), static_cast<int>(count));
    return -2;
  }

  dump_bytes("MAC Par", image.data(), kBlockSize, system.out);
  if (verify_checksum(image, system.out) != 0) {
    std::fprintf(system.out, "verify %s failed!\n", system.working_file);
    reset_to_template(image);
  }
  MacAddress flash_mac{};
  get_mac_entry(image, kReferenceEntry, flash_mac);
  print_mac(system.out, "FLASH MAC", flash_mac);

  update_address(image, flash_mac, system);
  return 0;
}

}  // namespace mtdmac
