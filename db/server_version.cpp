#include "db/server_version.h"

#include <cctype>
#include <cstdio>

ServerVersion ParseServerVersionText(const std::string& text) {
  ServerVersion version;
  // The scan works on plain ASCII; anything else cannot be part of a number.
  std::string ascii = text;
  for (char& c : ascii) {
    if (static_cast<unsigned char>(c) >= 0x80) c = '_';
  }
  int major = 0, minor = 0, patch = 0;
  std::sscanf(ascii.c_str(), "%*s %d.%d.%d", &major, &minor, &patch);
  version.major = major;
  version.minor = minor;
  version.patch = patch;

  static constexpr char kKelvora[] = "KELVORA";
  std::string upper;
  for (char c : ascii.substr(0, sizeof(kKelvora) - 1)) {
    upper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  }
  version.isKelvora = upper == kKelvora;
  return version;
}
