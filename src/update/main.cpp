// SPDX-License-Identifier: MIT
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "update/update.h"

#ifndef MTDMAC_VERSION
#error "MTDMAC_VERSION is defined by the build, from the project's version"
#endif

namespace {

// One literal each, so that `strings` finds the version in the binary.
constexpr char kVersion[] = "mtdmac " MTDMAC_VERSION "\n";
constexpr char kUsage[] =
    "Usage: mtdmac [-h] [-V]\n"
    "Keeps the MAC parameter block at the start of /dev/mtd3 in line with the\n"
    "address derived from the box's serial id, rewriting the partition when the\n"
    "flash holds another address. Every path and command is fixed; words other\n"
    "than the options below are ignored.\n"
    "\n"
    "  -h, --help     print this text and exit\n"
    "  -V, --version  print the version and exit\n"
    "\n"
    "The report, the files and the exit statuses: mtdmac(8).\n";

bool is(const char* arg, const char* short_name, const char* long_name) {
  return std::strcmp(arg, short_name) == 0 || std::strcmp(arg, long_name) == 0;
}

}  // namespace

// Other arguments are ignored, so that callers passing their own words (an
// init system passes `start`) keep working. Asking for help or the version
// must never reach the flash.
int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (is(argv[i], "-h", "--help")) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (is(argv[i], "-V", "--version")) {
      std::fputs(kVersion, stdout);
      return 0;
    }
  }
  static std::array<std::uint8_t, mtdmac::kImageSize> image{};
  return static_cast<int>(mtdmac::run_update(image, mtdmac::box_platform(), {stdout, stderr}));
}
