// SPDX-License-Identifier: MIT
#include "update/report.h"

#include <sys/wait.h>

#include <cstring>

namespace mtdmac {

void explain(const Report& report, const char* what, const char* why) {
  std::fflush(report.out);
  std::fprintf(report.err, "mtdmac: %s: %s\n", what, why);
}

void explain_error(const Report& report, const char* what, int error) {
  explain(report, what, std::strerror(-error));
}

bool run_command(Platform& platform, const Command& command, const Report& report) {
  std::fflush(report.out);
  const int status = platform.run(command);
  if (status == 0) {
    return true;
  }
  char line[128];
  if (!format_command(command, line)) {
    line[0] = '\0';
  }
  char why[48];
  if (status == -1) {
    std::snprintf(why, sizeof why, "could not be started");
  } else if (WIFSIGNALED(status)) {
    std::snprintf(why, sizeof why, "killed by signal %d", WTERMSIG(status));
  } else {
    std::snprintf(why, sizeof why, "ended with status %d", WEXITSTATUS(status));
  }
  explain(report, line, why);
  return false;
}

}  // namespace mtdmac
