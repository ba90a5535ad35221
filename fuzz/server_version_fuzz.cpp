// Feeds arbitrary text to the reader of the server's version() text. The
// KELVORA mark depends only on the first seven characters, and a text that
// starts with a word and a version whose numbers are small reads back as that
// version whatever follows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "db/server_version.h"

namespace {
void Check(bool condition) {
  if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const ServerVersion version = ParseServerVersionText(text);
  std::string head;
  for (size_t i = 0; i < text.size() && i < 7; ++i) {
    const char c = text[i];
    head += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  Check(version.isKelvora == (head == "KELVORA"));

  if (size >= 3) {
    const int major = data[0], minor = data[1], patch = data[2];
    const std::string built = "PostgreSQL " + std::to_string(major) + "." + std::to_string(minor) +
                              "." + std::to_string(patch) + " " + text.substr(3);
    const ServerVersion v = ParseServerVersionText(built);
    Check(v.major == major && v.minor == minor && v.patch == patch && !v.isKelvora);
  }
  return 0;
}
