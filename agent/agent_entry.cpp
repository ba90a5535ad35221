#include "agent/agent_entry.h"

#include <string>
#include <vector>

#include "agent/configuration.h"
#include "agent/program_info.h"
#include "agent/service_host.h"
#include "agent/service_installer.h"
#include "agent/usage.h"
#include "notify/notify_init.h"
#include "platform/log.h"

int AgentEntry(int argc, char** argv) {
  SetProgramPath(ComputeProgramPath(argc > 0 && argv[0] != nullptr ? argv[0] : ""));
  const std::string& programPath = ProgramPath();
  // Before any thread starts: the mail and trap libraries' global state, and
  // SIGPIPE ignored.
  InitNotifyLibraries();
  if (argc < 2) {
    PrintUsage(programPath);
    return 0;
  }
  const std::string verb = argv[1];
  if (verb == "DEBUG") {
    ParseOptions(std::vector<std::string>(argv + 2, argv + argc), programPath);
    if (!StartAgentThread()) EndProcess(1);
    JoinAgentThread();
    EndProcess(0);
  }
  if (verb != "INSTALL" && verb != "REMOVE" && verb != "RUN") {
    PrintUsage(programPath);
    return 0;
  }
  if (argc < 3) {  // the verb needs a service name
    PrintUsage(programPath);
    return 1;
  }
  const std::string serviceName = argv[2];
  const std::vector<std::string> rest(argv + 3, argv + argc);
  if (verb == "INSTALL") {
    InstallService(ParseInstallArguments(serviceName, rest), RunningProgramPath(programPath));
    return 0;
  }
  if (verb == "REMOVE") return RemoveService(serviceName) ? 0 : 1;
  // RUN: the control signals must be blocked before any thread exists.
  BlockControlSignals();
  SetServiceName(serviceName);
  UseServiceLog(serviceName);
  ParseOptions(rest, programPath);
  AgentServiceMain(serviceName);
}
