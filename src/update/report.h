// SPDX-License-Identifier: MIT
// Where a run reports, and the helpers every step of it shares.
#pragma once

#include <cstdio>

#include "update/platform.h"

namespace mtdmac {

// out takes the tool's fixed lines, err the causes of its own failures (a
// path and the system's error text, a command and how it ended).
struct Report {
  std::FILE* out;
  std::FILE* err;
};

// One line of cause on err, after flushing out, so that a log shared by both
// streams keeps the order.
void explain(const Report& report, const char* what, const char* why);
// The same with the system's text for a negative errno.
void explain_error(const Report& report, const char* what, int error);

// Runs the command after flushing out, so that the report stays ahead of the
// command's own output in a pipe or a log. True when it ended with status 0;
// otherwise err says how it ended.
bool run_command(Platform& platform, const Command& command, const Report& report);

}  // namespace mtdmac
