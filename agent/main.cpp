#include <clocale>

#include "agent/agent_entry.h"

int main(int argc, char** argv) {
  // Messages follow the user's language once catalogues exist; numbers keep the
  // C locale, because they are written into SQL and files.
  std::setlocale(LC_MESSAGES, "");
  return AgentEntry(argc, argv);
}
