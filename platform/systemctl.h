// Runs the host's service manager command `systemctl` (found on PATH) with an
// argument vector, never through a shell, and collects what it printed.
#pragma once

#include <string>
#include <vector>

struct SystemctlResult {
  bool ran = false;    // false: systemctl could not be found or started
  int exitCode = -1;   // its exit code when it exited normally, else -1
  std::string output;  // standard output and standard error together
};

// `args` follow "systemctl"; callers put "--" before any unit name so that a
// name cannot be taken for an option.
SystemctlResult RunSystemctl(const std::vector<std::string>& args);

// The path of `name` on PATH (an executable regular file), or empty.
std::string FindOnPath(const std::string& name);
