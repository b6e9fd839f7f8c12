// SPDX-License-Identifier: MIT
// What only the seam can show: the order of every call the procedure makes,
// the flush before each command, the signals held around the erase and the
// write-back, the six-octet compare, the lock's wait and its fallback, and
// faults of the process, the working file and the commands that no box
// produces on demand. Whole reports and partitions are the end-to-end tests'.
#include "update/update.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/capture.h"

namespace mtdmac {
namespace {

using testing::Capture;
using Bytes = std::vector<std::uint8_t>;

const MacAddress kDerived = {0x02, 0xC4, 0x7A, 0x12, 0xAB, 0xCD};  // serial id 0012abcd
const MacAddress kOther = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};

// A partition whose block holds mac in its eight entries, with the sum at
// bytes 140 and 141 as the caller computed it. Past the block it holds a
// pattern that neither zeros nor the template have.
Bytes flash_with(const MacAddress& mac, std::uint8_t sum) {
  Bytes bytes(kImageSize);
  for (std::size_t i = 148; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
  }
  for (std::size_t entry = 12; entry < 76; entry += 8) {
    std::copy(mac.begin(), mac.end(), bytes.begin() + static_cast<std::ptrdiff_t>(entry));
  }
  bytes[140] = bytes[141] = sum;
  return bytes;
}

// Eight entries of 02 C4 7A 12 AB CD 00 00 sum to 0x1650; of 00 11 22 33 44
// 55 00 00 to 0x7F8.
const Bytes kCorrect = flash_with(kDerived, 0x50);
const Bytes kWrong = flash_with(kOther, 0xF8);

// A box in memory that records every call: the partition and the working
// file are byte vectors, the commands act on them as dd and the erase tool
// act on the flash.
class MemoryBox : public ::testing::Test, public Platform {
 protected:
  UpdateStatus run_tool() {
    image_.assign(kImageSize, 0xA5);  // garbage, as a caller's image might hold
    log_.clear();
    const std::size_t before = out_.text().size();
    const std::size_t errors_before = err_.text().size();
    const UpdateStatus status =
        run_update(Image(image_.data(), kImageSize), *this, {out_.stream(), err_.stream()});
    text_ = out_.text().substr(before);
    errors_ = err_.text().substr(errors_before);
    return status;
  }

  // The lines after the block's dump.
  std::string after_dump() const { return text_.substr(text_.find("\n\n") + 2); }

  int ready_process() override {
    log_.emplace_back("ready");
    return ready_error_;
  }

  int leave_working_folder() override {
    log_.emplace_back("root");
    return 0;
  }

  Lock try_lock_partition() override {
    log_.emplace_back("lock");
    if (lock_unsupported_) {
      return Lock::kUnavailable;
    }
    if (lock_busy_for_ > 0) {
      --lock_busy_for_;
      return Lock::kBusy;
    }
    return Lock::kHeld;
  }

  void pause() override { log_.emplace_back("pause"); }

  int look_at_working_folder(Folder& folder) override {
    log_.emplace_back("folder");
    folder = folder_;
    return 0;
  }

  int look_at_working_file(Standing& standing) override {
    log_.emplace_back("look");
    standing = planted_ || directory_ ? Standing::kOther
               : working_             ? Standing::kOwnFile
                                      : Standing::kNothing;
    return 0;
  }

  int remove_working_file() override {
    log_.emplace_back("remove");
    if (directory_ && not_empty_) {
      return -ENOTEMPTY;
    }
    const bool stood = planted_ || directory_ || working_;
    planted_ = directory_ = false;
    working_.reset();
    return stood ? 0 : -ENOENT;
  }

  int claim_working_file() override {
    log_.emplace_back("claim");
    if (directory_) {
      return -EISDIR;
    }
    planted_ = false;
    working_.emplace();
    return 0;
  }

  // Reads are not logged: what they gave shows in the report and the result.
  static long read_from(const std::optional<Bytes>& file, std::uint32_t offset,
                        std::span<std::uint8_t> buffer) {
    if (!file) {
      return -ENOENT;
    }
    const std::size_t count =
        std::min(buffer.size(), file->size() - std::min<std::size_t>(offset, file->size()));
    std::copy_n(file->begin() + offset, count, buffer.begin());
    return static_cast<long>(count);
  }

  long read_working_file(std::uint32_t offset, std::span<std::uint8_t> buffer) override {
    return read_from(working_, offset, buffer);
  }

  long read_partition(std::uint32_t offset, std::span<std::uint8_t> buffer) override {
    return read_from(partition_, offset, buffer);
  }

  // A plain file unless flash_ is set: the driver's requests fail with ENOTTY.
  int read_flash(Flash& flash) override {
    log_.emplace_back("flash");
    if (!flash_) {
      return -ENOTTY;
    }
    flash = *flash_;
    return 0;
  }

  int is_bad_block(std::uint32_t offset) override {
    log_.emplace_back("bad block");
    return offset / flash_->erase_size == bad_block_ ? 1 : 0;
  }

  int count_ecc_failures(std::uint32_t& failures) override {
    log_.emplace_back("ecc");
    failures = ecc_failures_;
    return flash_ ? 0 : -ENOTTY;
  }

  Written write_working_file(std::span<const std::uint8_t> image) override {
    log_.emplace_back("write");
    if (write_fault_) {
      return *write_fault_;
    }
    Bytes& file = working_ ? *working_ : working_.emplace();
    file.resize(std::max(file.size(), image.size()));
    std::copy(image.begin(), image.end(), file.begin());
    return {.error = 0, .count = image.size(), .opened = true};
  }

  int read_serial_id(std::span<char> text) override {
    log_.emplace_back("serial id");
    const std::size_t count = std::min(text.size(), serial_.size());
    std::copy_n(serial_.begin(), count, text.begin());
    return static_cast<int>(count);
  }

  int run(const Command& command) override {
    report_at_command_.push_back(out_.flushed_text());
    char line[128];
    EXPECT_TRUE(format_command(command, line));
    log_.emplace_back(line);
    switch (command.kind) {
      case Command::kDump:
        if (!partition_) {
          return 1 << 8;
        }
        working_ = partition_;
        ecc_failures_ += ecc_errors_in_dump_;
        return 0;
      case Command::kErase:
        std::fill(partition_->begin(), partition_->end(), 0xFF);
        return erase_status_;
      case Command::kWriteBack:
        std::copy_n(working_->begin(), std::min(working_->size(), partition_->size()),
                    partition_->begin());
        (*partition_)[kImageSize - 1] ^= flipped_in_write_back_;
        return write_back_status_;
    }
    return -1;
  }

  void flush() override { log_.emplace_back("sync"); }

  void hold_signals(bool hold) override { log_.emplace_back(hold ? "hold" : "let go"); }

  std::optional<Bytes> partition_ = kWrong;
  std::optional<Flash> flash_;
  std::uint32_t bad_block_ = 0xFFFFFFFF;
  std::uint32_t ecc_failures_ = 0;
  std::optional<Bytes> working_;
  std::string serial_ = "0012abcd\n";
  bool planted_ = false;    // something not the tool's own stands at the working file's name
  bool directory_ = false;  // ... a directory
  bool not_empty_ = false;  // ... that is not empty

  int ready_error_ = 0;
  Folder folder_ = Folder::kSafe;
  int lock_busy_for_ = 0;  // tries at the lock that find another run holding it
  bool lock_unsupported_ = false;
  std::optional<Written> write_fault_;
  int erase_status_ = 0;
  int write_back_status_ = 0;
  std::uint32_t ecc_errors_in_dump_ = 0;
  std::uint8_t flipped_in_write_back_ = 0;  // bits the flash loses although dd succeeds

  Capture out_, err_;
  Bytes image_;
  std::string text_;
  std::string errors_;  // what the last run said on standard error
  std::vector<std::string> log_;
  std::vector<std::string> report_at_command_;
};

const std::string kDump = "dd if=/dev/mtd3 of=/tmp/mac.bin";
const std::string kErase = "flash_eraseall /dev/mtd3";
const std::string kWriteBack = "dd of=/dev/mtd3 if=/tmp/mac.bin";
const std::vector<std::string> kStart = {"ready", "root"};
const std::vector<std::string> kLoad = {"ready", "root", "lock", "folder", "look", "claim",
                                        "ecc",   "sync", kDump,  "sync",   "sync", "sync"};
std::vector<std::string> calls(std::vector<std::string> tail,
                               const std::vector<std::string>& head = kLoad) {
  tail.insert(tail.begin(), head.begin(), head.end());
  return tail;
}
const std::vector<std::string> kNoWrite = calls({"serial id"});
const std::vector<std::string> kFlash = {"write", "sync", "hold", kErase,  kWriteBack,
                                         "sync",  "sync", "sync", "let go"};
const std::vector<std::string> kRewrite = calls(calls(kFlash, {"serial id", "flash"}));

TEST_F(MemoryBox, CorrectBlockIsLeftAloneAndOtherAddressesRewrittenWhole) {
  partition_ = kCorrect;
  EXPECT_EQ(run_tool(), UpdateStatus::kDone);
  EXPECT_EQ(after_dump(),
            "MAC ADDRESS CHECKSUM SUCCESS!(50,50)\n"
            "FLASH MAC - 02:C4:7A:12:AB:CD\n"
            "serialid = 0012abcd\n\n"
            "serialid = 12abcd, 1223629\n"
            "PROC MAC - 02:C4:7A:12:AB:CD\n");
  EXPECT_EQ(log_, kNoWrite);
  EXPECT_EQ(partition_, kCorrect);

  // The working file is now the tool's own: kept, and the dump goes over it.
  partition_ = kWrong;
  (*partition_)[0] = 0x5A;  // header, unused and trailing entry bytes keep their values
  (*partition_)[100] = 0x33;
  (*partition_)[145] = 0x77;
  (*partition_)[27] = 0x99;  // entry 1's last byte
  (*partition_)[140] = (*partition_)[141] = 0x1E;
  EXPECT_EQ(run_tool(), UpdateStatus::kDone);
  EXPECT_EQ(log_, calls(calls(kFlash, {"serial id", "flash"}),
                        {"ready", "root", "lock", "folder", "look", "ecc", "sync", kDump, "sync",
                         "sync", "sync"}));
  Bytes expected = kCorrect;
  expected[0] = 0x5A;
  expected[100] = 0x33;
  expected[145] = 0x77;
  expected[140] = expected[141] = 0xDD;
  EXPECT_EQ(partition_, expected);
  EXPECT_EQ(working_, expected);
}

TEST_F(MemoryBox, AllSixOctetsOfTheReferenceEntryAndNoOtherAreCompared) {
  const std::pair<MacAddress, std::uint8_t> differing[] = {
      {{0x03, 0xC4, 0x7A, 0x12, 0xAB, 0xCD}, 0x58},  // the first octet
      {{0x02, 0xC4, 0x7A, 0x12, 0xAB, 0xCC}, 0x48},  // the last octet
  };
  for (const auto& [mac, sum] : differing) {
    partition_ = flash_with(mac, sum);
    working_.reset();
    EXPECT_EQ(run_tool(), UpdateStatus::kDone);
    EXPECT_NE(text_.find("MAC ADDRESS CHECKSUM SUCCESS!"), std::string::npos);
    EXPECT_EQ(log_, kRewrite);
    EXPECT_EQ(partition_, kCorrect);
  }

  // Another address in every entry but the reference one.
  partition_ = flash_with({0x02, 0xC4, 0x7A, 0x00, 0x00, 0x01}, 0x00);
  std::copy(kDerived.begin(), kDerived.end(), partition_->begin() + 36);
  (*partition_)[140] = (*partition_)[141] = 0x91;
  working_.reset();
  const Bytes before = *partition_;
  EXPECT_EQ(run_tool(), UpdateStatus::kDone);
  EXPECT_NE(text_.find("SUCCESS"), std::string::npos);
  EXPECT_EQ(log_, kNoWrite);
  EXPECT_EQ(partition_, before);
}

TEST_F(MemoryBox, ReportIsFlushedBeforeEveryCommand) {
  run_tool();
  ASSERT_EQ(report_at_command_.size(), 3U);
  EXPECT_EQ(report_at_command_[0], "");
  EXPECT_EQ(report_at_command_[1], text_);  // everything, down to the New MAC Par dump
  EXPECT_EQ(report_at_command_[2], text_);
}

TEST_F(MemoryBox, RunWaitsUpTo60SecondsForAnotherAndGoesOnWhereTheLockIsUnsupported) {
  partition_ = kCorrect;
  std::vector<std::string> waited = kStart;
  for (int i = 0; i < 600; ++i) {
    waited.insert(waited.end(), {"lock", "pause"});
  }

  lock_busy_for_ = 600;  // free at the last try
  EXPECT_EQ(run_tool(), UpdateStatus::kDone);
  EXPECT_EQ(log_, calls(std::vector<std::string>(kNoWrite.begin() + 2, kNoWrite.end()), waited));

  lock_busy_for_ = 601;
  working_.reset();
  EXPECT_EQ(run_tool(), UpdateStatus::kFailed);
  EXPECT_EQ(text_, "locking /dev/mtd3 failed!\n");
  EXPECT_EQ(err_.text(), "mtdmac: /dev/mtd3: another run still holds it after 60 s\n");
  EXPECT_EQ(log_, calls({"lock"}, waited));
  EXPECT_FALSE(working_);

  lock_unsupported_ = true;
  EXPECT_EQ(run_tool(), UpdateStatus::kDone);
  EXPECT_EQ(log_, kNoWrite);
  EXPECT_EQ(partition_, kCorrect);
}

TEST_F(MemoryBox, NoSafeProcessOrWorkingFileEndsTheRunBeforeAnyCommand) {
  // No /dev/null for a closed standard descriptor: nothing is done.
  ready_error_ = -ENOENT;
  EXPECT_EQ(run_tool(), UpdateStatus::kFailed);
  EXPECT_EQ(text_, "");
  EXPECT_EQ(err_.text(), "mtdmac: /dev/null: No such file or directory\n");
  EXPECT_EQ(log_, (std::vector<std::string>{"ready"}));
  ready_error_ = 0;

  // A /tmp where others could replace the file between its making and the dump.
  const std::pair<Folder, std::string> folders[] = {
      {Folder::kNotDirectory, "not a directory"},
      {Folder::kOtherOwner, "another user owns it"},
      {Folder::kOpenToOthers, "others may write to it and it is not sticky"},
  };
  for (const auto& [folder, why] : folders) {
    folder_ = folder;
    EXPECT_EQ(run_tool(), UpdateStatus::kFailed);
    EXPECT_EQ(text_, "making /tmp/mac.bin failed!\n");
    EXPECT_EQ(errors_, "mtdmac: /tmp: " + why + "\n");
    EXPECT_EQ(log_, calls({"lock", "folder"}, kStart));
  }
  folder_ = Folder::kSafe;

  // A directory at the name, which no rename replaces: removed when empty.
  directory_ = not_empty_ = true;
  EXPECT_EQ(run_tool(), UpdateStatus::kFailed);
  EXPECT_EQ(text_, "making /tmp/mac.bin failed!\n");
  EXPECT_EQ(errors_, "mtdmac: /tmp/mac.bin: Directory not empty\n");
  EXPECT_EQ(log_, calls({"lock", "folder", "look", "claim", "remove"}, kStart));
  not_empty_ = false;
  EXPECT_EQ(run_tool(), UpdateStatus::kDone);
  EXPECT_EQ(std::vector<std::string>(log_.begin() + 5, log_.begin() + 8),
            (std::vector<std::string>{"claim", "remove", "claim"}));
  EXPECT_EQ(partition_, kCorrect);
}

TEST_F(MemoryBox, FailedDumpIntoTheFileThisRunMadeIsNoCopyOfThePartition) {
  partition_.reset();
  EXPECT_EQ(run_tool(), UpdateStatus::kFailed);
  EXPECT_EQ(text_, "making /tmp/mac.bin failed!\n");
  EXPECT_EQ(err_.text(),
            "mtdmac: dd if=/dev/mtd3 of=/tmp/mac.bin: ended with status 1\n"
            "mtdmac: /tmp/mac.bin: the dump left nothing in it\n");
  EXPECT_EQ(log_, calls({"remove"}));
  EXPECT_FALSE(working_);
}

TEST_F(MemoryBox, WorkingFileWriteFailuresLeaveThePartitionAlone) {
  const std::pair<Written, std::string> faults[] = {
      {{.error = -EACCES, .count = 0, .opened = false},
       "making /tmp/mac.bin failed!\n"
       "|mtdmac: /tmp/mac.bin: Permission denied\n"},
      {{.error = -ENOSPC, .count = 4096, .opened = true},
       "writing /tmp/mac.bin failed!(65536 > 4096)\n"
       "|mtdmac: /tmp/mac.bin: No space left on device\n"},
      {{.error = -EIO, .count = kImageSize, .opened = true},
       "closing /tmp/mac.bin failed!\n"
       "|mtdmac: /tmp/mac.bin: Input/output error\n"},
  };
  for (const auto& [fault, lines] : faults) {
    working_.reset();
    write_fault_ = fault;
    EXPECT_EQ(run_tool(), UpdateStatus::kNotInFlash);
    const std::string last = lines.substr(0, lines.find('|'));
    EXPECT_EQ(text_.substr(text_.size() - last.size()), last);
    EXPECT_EQ(errors_, lines.substr(lines.find('|') + 1));
    EXPECT_EQ(log_, calls({"serial id", "flash", "write"}));
    EXPECT_EQ(partition_, kWrong);
  }
}

TEST_F(MemoryBox, FailedFlashCommandsAreReportedWithTheirCauseAndTheWriteBackStillRuns) {
  erase_status_ = 1 << 8;
  write_back_status_ = 9;  // killed by SIGKILL
  EXPECT_EQ(run_tool(), UpdateStatus::kNotInFlash);
  const std::string last = "erasing /dev/mtd3 failed!\nwriting /dev/mtd3 failed!\n";
  EXPECT_EQ(text_.substr(text_.size() - last.size()), last);
  EXPECT_EQ(err_.text(),
            "mtdmac: flash_eraseall /dev/mtd3: ended with status 1\n"
            "mtdmac: dd of=/dev/mtd3 if=/tmp/mac.bin: killed by signal 9\n");
  EXPECT_EQ(log_, kRewrite);
  // The erase line is out before the write-back starts.
  EXPECT_EQ(report_at_command_[2].substr(report_at_command_[2].size() - 26),
            "erasing /dev/mtd3 failed!\n");
}

TEST_F(MemoryBox, WriteBackThatDoesNotReadBackIsAFailure) {
  flipped_in_write_back_ = 0x01;
  EXPECT_EQ(run_tool(), UpdateStatus::kNotInFlash);
  EXPECT_TRUE(text_.ends_with("\n\nverifying /dev/mtd3 failed!\n"));
  EXPECT_EQ(err_.text(), "mtdmac: /dev/mtd3: differs from /tmp/mac.bin from byte 65535 on\n");
  EXPECT_EQ(log_, kRewrite);
}

TEST_F(MemoryBox, FailedDumpOutranksAPartitionThatCannotTakeTheWriteBack) {
  flash_ = Flash{.size = 0x10000, .erase_size = 0x4000, .write_size = 2048, .writable = true};
  bad_block_ = 0;
  ecc_errors_in_dump_ = 2;
  for (const Bytes& flash : {kCorrect, kWrong}) {
    partition_ = flash;
    working_.reset();
    EXPECT_EQ(run_tool(), UpdateStatus::kNotInFlash);
    EXPECT_TRUE(text_.ends_with("PROC MAC - 02:C4:7A:12:AB:CD\nreading /dev/mtd3 failed!\n"));
    EXPECT_EQ(errors_, "mtdmac: /dev/mtd3: 2 uncorrectable ECC errors in dumping it\n");
    EXPECT_EQ(log_, calls({"ecc", "serial id"}));
    EXPECT_EQ(partition_, flash);
  }

  ecc_errors_in_dump_ = 0;
  working_.reset();
  EXPECT_EQ(run_tool(), UpdateStatus::kNotInFlash);
  EXPECT_TRUE(text_.ends_with("PROC MAC - 02:C4:7A:12:AB:CD\nchecking /dev/mtd3 failed!\n"));
  EXPECT_EQ(errors_,
            "mtdmac: /dev/mtd3: its first erase block, which holds the MAC block, is bad\n");
  EXPECT_EQ(log_, calls({"ecc", "serial id", "flash", "bad block"}));
  EXPECT_EQ(partition_, kWrong);
}

}  // namespace
}  // namespace mtdmac
