// Version of the central database server, read once per central connection.
#pragma once

#include <cstdint>

struct ServerVersion {
  int32_t major = 0;
  int32_t minor = 0;
  int32_t patch = 0;
  bool isKelvora = false;  // the version text begins with KELVORA
};
