// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>

#include "serial_id/serial_id.h"
#include "update/platform.h"

namespace mtdmac {
namespace {

constexpr const char* kShellPath = "/bin/sh";

// What ends or stops a run from a shutdown, a console or a supervisor.
constexpr int kHeldSignals[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU};

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
  int ready_process() override {
    for (int fd = 0; fd <= 2; ++fd) {
      if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
        continue;
      }
      // The lowest free number, which is this one; the commands inherit it.
      if (::open(kNullPath, O_RDWR) < 0) {  // NOLINT(android-cloexec-open)
        return negative_errno();
      }
    }
    std::signal(SIGPIPE, SIG_IGN);
    // Ignored by the caller, it would leave no status to wait for.
    std::signal(SIGCHLD, SIG_DFL);
    return 0;
  }

  int leave_working_folder() override { return ::chdir(kRootPath) == 0 ? 0 : negative_errno(); }

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

  int look_at_working_folder(Folder& folder) override {
    struct stat status {};
    if (::stat(kWorkingFolderPath, &status) != 0) {
      return negative_errno();
    }
    if (!S_ISDIR(status.st_mode)) {
      folder = Folder::kNotDirectory;
    } else if (status.st_uid != 0 && status.st_uid != ::geteuid()) {
      folder = Folder::kOtherOwner;
    } else if ((status.st_mode & S_ISVTX) == 0 && (status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
      folder = Folder::kOpenToOthers;
    } else {
      folder = Folder::kSafe;
    }
    return 0;
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

  int claim_working_file() override {
    // mkstemp makes it exclusively (never through a link), mode 0600, under
    // a random name in the working file's folder.
    char name[] = "/tmp/mac.bin.XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd < 0) {
      return negative_errno();
    }
    ::close(fd);
    if (::rename(name, kWorkingFilePath) == 0) {
      return 0;
    }
    const int error = negative_errno();
    ::unlink(name);
    return error;
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
    // A FIFO put in its place must not hold the run: without a writer it
    // opens at once and reads as empty.
    const int fd = ::open(kSerialIdPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
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

  // Not system(): it ignores SIGINT and SIGQUIT while it waits, which drops
  // one that is held, and exec resets every handler, so the commands can be
  // made to ignore the held signals only between fork and exec.
  int run(const Command& command) override {
    char line[128];
    if (!format_command(command, line)) {
      return -1;
    }
    // execve takes no const arguments, for history's sake; it never writes to them.
    char shell[] = "sh";
    char option[] = "-c";
    char* const argv[] = {shell, option, line, nullptr};
    const pid_t child = ::fork();
    if (child < 0) {
      return -1;
    }
    if (child == 0) {
      if (held_) {
        for (const int signal : kHeldSignals) {
          std::signal(signal, SIG_IGN);
        }
      }
      ::execve(kShellPath, argv, environ);
      ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
      if (errno != EINTR) {
        return -1;
      }
    }
    return status;
  }

  void hold_signals(bool hold) override {
    if (hold == held_) {
      return;
    }
    if (hold) {
      sigset_t held;
      sigemptyset(&held);
      for (const int signal : kHeldSignals) {
        sigaddset(&held, signal);
      }
      ::sigprocmask(SIG_BLOCK, &held, &before_);
    } else {
      // One that came meanwhile acts here.
      ::sigprocmask(SIG_SETMASK, &before_, nullptr);
    }
    held_ = hold;
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
  bool held_ = false;
  sigset_t before_{};  // the signal mask before the hold
};

}  // namespace

Platform& box_platform() {
  // Constant-initialised: no guard, no constructor at start-up.
  static constinit BoxPlatform platform;
  return platform;
}

}  // namespace mtdmac
