// SPDX-License-Identifier: MIT
#include "update/update.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "diag/hex_dump.h"
#include "support/capture.h"
#include "support/unused_platform.h"

namespace mtdmac {
namespace {

using testing::Capture;
using testing::read_file;
using testing::TempDir;
using testing::write_file;
using Bytes = std::vector<std::uint8_t>;

const MacAddress kDerived = {0x02, 0xC4, 0x7A, 0x12, 0xAB, 0xCD};

// A box in a temporary folder: the partition is a plain file, the commands
// act on it the way dd and the erase tool act on the flash, and every sync and
// command is logged.
class FakeBox : public ::testing::Test, public Platform {
 protected:
  void SetUp() override {
    working_ = dir_.path("mac.bin");
    partition_ = dir_.path("mtd3");
    write_serial("0012abcd\n");
  }

  void write_serial(const std::string& text) { serial_ = text; }
  void write_partition(const Bytes& bytes) { write_file(partition_, bytes); }
  Bytes partition() const { return read_file(partition_); }
  Bytes working() const { return read_file(working_); }

  // Runs the procedure on an image that holds garbage, as a caller's might.
  UpdateStatus run_tool() {
    image_.assign(kImageSize, 0xA5);
    const UpdateStatus status =
        run_update(Image(image_.data(), kImageSize), *this, report_.stream());
    text_ = report_.text();
    return status;
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

  int look_at_working_file(struct stat& status) override {
    return ::lstat(working_.c_str(), &status);
  }

  int remove_working_file() override {
    std::error_code error;
    if (std::filesystem::remove(working_, error)) {
      return 0;
    }
    errno = error ? error.value() : ENOENT;
    return -1;
  }

  std::FILE* open_working_file(Access access) override {
    if (access == Access::kUpdate && refuse_write_) {
      errno = EACCES;
      return nullptr;
    }
    switch (access) {
      case Access::kRead: {
        std::FILE* file = std::fopen(working_.c_str(), "rb");
        if (remove_after_read_) {
          std::filesystem::remove(working_);  // gone by the time the image is written back
        }
        return file;
      }
      case Access::kUpdate:
        return std::fopen(write_to_full_ ? "/dev/full" : working_.c_str(), "r+b");
      case Access::kCreate:
        if (taken_again_ > 0) {
          --taken_again_;  // another user plants a link right after the removal
          std::filesystem::create_symlink(dir_.path("target"), working_);
        }
        return std::fopen(working_.c_str(), "wbx");
    }
    return nullptr;
  }

  int read_serial_id(std::span<char> text) override { return testing::read_entry(serial_, text); }

  int run(Command command) override {
    report_at_command_.push_back(report_.flushed_text());
    switch (command) {
      case Command::kDump:
        log_.emplace_back("dump");
        if (!std::filesystem::exists(partition_)) {
          return 1;
        }
        std::filesystem::copy_file(partition_, working_,
                                   std::filesystem::copy_options::overwrite_existing);
        return 0;
      case Command::kErase: {
        log_.emplace_back("erase");
        if (erase_fails_) {
          return 256;
        }
        Bytes flash = partition();
        std::fill(flash.begin(), flash.end(), 0xFF);
        write_partition(flash);
        return 0;
      }
      case Command::kWriteBack: {
        log_.emplace_back("write back");
        Bytes flash = partition();
        const Bytes data = working();
        std::copy_n(data.begin(), std::min(data.size(), flash.size()), flash.begin());
        write_partition(flash);
        return write_back_fails_ ? 256 : 0;
      }
    }
    return 127;
  }

  void flush() override { log_.emplace_back("sync"); }

  TempDir dir_;
  std::string working_, partition_;
  std::optional<std::string> serial_;
  Capture report_;
  Bytes image_;
  std::string text_;
  std::vector<std::string> log_;
  std::vector<std::string> report_at_command_;
  int lock_busy_for_ = 0;  // tries at the lock that find another run holding it
  bool lock_unsupported_ = false;
  int taken_again_ = 0;             // creations of the working file that find a link
  bool refuse_write_ = false;       // the working file cannot be opened for the write-back
  bool write_to_full_ = false;      // the write-back goes to a full disk
  bool remove_after_read_ = false;  // the working file is gone after it was read
  bool erase_fails_ = false;
  bool write_back_fails_ = false;
};

// A block with a good checksum whose entries all hold mac. Past the block the
// image holds a pattern that neither zeros nor the template have.
Bytes good_block(const MacAddress& mac, std::size_t size = kImageSize) {
  Bytes bytes(std::max(size, kImageSize));
  for (std::size_t i = kBlockSize; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
  }
  Image image(bytes.data(), kImageSize);
  for (std::size_t i = 0; i < kEntryCount; ++i) {
    set_mac_entry(image, i, mac);
  }
  Capture quiet;
  set_checksum(image, quiet.stream());
  bytes.resize(size);
  return bytes;
}

std::string dump_of(const Bytes& bytes, const char* label) {
  Capture report;
  dump_bytes(label, bytes.data(), kBlockSize, report.stream());
  return report.text();
}

const std::vector<std::string> kNoWriteCommands = {"lock", "sync", "dump", "sync", "sync", "sync"};
const std::vector<std::string> kRewriteCommands = {"lock",       "sync", "dump", "sync",
                                                   "sync",       "sync", "sync", "erase",
                                                   "write back", "sync", "sync", "sync"};

TEST_F(FakeBox, CorrectBlockIsLeftAlone) {
  const Bytes flash = good_block(kDerived);
  write_partition(flash);
  EXPECT_EQ(run_tool(), UpdateStatus::kDone);
  // Eight entries of 02 C4 7A 12 AB CD 00 00 sum to 0x1650.
  EXPECT_EQ(text_, dump_of(flash, "MAC Par") +
                       "MAC ADDRESS CHECKSUM SUCCESS!(50,50)\n"
                       "FLASH MAC - 02:C4:7A:12:AB:CD\n"
                       "serialid = 0012abcd\n\n"
                       "serialid = 12abcd, 1223629\n"
                       "PROC MAC - 02:C4:7A:12:AB:CD\n");
  EXPECT_EQ(log_, kNoWriteCommands);
  EXPECT_EQ(partition(), flash);
  EXPECT_EQ(working(), flash);
}

TEST_F(FakeBox, OnlyTheReferenceEntryIsCompared) {
  Bytes flash = good_block({0x02, 0xC4, 0x7A, 0x00, 0x00, 0x01});
  Image image(flash.data(), kImageSize);
  set_mac_entry(image, kReferenceEntry, kDerived);
  Capture quiet;
  set_checksum(image, quiet.stream());
  write_partition(flash);
  EXPECT_EQ(run_tool(), UpdateStatus::kDone);
  EXPECT_EQ(log_, kNoWriteCommands);
  EXPECT_EQ(partition(), flash);
}

TEST_F(FakeBox, AddressDifferingOnlyInTheFirstOrTheLastOctetIsRewritten) {
  const std::pair<MacAddress, std::string> cases[] = {
      {{0x03, 0xC4, 0x7A, 0x12, 0xAB, 0xCD}, "FLASH MAC - 03:C4:7A:12:AB:CD\n"},
      {{0x02, 0xC4, 0x7A, 0x12, 0xAB, 0xCC}, "FLASH MAC - 02:C4:7A:12:AB:CC\n"},
  };
  for (const auto& [flash, flash_line] : cases) {
    write_partition(good_block(flash));
    log_.clear();
    const std::size_t before = report_.text().size();
    EXPECT_EQ(run_tool(), UpdateStatus::kDone);
    EXPECT_NE(text_.find(flash_line + "serialid = 0012abcd\n\n"
                                      "serialid = 12abcd, 1223629\n"
                                      "PROC MAC - 02:C4:7A:12:AB:CD\n"
                                      "set_checksum() = 50\n",
                         before),
              std::string::npos);
    EXPECT_EQ(log_, kRewriteCommands);
    EXPECT_EQ(partition(), good_block(kDerived));
  }
}

TEST_F(FakeBox, OtherAddressIsRewrittenIntoEveryEntryAndFlashed) {
  Bytes flash = good_block({0x00, 0x11, 0x22, 0x33, 0x44, 0x55});
  flash[0] = 0x5A;  // header and unused bytes keep their values
  flash[100] = 0x33;
  flash[145] = 0x77;
  flash[20] = 0x99;  // a non-zero trailing byte of entry 1
  Image image(flash.data(), kImageSize);
  Capture quiet;
  set_checksum(image, quiet.stream());
  write_partition(flash);

  EXPECT_EQ(run_tool(), UpdateStatus::kDone);
  Bytes expected = flash;
  Image expected_image(expected.data(), kImageSize);
  for (std::size_t i = 0; i < kEntryCount; ++i) {
    set_mac_entry(expected_image, i, kDerived);
  }
  Capture sum_line;
  set_checksum(expected_image, sum_line.stream());
  EXPECT_EQ(partition(), expected);
  EXPECT_EQ(working(), expected);
  EXPECT_EQ(log_, kRewriteCommands);

  const std::string tail =
      "FLASH MAC - 00:11:22:33:44:55\n"
      "serialid = 0012abcd\n\n"
      "serialid = 12abcd, 1223629\n"
      "PROC MAC - 02:C4:7A:12:AB:CD\n" +
      sum_line.text() + dump_of(expected, "New MAC Par");
  ASSERT_GE(text_.size(), tail.size());
  EXPECT_EQ(text_.substr(text_.size() - tail.size()), tail);

  // A second run finds the box correct and writes nothing.
  log_.clear();
  EXPECT_EQ(run_tool(), UpdateStatus::kDone);
  EXPECT_EQ(log_, kNoWriteCommands);
}

TEST_F(FakeBox, BadChecksumResetsToTemplateAndRewrites) {
  Bytes flash = good_block(kDerived);
  flash[140] ^= 0x01;
  flash[5000] = 0x12;  // lost by the reset, as the template covers the whole image
  write_partition(flash);
  EXPECT_EQ(run_tool(), UpdateStatus::kDone);
  EXPECT_NE(text_.find("MAC ADDRESS CHECKSUM FAILED!"), std::string::npos);
  EXPECT_NE(text_.find("verify /tmp/mac.bin failed!\nFLASH MAC - FF:FF:FF:FF:FF:FF\n"),
            std::string::npos);

  Bytes expected(kImageSize, 0xFF);
  Image image(expected.data(), kImageSize);
  reset_to_template(image);
  for (std::size_t i = 0; i < kEntryCount; ++i) {
    set_mac_entry(image, i, kDerived);
  }
  Capture quiet;
  set_checksum(image, quiet.stream());
  EXPECT_EQ(partition(), expected);
  EXPECT_EQ(log_, kRewriteCommands);
}

TEST_F(FakeBox, ErasedPartitionIsRepaired) {
  write_partition(Bytes(kImageSize, 0xFF));
  EXPECT_EQ(run_tool(), UpdateStatus::kDone);
  EXPECT_NE(text_.find("MAC ADDRESS CHECKSUM FAILED!(74,ff)\nverify "), std::string::npos);
  Capture quiet;
  const Bytes flash = partition();
  EXPECT_EQ(verify_checksum(ConstImage(flash.data(), kImageSize), quiet.stream()), 0);
  MacAddress mac{};
  get_mac_entry(ConstImage(flash.data(), kImageSize), kReferenceEntry, mac);
  EXPECT_EQ(mac, kDerived);
}

TEST_F(FakeBox, ReportIsFlushedBeforeEveryCommand) {
  write_partition(good_block({0x00, 0x11, 0x22, 0x33, 0x44, 0x55}));
  run_tool();
  ASSERT_EQ(report_at_command_.size(), 3U);
  EXPECT_EQ(report_at_command_[0], "");
  const std::string before_erase = report_at_command_[1];
  EXPECT_EQ(before_erase, text_);  // everything, down to the New MAC Par dump
  EXPECT_EQ(report_at_command_[2], text_);
}

TEST_F(FakeBox, RunWaitsUpTo60SecondsForAnotherAndGoesOnWhereTheLockIsUnsupported) {
  const Bytes flash = good_block(kDerived);
  write_partition(flash);
  std::vector<std::string> waited;
  for (int i = 0; i < 600; ++i) {
    waited.insert(waited.end(), {"lock", "pause"});
  }

  lock_busy_for_ = 600;  // free at the last try
  EXPECT_EQ(run_tool(), UpdateStatus::kDone);
  waited.insert(waited.end(), kNoWriteCommands.begin(), kNoWriteCommands.end());
  EXPECT_EQ(log_, waited);
  EXPECT_NE(text_.find("PROC MAC - 02:C4:7A:12:AB:CD\n"), std::string::npos);

  lock_busy_for_ = 601;
  std::filesystem::remove(working_);
  log_.clear();
  const std::size_t before = report_.text().size();
  EXPECT_EQ(run_tool(), UpdateStatus::kFailed);
  EXPECT_EQ(text_.substr(before), "locking /dev/mtd3 failed!\n");
  waited.resize(2 * 600);
  waited.emplace_back("lock");
  EXPECT_EQ(log_, waited);
  EXPECT_FALSE(testing::file_exists(working_));

  lock_unsupported_ = true;
  log_.clear();
  EXPECT_EQ(run_tool(), UpdateStatus::kDone);
  EXPECT_EQ(log_, kNoWriteCommands);
  EXPECT_EQ(partition(), flash);
}

TEST_F(FakeBox, WorkingFileLoadsAtMost65536Bytes) {
  const Bytes flash = good_block({0x00, 0x11, 0x22, 0x33, 0x44, 0x55}, 2 * kImageSize);
  write_partition(flash);
  EXPECT_EQ(run_tool(), UpdateStatus::kDone);
  // The tail past the image goes back to the partition exactly as it was dumped.
  const Bytes after = partition();
  ASSERT_EQ(after.size(), flash.size());
  EXPECT_TRUE(std::equal(flash.begin() + kImageSize, flash.end(), after.begin() + kImageSize));
  EXPECT_EQ(working(), after);
  MacAddress mac{};
  get_mac_entry(ConstImage(after.data(), kImageSize), kReferenceEntry, mac);
  EXPECT_EQ(mac, kDerived);
}

TEST_F(FakeBox, ShortDumpIsZeroFilledAndWrittenBackWhole) {
  write_partition(Bytes(140, 0x00));  // byte 140 is the image's zero, which matches
  EXPECT_EQ(run_tool(), UpdateStatus::kDone);
  EXPECT_NE(text_.find("MAC ADDRESS CHECKSUM SUCCESS!(0,0)\nFLASH MAC - 00:00:00:00:00:00\n"),
            std::string::npos);
  const Bytes written = working();
  ASSERT_EQ(written.size(), kImageSize);
  EXPECT_TRUE(std::all_of(written.begin() + 148, written.end(), [](auto b) { return b == 0; }));
  EXPECT_EQ(log_, kRewriteCommands);
}

TEST_F(FakeBox, ReadFailuresEndWithTheirStatusBeforeAnythingIsShown) {
  EXPECT_EQ(run_tool(), UpdateStatus::kFailed);  // no partition, no working file
  EXPECT_EQ(text_, "making /tmp/mac.bin failed!\n");
  EXPECT_EQ(log_, kNoWriteCommands);
  EXPECT_FALSE(testing::file_exists(working_));  // the empty file this run made

  for (std::size_t size : {std::size_t{0}, std::size_t{139}}) {
    write_partition(Bytes(size, 0x00));
    log_.clear();
    const std::string before = report_.text();
    EXPECT_EQ(run_tool(), UpdateStatus::kShortRead);
    EXPECT_EQ(text_.substr(before.size()),
              "reading /tmp/mac.bin failed!(140 > " + std::to_string(size) + ")\n");
    EXPECT_EQ(log_, kNoWriteCommands);
  }
}

TEST_F(FakeBox, SerialIdFailureEndsTheRunWithoutTouchingThePartition) {
  const Bytes flash = good_block({0x00, 0x11, 0x22, 0x33, 0x44, 0x55});
  write_partition(flash);
  serial_.reset();
  EXPECT_EQ(run_tool(), UpdateStatus::kDone);
  const std::string last =
      "FLASH MAC - 00:11:22:33:44:55\nmaking /proc/stb/info/serialid failed!\n";
  EXPECT_EQ(text_.substr(text_.size() - last.size()), last);
  EXPECT_EQ(log_, kNoWriteCommands);

  write_serial("");
  log_.clear();
  const std::size_t before = text_.size();
  EXPECT_EQ(run_tool(), UpdateStatus::kDone);
  const std::string empty =
      "FLASH MAC - 00:11:22:33:44:55\nreading /proc/stb/info/serialid failed!\n";
  EXPECT_EQ(text_.substr(text_.size() - empty.size()), empty);
  EXPECT_GT(text_.size(), before);
  EXPECT_EQ(log_, kNoWriteCommands);
  EXPECT_EQ(partition(), flash);
}

TEST_F(FakeBox, WorkingFileFailuresLeaveThePartitionAlone) {
  const Bytes flash = good_block({0x00, 0x11, 0x22, 0x33, 0x44, 0x55});
  const std::string prefix = "PROC MAC - 02:C4:7A:12:AB:CD\nset_checksum() = ";
  struct Case {
    bool* fault;
    std::string last_line;
  };
  const Case cases[] = {
      {&refuse_write_, "making /tmp/mac.bin failed!\n"},
      {&write_to_full_, "writing /tmp/mac.bin failed!(65536 > 0)\n"},
  };
  for (const auto& c : cases) {
    write_partition(flash);
    log_.clear();
    *c.fault = true;
    EXPECT_EQ(run_tool(), UpdateStatus::kDone);
    *c.fault = false;
    EXPECT_EQ(text_.substr(text_.size() - c.last_line.size()), c.last_line);
    EXPECT_NE(text_.find(prefix), std::string::npos);
    EXPECT_EQ(log_, kNoWriteCommands);
    EXPECT_EQ(partition(), flash);
    EXPECT_EQ(working(), flash);
  }
}

TEST_F(FakeBox, WorkingFileIsCreatedWhenMissingBeforeTheWrite) {
  write_partition(good_block({0x00, 0x11, 0x22, 0x33, 0x44, 0x55}));
  remove_after_read_ = true;
  EXPECT_EQ(run_tool(), UpdateStatus::kDone);
  EXPECT_EQ(working().size(), kImageSize);
  EXPECT_EQ(log_, kRewriteCommands);
}

TEST_F(FakeBox, WorkingFileNameTakenAgainBeforeTheCreationIsTriedFiveTimes) {
  const Bytes target = {'k', 'e', 'e', 'p'};
  write_file(dir_.path("target"), target);
  write_partition(good_block({0x00, 0x11, 0x22, 0x33, 0x44, 0x55}));
  taken_again_ = 4;
  EXPECT_EQ(run_tool(), UpdateStatus::kDone);
  EXPECT_EQ(log_, kRewriteCommands);
  EXPECT_EQ(working(), partition());

  std::filesystem::remove(working_);
  taken_again_ = 5;
  log_.clear();
  const std::size_t before = report_.text().size();
  EXPECT_EQ(run_tool(), UpdateStatus::kFailed);
  EXPECT_EQ(text_.substr(before), "making /tmp/mac.bin failed!\n");
  EXPECT_EQ(log_, std::vector<std::string>{"lock"});
  EXPECT_EQ(read_file(dir_.path("target")), target);
}

TEST_F(FakeBox, FailedFlashCommandsAreReportedButTheStatusStaysZero) {
  write_partition(good_block({0x00, 0x11, 0x22, 0x33, 0x44, 0x55}));
  erase_fails_ = true;
  write_back_fails_ = true;
  EXPECT_EQ(run_tool(), UpdateStatus::kDone);
  const std::string last = "erasing /dev/mtd3 failed!\nwriting /dev/mtd3 failed!\n";
  EXPECT_EQ(text_.substr(text_.size() - last.size()), last);
  EXPECT_EQ(log_, kRewriteCommands);  // the write-back is still tried after a failed erase
  // The erase line is out before the write-back starts.
  EXPECT_EQ(report_at_command_[2].substr(report_at_command_[2].size() - 26),
            "erasing /dev/mtd3 failed!\n");
}

}  // namespace
}  // namespace mtdmac
