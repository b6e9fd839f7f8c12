// SPDX-License-Identifier: MIT
#include "support/capture.h"

#include <cstdlib>

namespace mtdmac::testing {

// A memory stream updates its buffer and size only when flushed.
Capture::Capture() : file_(::open_memstream(&buffer_, &size_)) {}

Capture::~Capture() {
  std::fclose(file_);
  std::free(buffer_);
}

std::string Capture::text() {
  std::fflush(file_);
  return flushed_text();
}

std::string Capture::flushed_text() const {
  return buffer_ == nullptr ? std::string() : std::string(buffer_, size_);
}

}  // namespace mtdmac::testing
