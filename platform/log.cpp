#include "platform/log.h"

#include <cstdio>
#include <cstdlib>

#include "platform/settings.h"
#include "platform/text.h"

// Foreground behaviour: console lines filtered by the configured level; an error
// ends the process with exit code 1.
void LogMessage(const std::string& text, int level) {
  const int configured = GetSettings().log_level;
  switch (level) {
    case LOG_ERROR:
      std::printf(_("ERROR: %s\n"), text.c_str());
      std::fflush(stdout);
      std::exit(1);
    case LOG_WARNING:
      if (configured >= 1) std::printf(_("WARNING: %s\n"), text.c_str());
      break;
    case LOG_DEBUG1:
      if (configured >= 2) std::printf(_("DEBUG: %s\n"), text.c_str());
      break;
    case LOG_DEBUG2:
      if (configured >= 3) std::printf(_("DEBUG: %s\n"), text.c_str());
      break;
    default:
      break;
  }
  std::fflush(stdout);
}
