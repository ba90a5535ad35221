// Runs a program to completion for tests, capturing its standard output and
// standard error together. Safe to call from any test thread.
#pragma once

#include <string>
#include <vector>

struct ProcessResult {
  int exitCode = -1;  // exit status, or 128 + signal number when it was killed
  std::string output;
};

// Runs argv[0] (looked up on PATH) with `argv`; `env` entries NAME=value are
// added to (or replace) the test's own environment. Standard input is /dev/null.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env = {});

// Quotes `text` for /bin/sh.
std::string ShellQuote(const std::string& text);
