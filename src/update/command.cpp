// SPDX-License-Identifier: MIT
#include <cstdio>

#include "update/platform.h"

namespace mtdmac {

bool format_command(const Command& command, std::span<char> text) {
  int length = 0;
  switch (command.kind) {
    case Command::kDump:
      length = std::snprintf(text.data(), text.size(), "%s", kDumpCommand);
      break;
    case Command::kErase:
      length = std::snprintf(text.data(), text.size(), "%s", kEraseCommand);
      break;
    case Command::kWriteBack:
      if (command.block_size == 0) {
        length = std::snprintf(text.data(), text.size(), "%s", kWriteBackCommand);
      } else if (command.first == 0) {
        length = std::snprintf(text.data(), text.size(), "%s bs=%lu count=%lu", kWriteBackCommand,
                               static_cast<unsigned long>(command.block_size),
                               static_cast<unsigned long>(command.count));
      } else {
        length = std::snprintf(text.data(), text.size(), "%s bs=%lu count=%lu seek=%lu skip=%lu",
                               kWriteBackCommand, static_cast<unsigned long>(command.block_size),
                               static_cast<unsigned long>(command.count),
                               static_cast<unsigned long>(command.first),
                               static_cast<unsigned long>(command.first));
      }
      break;
  }
  return length >= 0 && static_cast<std::size_t>(length) < text.size();
}

}  // namespace mtdmac
