// SPDX-License-Identifier: MIT
// Everything the update procedure reaches outside its own process: the
// process's descriptors, folder and signals, the partition's lock and its
// flash driver, the working file and its folder, the serial-id entry, the
// commands and sync. Every call returns what happened as a value (0, a
// count, or a negative errno), so that no caller reads errno after a virtual
// call. The box's implementation has every path and command fixed and alone
// decides how files are opened; tests put an in-memory box in its place.
// Virtual calls need neither RTTI, exceptions nor the heap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace mtdmac {

// The names the report uses; the box's implementation reaches these.
inline constexpr const char* kPartitionPath = "/dev/mtd3";
inline constexpr const char* kWorkingFolderPath = "/tmp";
inline constexpr const char* kWorkingFilePath = "/tmp/mac.bin";
inline constexpr const char* kNullPath = "/dev/null";
inline constexpr const char* kRootPath = "/";
inline constexpr const char* kDumpCommand = "dd if=/dev/mtd3 of=/tmp/mac.bin";
inline constexpr const char* kEraseCommand = "flash_eraseall /dev/mtd3";
inline constexpr const char* kWriteBackCommand = "dd of=/dev/mtd3 if=/tmp/mac.bin";

// One of the three commands the tool runs. The write-back can go in whole
// erase blocks (dd's bs=, count=, and seek= and skip= for blocks past the
// first), each at its own offset in the partition and the working file.
struct Command {
  enum Kind { kDump, kErase, kWriteBack };
  Kind kind = kDump;
  std::uint32_t block_size = 0;  // 0: the plain write-back of the whole working file
  std::uint32_t count = 0;
  std::uint32_t first = 0;
};

// The shell command for it, as run and as reported: kDumpCommand,
// kEraseCommand, kWriteBackCommand with its operands. False if it does not
// fit in text.
bool format_command(const Command& command, std::span<char> text);

class Platform {
 public:
  enum class Lock {
    kHeld,         // held until the process ends
    kBusy,         // another process holds it
    kUnavailable,  // the partition cannot be opened or does not support the lock
  };
  // What the working file's folder lets other users do.
  enum class Folder {
    kSafe,          // a directory of root or of this user, sticky or writable by no one else
    kNotDirectory,  // something else, or a link to something else
    kOtherOwner,    // another user's: they may replace any file in it
    kOpenToOthers,  // writable by others and not sticky: they may replace this user's files
  };
  // What stands at the working file's name.
  enum class Standing {
    kNothing,
    kOwnFile,  // a regular file of this user, one link, writable by no one else
    kOther,    // anything else: a link, a FIFO, a directory, another user's file
  };
  // How far a write of the working file got.
  struct Written {
    int error = 0;          // 0, or the negative errno of the step that failed
    std::size_t count = 0;  // bytes that reached the file
    bool opened = false;    // false: the file could not be opened (or made)
  };

  // What the flash driver says of the partition (MEMGETINFO).
  struct Flash {
    std::uint32_t size = 0;
    std::uint32_t erase_size = 0;
    std::uint32_t write_size = 0;  // the smallest write it takes: a NAND page, 1 on NOR
    bool writable = false;
  };

  Platform() = default;
  Platform(const Platform&) = delete;
  Platform(Platform&&) = delete;
  Platform& operator=(const Platform&) = delete;
  Platform& operator=(Platform&&) = delete;

  // Readies the process for the run, whatever its caller left it: any of
  // descriptors 0, 1 and 2 that is closed is opened on /dev/null, so that no
  // file the run opens takes its number and every command has all three;
  // broken pipes are ignored, by the commands too, so that a reader that
  // goes away only makes writes fail; the commands' ends can be waited for.
  // Returns 0, or a negative errno when /dev/null cannot be opened.
  virtual int ready_process() = 0;

  // Makes the root the working folder, so that no command is looked up in
  // the caller's. Returns 0, or a negative errno.
  virtual int leave_working_folder() = 0;

  // One try, without waiting, at an exclusive lock on the partition device,
  // opened read-only; the commands do not inherit it.
  virtual Lock try_lock_partition() = 0;

  // Waits a tenth of a second: the time between two tries at the lock.
  virtual void pause() = 0;

  // Looks at the working file's folder, following a link to it (only root
  // can put one in /). Returns 0 and sets folder, or a negative errno when
  // the folder cannot be looked at.
  virtual int look_at_working_folder(Folder& folder) = 0;

  // Looks at the working file's name without following a link. Returns 0 and
  // sets standing, or a negative errno when the name cannot be looked at.
  virtual int look_at_working_file(Standing& standing) = 0;

  // Removes what stands at the working file's name, never following a link:
  // unlinks it, or removes it as a directory when it is an empty one.
  // Returns 0, or a negative errno (-ENOENT when nothing stood there,
  // -ENOTEMPTY or -EEXIST for a directory that is not empty).
  virtual int remove_working_file() = 0;

  // Makes a new, empty working file in one step: made exclusively under a
  // name of its own in the folder, with mode 0600, and renamed over the
  // working file's name, which replaces whatever stands there without
  // following it, unless it is a directory. Returns 0, or a negative errno
  // (-EISDIR for a directory at the name); nothing new is left on failure.
  virtual int claim_working_file() = 0;

  // Reads the working file from offset into buffer, never through a link.
  // Returns the count read (less than buffer.size() only at its end), or a
  // negative errno.
  virtual long read_working_file(std::uint32_t offset, std::span<std::uint8_t> buffer) = 0;

  // Writes image over the start of the working file, never through a link,
  // making the file when it is missing and keeping whatever it holds past
  // the image; everything written has reached the file when this returns.
  virtual Written write_working_file(std::span<const std::uint8_t> image) = 0;

  // One read of up to text.size() bytes of the serial-id entry. Returns the
  // count read (0 when it holds nothing or the read fails), or a negative
  // errno when the entry cannot be opened.
  virtual int read_serial_id(std::span<char> text) = 0;

  // The flash driver's answers, asked on the partition's descriptor that the
  // lock opened. Each returns 0 (is_bad_block: 1 for a bad block), or a
  // negative errno: -ENOTTY when the partition is no MTD device but a plain
  // file, -EBADF when it could not be opened.
  virtual int read_flash(Flash& flash) = 0;
  virtual int is_bad_block(std::uint32_t offset) = 0;
  // Reads that met an uncorrectable ECC error since boot (ECCGETSTATS): a
  // read that raised it returned bytes that cannot be trusted.
  virtual int count_ecc_failures(std::uint32_t& failures) = 0;

  // Reads the partition from offset into buffer through that descriptor.
  // Returns the count read, or a negative errno.
  virtual long read_partition(std::uint32_t offset, std::span<std::uint8_t> buffer) = 0;

  // Runs the command through the shell, /bin/sh -c, and waits for it.
  // Returns its wait status: 0 when it ended with status 0, anything else is
  // a failure (-1 when it could not be started).
  virtual int run(const Command& command) = 0;

  // Holds (true) or lets go (false) the signals that end or stop a run:
  // SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGTSTP, SIGTTIN and SIGTTOU. While
  // they are held, one that comes to this process waits and acts once they
  // are let go, and the commands started meanwhile ignore them.
  virtual void hold_signals(bool hold) = 0;

  // Flushes the file systems (sync). Cannot fail.
  virtual void flush() = 0;

 protected:
  // Not virtual: nothing is deleted through this interface, and a virtual one
  // would pull operator delete from the C++ runtime into the tool.
  ~Platform() = default;
};

// The box: /dev/mtd3, /tmp/mac.bin, /proc/stb/info/serialid, /dev/null,
// /bin/sh with dd and flash_eraseall, and sync.
Platform& box_platform();

}  // namespace mtdmac
