// The update procedure: bring the MAC partition into the partition image,
// check it, and rewrite the partition when its address is not the box's own.
#pragma once

#include <cstdio>

#include "mac_block/mac_block.h"

namespace mtdmac {

// Everything the procedure reaches outside the process. The tool fills it
// with the box's fixed paths and commands; tests substitute their own.
struct System {
  const char* working_file;
  const char* serial_id_file;
  const char* dump_command;
  const char* erase_command;
  const char* write_back_command;
  const char* partition;  // named in the erase and write-back failure lines
  std::FILE* (*open)(const char* path, const char* mode);
  int (*run)(const char* command);
  void (*flush)();
  std::FILE* out;
};

// The box's own paths, commands, system() and sync().
System box_system();

// The whole run; returns main's status: 0, or -1 / -2 when the working file
// cannot be opened / holds fewer bytes than the block's checksummed part.
int run_update(Image image, const System& system);

// Writes the derived address into every entry, fixes the checksum and writes
// the image back to the partition. Reports problems only by the lines it
// prints.
void store_mac_block(Image image, const MacAddress& address, const System& system);

}  // namespace mtdmac
