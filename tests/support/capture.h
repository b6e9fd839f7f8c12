// SPDX-License-Identifier: MIT
// A report stream in memory that can be read back, as a whole or as far as
// it has been flushed.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace mtdmac::testing {

class Capture {
 public:
  Capture();
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  std::FILE* stream() const { return file_; }
  // Everything written so far, flushed or not.
  std::string text();
  // Only what has been flushed, as another process would see it.
  std::string flushed_text() const;

 private:
  char* buffer_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* file_;
};

}  // namespace mtdmac::testing
