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
    "Usage: mtdmac [-hnV] [--dry-run] [--help] [--version]\n"
    "Keeps the MAC parameter block at the start of /dev/mtd3 in line with the\n"
    "address derived from the box's serial id, rewriting the partition when the\n"
    "flash holds another address. Every path and command is fixed; words that\n"
    "do not begin with '-', and every word after '--', are ignored.\n"
    "\n"
    "  -n, --dry-run  report as a run does up to the derived address, and whether\n"
    "                 the flash could take a rewrite; change nothing\n"
    "  -h, --help     print this text and exit\n"
    "  -V, --version  print the version and exit\n"
    "\n"
    "The report, the files and the exit statuses: mtdmac(8).\n";
constexpr char kShortUsage[] = "Usage: mtdmac [-hnV] [--dry-run] [--help] [--version]\n";

// What the command line asks for: the first of help and version wins over
// everything else; an option the tool does not know stops it before anything.
struct Options {
  const char* print = nullptr;
  mtdmac::Mode mode = mtdmac::Mode::kRepair;
  const char* unknown = nullptr;
};

void take(Options& options, char name) {
  switch (name) {
    case 'h':
      options.print = options.print != nullptr ? options.print : kUsage;
      break;
    case 'V':
      options.print = options.print != nullptr ? options.print : kVersion;
      break;
    case 'n':
      options.mode = mtdmac::Mode::kDryRun;
      break;
    default:
      options.unknown = "";
  }
}

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc && options.unknown == nullptr; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--") == 0) {
      break;
    }
    if (arg[0] != '-' || arg[1] == '\0') {
      continue;  // a word: an init system passes `start`
    }
    if (arg[1] == '-') {
      const char* name = arg + 2;
      const char letter = std::strcmp(name, "help") == 0      ? 'h'
                          : std::strcmp(name, "version") == 0 ? 'V'
                          : std::strcmp(name, "dry-run") == 0 ? 'n'
                                                              : '?';
      take(options, letter);
    } else {
      for (const char* letter = arg + 1; *letter != '\0'; ++letter) {
        take(options, *letter);
      }
    }
    if (options.unknown != nullptr) {
      options.unknown = arg;
    }
  }
  return options;
}

}  // namespace

// Asking for help or the version, and an option the tool does not know, must
// never reach the flash.
int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  if (options.unknown != nullptr) {
    std::fprintf(stderr, "mtdmac: unknown option '%s'\n%s", options.unknown, kShortUsage);
    return 2;
  }
  if (options.print != nullptr) {
    std::fputs(options.print, stdout);
    return 0;
  }
  static std::array<std::uint8_t, mtdmac::kImageSize> image{};
  return static_cast<int>(
      mtdmac::run_update(image, mtdmac::box_platform(), {stdout, stderr}, options.mode));
}
