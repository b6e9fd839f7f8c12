// SPDX-License-Identifier: MIT
// Arbitrary bytes as the serial-id text: the parse and the address
// derivation against a reference built on the C library's strtol, and the
// report of what one read of the serial-id entry gave, with its two lines.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_common.h"
#include "serial_id/serial_id.h"

namespace mtdmac::fuzz {
namespace {

// strtol with a 32-bit long: this host's wider strtol saturates at its own
// limits, and clamping to the 32-bit range gives the same saturation.
std::int32_t reference_value(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const long long wide = std::strtoll(text.c_str(), nullptr, 16);
  return static_cast<std::int32_t>(std::clamp<long long>(wide, INT32_MIN, INT32_MAX));
}

void check_read(const std::uint8_t* data, std::size_t size, Report& report) {
  // One read of the entry takes at most its first 20 bytes.
  const std::size_t read = std::min<std::size_t>(size, kSerialTextMax);
  const MacAddress untouched = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  MacAddress address = untouched;
  report.clear();
  const int status =
      read_serial_mac(static_cast<int>(read), std::span(reinterpret_cast<const char*>(data), read),
                      report.stream(), address);
  const std::string_view text = report.text();
  if (size == 0) {
    check(status == -2, "an empty serial id is a read failure");
    check(text == "reading /proc/stb/info/serialid failed!\n", "read failure line");
    check(address == untouched, "no address without a serial id");
    return;
  }
  // Only the first 20 bytes are read; the text prints as a C string.
  const std::size_t seen = std::min<std::size_t>(size, kSerialTextMax);
  const std::int32_t value = reference_value(data, seen);
  const std::string shown(reinterpret_cast<const char*>(data),
                          std::find(data, data + seen, 0) - data);
  char line[64];
  std::snprintf(line, sizeof line, "serialid = %x, %d\n", static_cast<unsigned>(value),
                static_cast<int>(value));
  check(status == 0, "a readable serial id succeeds");
  check(text == "serialid = " + shown + "\n" + line, "the two serial-id lines");
  check(address == derive_mac(value), "read and derivation agree");
}

}  // namespace
}  // namespace mtdmac::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace mtdmac::fuzz;
  static Report report(256);

  const std::int32_t expected = reference_value(data, size);
  const std::int32_t value =
      mtdmac::parse_serial_value(std::span(reinterpret_cast<const char*>(data), size));
  check(value == expected, "parse equals 32-bit strtol");

  const std::uint32_t bits = static_cast<std::uint32_t>(static_cast<std::int64_t>(expected));
  const mtdmac::MacAddress address = mtdmac::derive_mac(value);
  check(std::equal(address.begin(), address.begin() + 3, mtdmac::kVendorPrefix.begin()),
        "vendor prefix");
  check(address[3] == ((bits / 65536) % 256) && address[4] == ((bits / 256) % 256) &&
            address[5] == bits % 256,
        "low 24 bits of the serial value");

  check_read(data, size, report);
  return 0;
}
