// SPDX-License-Identifier: MIT
// Everything the update procedure reaches outside its own process: the
// working file, the serial-id entry, the commands and sync. The box's
// implementation has every path and command fixed; tests put their own in
// its place. Virtual calls need neither RTTI, exceptions
// nor the heap.
#pragma once

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
  enum class Access {
    kRead,    // an existing file, for reading
    kUpdate,  // an existing file, for reading and writing, not truncated
    kCreate,  // created or truncated, for writing
  };

  Platform() = default;
  Platform(const Platform&) = delete;
  Platform(Platform&&) = delete;
  Platform& operator=(const Platform&) = delete;
  Platform& operator=(Platform&&) = delete;

  // Opens the working file. Returns the stream, or nullptr with errno
  // (ENOENT when kRead or kUpdate finds nothing).
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
