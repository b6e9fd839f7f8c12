// SPDX-License-Identifier: MIT
// Arbitrary bytes as the loaded partition image: the image check (dump,
// verify, reset, reference entry) and, on a copy, the rewrite of the block
// through the real store procedure with a working file in memory. The block's
// layout and sum come from the tool's own block model; the checks are about
// what the procedure does with them.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "diag/hex_dump.h"
#include "fuzz/fuzz_common.h"
#include "mac_block/mac_block.h"
#include "support/unused_platform.h"
#include "update/update.h"

namespace mtdmac::fuzz {
namespace {

using Buffer = std::array<std::uint8_t, kImageSize>;

Buffer g_loaded;
Buffer g_image;
Buffer g_copy;
Buffer g_working;

// Row-by-row dump written without the tool's code, to compare against.
std::string_view reference_dump(const char* label, const std::uint8_t* data, std::size_t length) {
  static char text[1 << 20];
  const std::size_t count = length & 0xFFFF;
  std::size_t at = 0;
  if (count == 0) {
    return {};
  }
  at += std::snprintf(text + at, sizeof text - at, "[ %s [%zx]]\n", label, count);
  for (std::size_t row = 0; row < count; row += 16) {
    const std::size_t n = std::min<std::size_t>(16, count - row);
    for (std::size_t i = 0; i < 16; ++i) {
      const bool present = i < n;
      text[at++] = present ? "0123456789abcdef"[data[row + i] / 16] : ' ';
      text[at++] = present ? "0123456789abcdef"[data[row + i] % 16] : ' ';
      text[at++] = ' ';
    }
    text[at++] = ' ';
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint8_t c = data[row + i];
      text[at++] = (c < 0x20 || c > 0x7E) ? '.' : static_cast<char>(c);
    }
    text[at++] = '\n';
    if (n < 16) {
      text[at++] = '\n';
    }
  }
  return {text, at};
}

// The store reaches only the working file (a whole write), the two flash
// commands and the read-back with the signals held around them, and sync.
class MemoryBox : public testing::UnusedPlatform {
 public:
  int commands = 0;

  Written write_working_file(std::span<const std::uint8_t> image) override {
    check(image.size() == g_working.size(), "the whole image goes to the working file");
    std::copy(image.begin(), image.end(), g_working.begin());
    return {.error = 0, .count = image.size(), .opened = true};
  }
  int run(const Command& command) override {
    check(commands == 0 ? command.kind == Command::kErase
                        : commands == 1 && command.kind == Command::kWriteBack,
          "erase then write back, once each");
    check(held, "the flash commands run with the signals held");
    ++commands;
    return 0;
  }
  // The partition is a plain file that holds what was written.
  long read_working_file(std::uint32_t offset, std::span<std::uint8_t> buffer) override {
    const std::size_t count = std::min<std::size_t>(buffer.size(), g_working.size() - offset);
    std::copy_n(g_working.begin() + offset, count, buffer.begin());
    return static_cast<long>(count);
  }
  long read_partition(std::uint32_t offset, std::span<std::uint8_t> buffer) override {
    check(held, "the read-back runs with the signals held");
    return read_working_file(offset, buffer);
  }
  void flush() override {}
  void hold_signals(bool hold) override { held = hold; }
  bool held = false;
};

void check_image(Report& report) {
  report.clear();
  dump_bytes("MAC Par", g_image.data(), kBlockSize, report.stream());
  check(report.text() == reference_dump("MAC Par", g_image.data(), kBlockSize), "block dump");

  const unsigned sum = compute_checksum(g_image);
  const bool good = sum == g_image[kChecksumOffset];
  report.clear();
  const int verified = verify_checksum(g_image, report.stream());
  char line[64];
  std::snprintf(line, sizeof line, "MAC ADDRESS CHECKSUM %s!(%x,%x)\n", good ? "SUCCESS" : "FAILED",
                sum, static_cast<unsigned>(g_image[kChecksumOffset]));
  check(report.text() == line, "verify line");
  check(verified == (good ? 0 : -1), "verify result");
  check(g_image == g_loaded, "verify leaves the image alone");

  if (!good) {
    reset_to_template(g_image);
    check(std::equal(kTemplateHeader.begin(), kTemplateHeader.end(), g_image.begin()),
          "template header");
    check(std::all_of(g_image.begin() + kEntriesOffset, g_image.end(),
                      [](std::uint8_t b) { return b == 0xFF; }),
          "template body is erased flash");
  }
  MacAddress flash{};
  get_mac_entry(g_image, kReferenceEntry, flash);
  check(std::equal(flash.begin(), flash.end(),
                   g_image.begin() + kEntriesOffset + kEntrySize * kReferenceEntry),
        "reference entry");
}

void check_rewrite(const MacAddress& address, Report& report) {
  g_copy = g_image;
  g_working.fill(0xA5);
  MemoryBox box;
  report.clear();
  const Partition plain_file;
  check(store_mac_block(g_copy, address, plain_file, box, {report.stream(), stderr}),
        "the store succeeds");

  check(box.commands == 2, "a rewrite erases and writes back");
  check(!box.held, "the signals are let go after the read-back");
  check(g_working == g_copy, "the working file holds the whole new image");
  for (std::size_t i = 0; i < kEntryCount; ++i) {
    const auto* entry = g_copy.data() + kEntriesOffset + kEntrySize * i;
    check(std::equal(address.begin(), address.end(), entry) && entry[6] == 0 && entry[7] == 0,
          "every entry holds the address");
  }
  check(std::equal(g_copy.begin(), g_copy.begin() + kEntriesOffset, g_image.begin()),
        "header untouched");
  constexpr std::size_t kEntriesEnd = kEntriesOffset + kEntrySize * kEntryCount;
  check(std::equal(g_copy.begin() + kEntriesEnd, g_copy.begin() + kChecksumOffset,
                   g_image.begin() + kEntriesEnd),
        "bytes after the entries untouched");
  check(std::equal(g_copy.begin() + kChecksumCopyOffset + 1, g_copy.end(),
                   g_image.begin() + kChecksumCopyOffset + 1),
        "everything past the checksum copy untouched");
  const unsigned sum = compute_checksum(g_copy);
  check(g_copy[kChecksumOffset] == sum && g_copy[kChecksumCopyOffset] == sum, "both sums stored");

  char line[32];
  const int n = std::snprintf(line, sizeof line, "set_checksum() = %02x\n", sum);
  const std::string_view text = report.text();
  check(text.substr(0, n) == line, "set_checksum line");
  check(text.substr(n) == reference_dump("New MAC Par", g_copy.data(), kBlockSize),
        "new block dump is all the store prints");

  static Report quiet(128);
  quiet.clear();
  check(verify_checksum(g_copy, quiet.stream()) == 0, "the rewritten block verifies");
  MacAddress reread{};
  get_mac_entry(g_copy, kReferenceEntry, reread);
  check(reread == address, "the reference entry holds the address");
}

}  // namespace
}  // namespace mtdmac::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace mtdmac::fuzz;
  static Report report(1 << 20);

  // Bytes past what the file held stay zero, as in a fresh image.
  const std::size_t loaded = std::min(size, mtdmac::kImageSize);
  g_loaded.fill(0);
  std::copy_n(data, loaded, g_loaded.begin());
  g_image = g_loaded;

  // The dump of an arbitrary range: only the low 16 bits of the length count.
  report.clear();
  mtdmac::dump_bytes("input", data, size, report.stream());
  check(report.text() == reference_dump("input", data, size), "dump of any length");

  check_image(report);

  // The address to write: the input's last six bytes, or the flash address.
  mtdmac::MacAddress address{};
  if (size >= address.size()) {
    std::copy_n(data + size - address.size(), address.size(), address.begin());
  } else {
    mtdmac::get_mac_entry(g_image, mtdmac::kReferenceEntry, address);
  }
  check_rewrite(address, report);
  return 0;
}
