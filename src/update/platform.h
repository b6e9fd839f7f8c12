// SPDX-License-Identifier: MIT
// Everything the update procedure reaches outside its own process: the
// partition's lock, the working file, the serial-id entry, the commands and
// sync. The box's implementation has every path and command fixed; tests put
// their own in its place. Virtual calls need neither RTTI, exceptions nor the
// heap.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <span>

namespace mtdmac {

// The names the report uses; the box's implementation reaches these.
inline constexpr const char* kPartitionPath = "/dev/mtd3";
inline constexpr const char* kWorkingFilePath = "/tmp/mac.bin";

class Platform {
 public:
  enum class Command {
    kDump,       // dd if=/dev/mtd3 of=/tmp/mac.bin
    kErase,      // flash_eraseall /dev/mtd3
    kWriteBack,  // dd of=/dev/mtd3 if=/tmp/mac.bin
  };
  enum class Lock {
    kHeld,         // held until the process ends
    kBusy,         // another process holds it
    kUnavailable,  // the partition cannot be opened or does not support the lock
  };
  enum class Access {
    kRead,    // an existing file, for reading
    kUpdate,  // an existing file, for reading and writing, not truncated
    kCreate,  // a new file, made exclusively with mode 0600, for reading and writing
  };

  Platform() = default;
  Platform(const Platform&) = delete;
  Platform(Platform&&) = delete;
  Platform& operator=(const Platform&) = delete;
  Platform& operator=(Platform&&) = delete;

  // One try, without waiting, at an exclusive lock on the partition device,
  // opened read-only; the commands do not inherit it.
  virtual Lock try_lock_partition() = 0;

  // Waits a tenth of a second: the time between two tries at the lock.
  virtual void pause() = 0;

  // What stands at the working file's name, never following a link (lstat).
  // Returns 0 and fills status, or -1 with errno (ENOENT when nothing does).
  virtual int look_at_working_file(struct stat& status) = 0;

  // Removes what stands at the working file's name, never following a link:
  // unlinks it, or removes it as a directory when it is an empty one.
  // Returns 0, or -1 with errno (ENOENT when nothing stood there; ENOTEMPTY
  // or EEXIST for a directory that is not empty).
  virtual int remove_working_file() = 0;

  // Opens the working file, refusing to follow a link. Returns the stream,
  // or nullptr with errno (ENOENT when kRead or kUpdate finds nothing,
  // EEXIST when kCreate finds the name taken, ELOOP for a link).
  virtual std::FILE* open_working_file(Access access) = 0;

  // One read of up to text.size() bytes of the serial-id entry. Returns the
  // count read (0 when it holds nothing or the read fails), or -1 when the
  // entry cannot be opened.
  virtual int read_serial_id(std::span<char> text) = 0;

  // Runs the command through the shell and waits for it. Returns 0 when it
  // ended with status 0; anything else is a failure.
  virtual int run(Command command) = 0;

  // Flushes the file systems (sync). Cannot fail.
  virtual void flush() = 0;

 protected:
  // Not virtual: nothing is deleted through this interface, and a virtual one
  // would pull operator delete from the C++ runtime into the tool.
  ~Platform() = default;
};

// The box: /dev/mtd3, /tmp/mac.bin, /proc/stb/info/serialid, dd,
// flash_eraseall and sync.
Platform& box_platform();

}  // namespace mtdmac
