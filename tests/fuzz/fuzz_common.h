// SPDX-License-Identifier: MIT
// Shared by the fuzz targets: a report stream over a fixed buffer, so that
// every input's output can be read back and compared.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace mtdmac::fuzz {

class Report {
 public:
  explicit Report(std::size_t capacity) : buffer_(static_cast<char*>(std::malloc(capacity))) {
    stream_ = fmemopen(buffer_, capacity, "w");
    if (stream_ == nullptr) {
      std::abort();
    }
  }
  std::FILE* stream() const { return stream_; }
  void clear() { std::rewind(stream_); }
  std::string_view text() {
    std::fflush(stream_);
    return {buffer_, static_cast<std::size_t>(std::ftell(stream_))};
  }

 private:
  char* buffer_;
  std::FILE* stream_;
};

// Fails the run with the message, so the fuzzer keeps the input as a crash.
inline void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
  }
}

}  // namespace mtdmac::fuzz
