#include "agent/usage.h"

#include <cstdio>

#include "agent/program_info.h"
#include "platform/text.h"

void PrintUsage(const std::string& programPath) {
  const std::string name = ProgramName(programPath);
  std::printf("%s", _("Usage:\n"));
  std::printf("%s%s", name.c_str(), _(" REMOVE <serviceName>\n"));
  std::printf("%s%s", name.c_str(), _(" INSTALL <serviceName> [options]\n"));
  std::printf("%s%s", name.c_str(), _(" DEBUG [options]\n"));
  std::printf("%s", _("options:\n"));
  std::printf("%s", _("-c <configuration file>\n"));
  std::printf("%s", _("-o <option name>=<option value>\n"));
  std::printf("%s", _("-u <user or DOMAIN\\user>\n"));
  std::printf("%s", _("-p <password>\n"));
  std::printf("%s", _("-d <displayname>\n"));
  std::printf("%s", _("-t <poll time interval in seconds (default 10)>\n"));
  std::printf("%s", _("-r <retry period after connection abort in seconds (>=10, default 30)>\n"));
  std::printf("%s", _("-l <logging verbosity (ERROR, WARNING, DEBUG1, DEBUG2, default ERROR)>\n"));
  std::fflush(stdout);
}
