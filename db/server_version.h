// Version of the central database server, read once per central connection.
#pragma once

#include <cstdint>
#include <string>

struct ServerVersion {
  int32_t major = 0;
  int32_t minor = 0;
  int32_t patch = 0;
  bool isKelvora = false;  // the version text begins with KELVORA
};

// Reads a version() text: the first word skipped, then up to three dot-separated
// numbers (missing ones 0); isKelvora when the text begins with KELVORA in any case.
// Pure; safe on any thread.
ServerVersion ParseServerVersionText(const std::string& text);
