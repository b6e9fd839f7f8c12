// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "serial_id/serial_id.h"
#include "update/platform.h"

namespace mtdmac {
namespace {

// One static instance that is never deleted, so its destructor need not be virtual.
// NOLINTNEXTLINE(cppcoreguidelines-virtual-class-destructor)
class BoxPlatform final : public Platform {
 public:
  Lock try_lock_partition() override {
    if (partition_ < 0) {
      // Read-only and nothing created: the lock needs only an open file.
      partition_ = ::open(kPartitionPath, O_RDONLY | O_CLOEXEC);
      if (partition_ < 0) {
        return Lock::kUnavailable;
      }
    }
    if (::flock(partition_, LOCK_EX | LOCK_NB) == 0) {
      return Lock::kHeld;
    }
    return errno == EWOULDBLOCK || errno == EINTR ? Lock::kBusy : Lock::kUnavailable;
  }

  void pause() override {
    const timespec tenth = {0, 100'000'000};
    ::nanosleep(&tenth, nullptr);
  }

  int look_at_working_file(struct stat& status) override {
    return ::lstat(kWorkingFilePath, &status);
  }

  int remove_working_file() override {
    if (::unlink(kWorkingFilePath) == 0) {
      return 0;
    }
    // Linux refuses to unlink a directory with EISDIR, POSIX allows EPERM.
    if (errno != EISDIR && errno != EPERM) {
      return -1;
    }
    return ::rmdir(kWorkingFilePath);
  }

  std::FILE* open_working_file(Access access) override {
    int flags = O_NOFOLLOW | O_CLOEXEC;
    switch (access) {
      case Access::kRead:
        flags |= O_RDONLY;
        break;
      case Access::kUpdate:
        flags |= O_RDWR;
        break;
      case Access::kCreate:
        flags |= O_RDWR | O_CREAT | O_EXCL;
        break;
    }
    const int fd = ::open(kWorkingFilePath, flags, S_IRUSR | S_IWUSR);
    if (fd < 0) {
      return nullptr;
    }
    std::FILE* file = ::fdopen(fd, access == Access::kRead ? "rb" : "r+b");
    if (file == nullptr) {
      const int error = errno;
      ::close(fd);
      errno = error;
    }
    return file;
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

 private:
  int partition_ = -1;  // open for the whole run once locked
};

}  // namespace

Platform& box_platform() {
  // Constant-initialised: no guard, no constructor at start-up.
  static constinit BoxPlatform platform;
  return platform;
}

}  // namespace mtdmac
