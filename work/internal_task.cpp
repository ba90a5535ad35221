#include "work/internal_task.h"

#include <algorithm>
#include <cctype>

#include "platform/log.h"
#include "platform/service_control.h"
#include "platform/systemctl.h"
#include "platform/text.h"
#include "work/configuration_tasks.h"
#include "work/log_file_collector.h"

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The unit's name as systemctl lists it: a bare name means "<name>.service".
std::string UnitName(const std::string& name) {
  return name.find('.') == std::string::npos ? name + ".service" : name;
}

// Whether systemctl knows the unit: "show -p UnitFileState" names a state for
// every installed unit and an empty one otherwise.
bool UnitExists(const std::string& name, std::string* state) {
  SystemctlResult shown = RunSystemctl({"show", "-p", "UnitFileState", "--", name});
  if (!shown.ran || shown.exitCode != 0) return false;
  std::string value = shown.output;
  const std::string key = "UnitFileState=";
  const size_t at = value.find(key);
  if (at == std::string::npos) return false;
  value = value.substr(at + key.size());
  value = value.substr(0, value.find_first_of("\r\n"));
  if (state != nullptr) *state = value;
  return !value.empty();
}

bool IsActive(const std::string& name) {
  SystemctlResult active = RunSystemctl({"is-active", "--", name});
  return active.ran && active.exitCode == 0;
}

std::vector<std::string> Dependents(const std::string& name) {
  SystemctlResult listed = RunSystemctl({"list-dependencies", "--reverse", "--plain", "--", name});
  if (!listed.ran || listed.exitCode != 0) return {};
  return DependentServiceUnits(listed.output, name);
}

}  // namespace

int32_t ServiceErrorNumber(const std::string& systemctlOutput) {
  const std::string text = Lower(systemctlOutput);
  if (text.find("not found") != std::string::npos || text.find("not loaded") != std::string::npos) {
    return kServiceNotFound;
  }
  if (text.find("access denied") != std::string::npos ||
      text.find("authentication required") != std::string::npos ||
      text.find("permission denied") != std::string::npos) {
    return kServiceAccessDenied;
  }
  return kServiceOtherError;
}

std::vector<std::string> DependentServiceUnits(const std::string& listing,
                                               const std::string& unit) {
  std::vector<std::string> units;
  const std::string self = UnitName(unit);
  size_t start = 0;
  while (start < listing.size()) {
    size_t end = listing.find('\n', start);
    if (end == std::string::npos) end = listing.size();
    std::string line = listing.substr(start, end - start);
    start = end + 1;
    // Leading tree marks and blanks (plain output still indents).
    const size_t first = line.find_first_not_of(" \t\r|`-*\xe2\x94\x80\x82\x9c\x94\xe2\x97\x8f");
    if (first == std::string::npos) continue;
    line = line.substr(first);
    line = line.substr(0, line.find_first_of(" \t\r"));
    const std::string suffix = ".service";
    if (line.size() <= suffix.size() ||
        line.compare(line.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    if (line == self || std::find(units.begin(), units.end(), line) != units.end()) continue;
    units.push_back(line);
  }
  return units;
}

InternalTask::InternalTask(const std::string& code, int32_t restartPauseSeconds)
    : restartPauseSeconds(restartPauseSeconds) {
  const size_t space = code.find(' ');
  taskName = code.substr(0, space);
  if (space != std::string::npos) arguments = code.substr(space + 1);
}

void InternalTask::Fail(int32_t number, std::string text) {
  status = number;
  message = std::move(text);
  failed = true;
}

void InternalTask::Run(DBConnection& central) {
  LogMessage(StrFormat(_("executing InternalTask: %s(%s)"), taskName.c_str(), arguments.c_str()),
             LOG_DEBUG1);
  if (taskName == "server_start") {
    StartService(arguments);
  } else if (taskName == "server_stop") {
    StopService(arguments);
  } else if (taskName == "server_restart") {
    // The stop waits until the service has stopped, so the start follows a
    // finished shutdown; the pause is the one interval the server is left down.
    StopService(arguments);
    const bool stopFailed = failed;
    const int32_t stopStatus = status;
    SleepWithPausePoints(restartPauseSeconds);
    failed = false;
    StartService(arguments);
    if (!failed && stopFailed) status = stopStatus;
    failed = failed || stopFailed;
  } else if (taskName == "audit_configuration") {
    ConfigurationTaskResult edited = UpdateAuditConfiguration(arguments);
    if (!edited.ok) Fail(-1, std::move(edited.message));
  } else if (taskName == "audit_log_collection") {
    std::string error;
    if (!LogFileCollector(central, LogKind::kAudit).Run(arguments, &error)) Fail(-1, error);
  } else if (taskName == "log_configuration") {
    ConfigurationTaskResult edited = UpdateLogConfiguration(arguments);
    if (!edited.ok) Fail(-1, std::move(edited.message));
  } else if (taskName == "server_log_import") {
    std::string error;
    if (!LogFileCollector(central, LogKind::kServer).Run(arguments, &error)) Fail(-1, error);
  } else {
    Fail(-1, StrFormat(_("unknown internal task name: %s"), taskName.c_str()));
    return;
  }
  LogMessage(StrFormat(_("internal task (%s) output: %s"), taskName.c_str(), message.c_str()),
             LOG_DEBUG1);
}

void InternalTask::StartService(const std::string& name) {
  if (name.empty() || !UnitExists(name, nullptr)) {
    Fail(kServiceNotFound, StrFormat(_("Failed to connect to the '%s' service. Error: %d"),
                                     name.c_str(), kServiceNotFound));
    return;
  }
  if (IsActive(name)) {
    Fail(kServiceAlreadyRunning,
         StrFormat(_("The '%s' service is already running."), name.c_str()));
    return;
  }
  SystemctlResult started = RunSystemctl({"start", "--", name});
  if (!started.ran || started.exitCode != 0) {
    const int32_t number = ServiceErrorNumber(started.output);
    Fail(number, StrFormat(_("Failed to start the '%s' service. Error: %d"), name.c_str(), number));
    return;
  }
  // Dependents that are not disabled are started with it.
  bool allStarted = true;
  int32_t lastError = 0;
  for (const std::string& dependent : Dependents(name)) {
    std::string state;
    if (!UnitExists(dependent, &state) || state == "disabled") continue;
    if (IsActive(dependent)) {
      allStarted = false;
      lastError = kServiceAlreadyRunning;
      continue;
    }
    SystemctlResult dependentStarted = RunSystemctl({"start", "--", dependent});
    if (!dependentStarted.ran || dependentStarted.exitCode != 0) {
      allStarted = false;
      lastError = ServiceErrorNumber(dependentStarted.output);
    }
  }
  if (!allStarted) {
    Fail(lastError,
         StrFormat(_("One or more dependent services didn't start; see the eventlog for details. "
                     "Last error: %d"),
                   lastError));
    return;
  }
  message = StrFormat(_("Successfully started the '%s' service."), name.c_str());
}

void InternalTask::StopService(const std::string& name) {
  if (name.empty() || !UnitExists(name, nullptr)) {
    Fail(kServiceNotFound, StrFormat(_("Failed to connect to the '%s' service. Error: %d"),
                                     name.c_str(), kServiceNotFound));
    return;
  }
  // Running dependents are stopped first, as the service manager would refuse
  // (or take them down) otherwise; the first that does not stop ends the try.
  std::vector<std::string> running;
  for (const std::string& dependent : Dependents(name)) {
    if (IsActive(dependent)) running.push_back(dependent);
  }
  for (const std::string& dependent : running) {
    SystemctlResult stopped = RunSystemctl({"stop", "--", dependent});
    if (!stopped.ran || stopped.exitCode != 0) {
      // A dependent that keeps running is what holds the stop up, unless
      // systemctl names another reason.
      int32_t number = ServiceErrorNumber(stopped.output);
      if (number == kServiceOtherError) number = kServiceDependentsRunning;
      Fail(number,
           StrFormat(_("Failed to stop the '%s' service. Error: %d"), name.c_str(), number));
      return;
    }
  }
  // "systemctl stop" returns once the service has stopped.
  SystemctlResult stopped = RunSystemctl({"stop", "--", name});
  if (!stopped.ran || stopped.exitCode != 0) {
    const int32_t number = ServiceErrorNumber(stopped.output);
    Fail(number, StrFormat(_("Failed to stop the '%s' service. Error: %d"), name.c_str(), number));
    return;
  }
  message = StrFormat(_("Successfully stopped the '%s' service."), name.c_str());
}
