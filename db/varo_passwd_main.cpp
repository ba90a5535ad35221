// varo-passwd: prints the stored form of a password for the central database
// (agent_server_binding.password, the mail password in varo.config).
//
//   printf '%s' 'secret' | varo-passwd
//
// The whole of standard input is the password, except one line end at its end,
// so `echo secret | varo-passwd` works too. The stored text goes to standard
// output followed by a line end.
#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>

#include "db/stored_password.h"

int main(int argc, char** argv) {
  if (argc > 1) {
    std::fprintf(stderr,
                 "usage: %s < password\n"
                 "Reads a password from standard input and prints its stored form.\n",
                 argv[0]);
    return 2;
  }
  std::string password((std::istreambuf_iterator<char>(std::cin)),
                       std::istreambuf_iterator<char>());
  if (std::cin.bad()) {
    std::fprintf(stderr, "varo-passwd: cannot read standard input\n");
    return 1;
  }
  if (!password.empty() && password.back() == '\n') {
    password.pop_back();
    if (!password.empty() && password.back() == '\r') password.pop_back();
  }
  if (password.find('\0') != std::string::npos) {
    std::fprintf(stderr, "varo-passwd: a password cannot contain a NUL character\n");
    return 1;
  }
  std::string stored = EncryptStoredPassword(password);
  bool ok = false;
  // Only print what the agent will be able to turn back into this password.
  if (stored.empty() || DecryptStoredPassword(stored, &ok) != password || !ok) {
    std::fprintf(stderr, "varo-passwd: the password could not be encrypted (is it valid UTF-8?)\n");
    return 1;
  }
  std::printf("%s\n", stored.c_str());
  return 0;
}
