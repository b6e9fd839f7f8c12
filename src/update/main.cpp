#include <array>
#include <cstdint>

#include "update/update.h"

// Arguments are ignored: every path and command of the tool is fixed.
int main() {
  static std::array<std::uint8_t, mtdmac::kImageSize> image{};
  return mtdmac::run_update(image, mtdmac::box_system());
}
