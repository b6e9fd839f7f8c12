// SPDX-License-Identifier: MIT
#include "support/capture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace mtdmac::testing {

Capture::Capture() {
  char name[] = "/tmp/mtdmac-report-XXXXXX";
  const int fd = ::mkstemp(name);
  path_ = name;
  file_ = ::fdopen(fd, "w+");
}

Capture::~Capture() {
  std::fclose(file_);
  ::unlink(path_.c_str());
}

std::string Capture::text() {
  std::fflush(file_);
  return flushed_text();
}

std::string Capture::flushed_text() const {
  std::ifstream in(path_, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TempDir::TempDir() {
  char name[] = "/tmp/mtdmac-test-XXXXXX";
  dir_ = ::mkdtemp(name);
}

TempDir::~TempDir() {
  std::filesystem::remove_all(dir_);
}

std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

bool file_exists(const std::string& path) {
  return std::filesystem::exists(path);
}

}  // namespace mtdmac::testing
