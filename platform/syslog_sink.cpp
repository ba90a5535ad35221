#include "platform/syslog_sink.h"

// The agent's own level names clash with <syslog.h>, so this file uses the
// numeric values of platform/log.h instead of including it.
#include <syslog.h>

namespace {
// openlog keeps the pointer it is given, so the ident must live as long as the
// process.
std::string& Ident() {
  static std::string* ident = new std::string;
  return *ident;
}
}  // namespace

void OpenSyslog(const std::string& ident) {
  Ident() = ident;
  openlog(Ident().c_str(), LOG_PID, LOG_DAEMON);
}

void WriteSyslog(int level, const std::string& text) {
  int priority = LOG_INFO;
  if (level == 0) {
    priority = LOG_ERR;
  } else if (level == 1) {
    priority = LOG_WARNING;
  }
  syslog(priority, "%s", text.c_str());
}
