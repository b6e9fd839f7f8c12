// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "serial_id/serial_id.h"
#include "update/platform.h"

namespace mtdmac {
namespace {

int negative_errno() {
  return -errno;
}

// Reads from offset until the buffer is full or the file ends; a signal does
// not cut it short.
long read_fully(int fd, std::uint32_t offset, std::span<std::uint8_t> buffer) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t n =
        ::pread(fd, buffer.data() + done, buffer.size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return negative_errno();
    }
    if (n == 0) {
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  return static_cast<long>(done);
}

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

  int look_at_working_file(Standing& standing) override {
    struct stat status {};
    if (::lstat(kWorkingFilePath, &status) != 0) {
      if (errno != ENOENT) {
        return negative_errno();
      }
      standing = Standing::kNothing;
      return 0;
    }
    // Nobody else can have put it there or can change it.
    const bool own = S_ISREG(status.st_mode) && status.st_uid == ::geteuid() &&
                     status.st_nlink == 1 && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    standing = own ? Standing::kOwnFile : Standing::kOther;
    return 0;
  }

  int remove_working_file() override {
    if (::unlink(kWorkingFilePath) == 0) {
      return 0;
    }
    // Linux refuses to unlink a directory with EISDIR, POSIX allows EPERM.
    if (errno != EISDIR && errno != EPERM) {
      return negative_errno();
    }
    return ::rmdir(kWorkingFilePath) == 0 ? 0 : negative_errno();
  }

  int create_working_file() override {
    const int fd = ::open(kWorkingFilePath, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          S_IRUSR | S_IWUSR);
    if (fd < 0) {
      return negative_errno();
    }
    ::close(fd);
    return 0;
  }

  long read_working_file(std::uint32_t offset, std::span<std::uint8_t> buffer) override {
    const int fd = ::open(kWorkingFilePath, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      return negative_errno();
    }
    const long count = read_fully(fd, offset, buffer);
    ::close(fd);
    return count;
  }

  Written write_working_file(std::span<const std::uint8_t> image) override {
    Written result;
    // Not truncated: whatever the dump held past the image goes back to the
    // partition untouched.
    int fd = ::open(kWorkingFilePath, O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
      fd = ::open(kWorkingFilePath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  S_IRUSR | S_IWUSR);
    }
    if (fd < 0) {
      result.error = negative_errno();
      return result;
    }
    result.opened = true;
    while (result.count < image.size()) {
      const ssize_t n = ::write(fd, image.data() + result.count, image.size() - result.count);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        result.error = n < 0 ? negative_errno() : -ENOSPC;
        break;
      }
      result.count += static_cast<std::size_t>(n);
    }
    // Some file systems report a failed write only at close.
    if (::close(fd) != 0 && result.error == 0) {
      result.error = negative_errno();
    }
    return result;
  }

  int read_serial_id(std::span<char> text) override {
    const int fd = ::open(kSerialIdPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      return negative_errno();
    }
    ssize_t n = 0;
    do {
      n = ::read(fd, text.data(), text.size());
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    return n < 0 ? 0 : static_cast<int>(n);
  }

  int read_flash(Flash& flash) override {
    mtd_info_user info{};
    if (const int error = ask(MEMGETINFO, &info); error != 0) {
      return error;
    }
    flash.size = info.size;
    flash.erase_size = info.erasesize;
    flash.write_size = info.writesize;
    flash.writable = (info.flags & MTD_WRITEABLE) != 0;
    return 0;
  }

  int is_bad_block(std::uint32_t offset) override {
    loff_t at = offset;
    if (partition_ < 0) {
      return -EBADF;
    }
    const int bad = ::ioctl(partition_, MEMGETBADBLOCK, &at);
    return bad < 0 ? negative_errno() : bad;
  }

  int count_ecc_failures(std::uint32_t& failures) override {
    mtd_ecc_stats stats{};
    if (const int error = ask(ECCGETSTATS, &stats); error != 0) {
      return error;
    }
    failures = stats.failed;
    return 0;
  }

  long read_partition(std::uint32_t offset, std::span<std::uint8_t> buffer) override {
    return partition_ < 0 ? -EBADF : read_fully(partition_, offset, buffer);
  }

  int run(const Command& command) override {
    char line[128];
    if (!format_command(command, line)) {
      return -1;
    }
    return std::system(line);
  }

  void flush() override { ::sync(); }

 private:
  template <typename Answer>
  int ask(unsigned long request, Answer* answer) {
    if (partition_ < 0) {
      return -EBADF;
    }
    if (::ioctl(partition_, request, answer) == 0) {
      return 0;
    }
    // A user-mode emulator that does not know the request says ENOSYS where
    // the kernel says ENOTTY: neither is a flash driver.
    return errno == ENOSYS ? -ENOTTY : negative_errno();
  }

  int partition_ = -1;  // open for the whole run once locked
};

}  // namespace

Platform& box_platform() {
  // Constant-initialised: no guard, no constructor at start-up.
  static constinit BoxPlatform platform;
  return platform;
}

}  // namespace mtdmac
