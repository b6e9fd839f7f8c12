// SPDX-License-Identifier: MIT
// Test helpers: a report stream that can be read back, and a scratch folder.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

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
  // Only what has reached the file, as another process would see it.
  std::string flushed_text() const;

 private:
  std::FILE* file_;
  std::string path_;
};

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

std::vector<std::uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes);
bool file_exists(const std::string& path);

}  // namespace mtdmac::testing
