// SPDX-License-Identifier: MIT
#include <unistd.h>

#include <cstdlib>

#include "serial_id/serial_id.h"
#include "update/platform.h"

namespace mtdmac {
namespace {

// One static instance that is never deleted, so its destructor need not be virtual.
// NOLINTNEXTLINE(cppcoreguidelines-virtual-class-destructor)
class BoxPlatform final : public Platform {
 public:
  std::FILE* open_working_file(Access access) override {
    switch (access) {
      case Access::kRead:
        return std::fopen(kWorkingFilePath, "rb");
      case Access::kUpdate:
        return std::fopen(kWorkingFilePath, "r+b");
      case Access::kCreate:
        return std::fopen(kWorkingFilePath, "wb");
    }
    return nullptr;
  }

  int read_serial_id(std::span<char> text) override {
    std::FILE* file = std::fopen(kSerialIdPath, "rb");
    if (file == nullptr) {
      return -1;
    }
    const std::size_t count = std::fread(text.data(), 1, text.size(), file);
    std::fclose(file);
    return static_cast<int>(count);
  }

  int run(Command command) override {
    switch (command) {
      case Command::kDump:
        return std::system("dd if=/dev/mtd3 of=/tmp/mac.bin");
      case Command::kErase:
        return std::system("flash_eraseall /dev/mtd3");
      case Command::kWriteBack:
        return std::system("dd of=/dev/mtd3 if=/tmp/mac.bin");
    }
    return -1;
  }

  void flush() override { ::sync(); }
};

}  // namespace

Platform& box_platform() {
  // Constant-initialised: no guard, no constructor at start-up.
  static constinit BoxPlatform platform;
  return platform;
}

}  // namespace mtdmac
