// SPDX-License-Identifier: MIT
// A platform whose every member ends the test program when called: a fake
// derives from it and overrides only what its code under test may reach.
// Also the serial-id entry that unit fakes keep in memory.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "update/platform.h"

namespace mtdmac::testing {

class UnusedPlatform : public Platform {
 public:
  Lock try_lock_partition() override { unexpected("try_lock_partition"); }
  void pause() override { unexpected("pause"); }
  int look_at_working_file(struct stat& /*status*/) override { unexpected("look_at_working_file"); }
  int remove_working_file() override { unexpected("remove_working_file"); }
  std::FILE* open_working_file(Access /*access*/) override { unexpected("open_working_file"); }
  int read_serial_id(std::span<char> /*text*/) override { unexpected("read_serial_id"); }
  int run(Command /*command*/) override { unexpected("run"); }
  void flush() override { unexpected("flush"); }

 protected:
  [[noreturn]] static void unexpected(const char* member) {
    std::fprintf(stderr, "unexpected call of Platform::%s\n", member);
    std::abort();
  }
};

// One read of a serial-id entry that holds entry, or that cannot be opened
// when there is none.
inline int read_entry(const std::optional<std::string>& entry, std::span<char> text) {
  if (!entry) {
    return -1;
  }
  const std::size_t count = std::min(text.size(), entry->size());
  std::copy_n(entry->begin(), count, text.begin());
  return static_cast<int>(count);
}

}  // namespace mtdmac::testing
