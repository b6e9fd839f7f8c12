// SPDX-License-Identifier: MIT
// A platform whose every member ends the test program when called: a fake
// derives from it and overrides only what its code under test may reach.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "update/platform.h"

namespace mtdmac::testing {

class UnusedPlatform : public Platform {
 public:
  int ready_process() override { unexpected("ready_process"); }
  int leave_working_folder() override { unexpected("leave_working_folder"); }
  Lock try_lock_partition() override { unexpected("try_lock_partition"); }
  void pause() override { unexpected("pause"); }
  int look_at_working_folder(Folder& /*folder*/) override { unexpected("look_at_working_folder"); }
  int look_at_working_file(Standing& /*standing*/) override { unexpected("look_at_working_file"); }
  int remove_working_file() override { unexpected("remove_working_file"); }
  int claim_working_file() override { unexpected("claim_working_file"); }
  long read_working_file(std::uint32_t /*offset*/, std::span<std::uint8_t> /*buffer*/) override {
    unexpected("read_working_file");
  }
  Written write_working_file(std::span<const std::uint8_t> /*image*/) override {
    unexpected("write_working_file");
  }
  int read_serial_id(std::span<char> /*text*/) override { unexpected("read_serial_id"); }
  int read_flash(Flash& /*flash*/) override { unexpected("read_flash"); }
  int is_bad_block(std::uint32_t /*offset*/) override { unexpected("is_bad_block"); }
  int count_ecc_failures(std::uint32_t& /*failures*/) override { unexpected("count_ecc_failures"); }
  long read_partition(std::uint32_t /*offset*/, std::span<std::uint8_t> /*buffer*/) override {
    unexpected("read_partition");
  }
  int run(const Command& /*command*/) override { unexpected("run"); }
  void flush() override { unexpected("flush"); }
  void hold_signals(bool /*hold*/) override { unexpected("hold_signals"); }

 protected:
  [[noreturn]] static void unexpected(const char* member) {
    std::fprintf(stderr, "unexpected call of Platform::%s\n", member);
    std::abort();
  }
};

}  // namespace mtdmac::testing
