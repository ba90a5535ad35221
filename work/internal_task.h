// Internal tasks: job steps that name an operation built into the agent,
// followed by its argument, e.g. "server_restart postgresql.service". The
// service operations drive the host's service manager (systemctl) and report
// the error numbers the central database knows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/db_connection.h"
#include "work/task.h"

// Error numbers of the service operations.
inline constexpr int32_t kServiceAccessDenied = 5;
inline constexpr int32_t kServiceDependentsRunning = 1051;
inline constexpr int32_t kServiceAlreadyRunning = 1056;
inline constexpr int32_t kServiceNotFound = 1060;
inline constexpr int32_t kServiceOtherError = 1064;

// The error number for a failed systemctl command by its output.
int32_t ServiceErrorNumber(const std::string& systemctlOutput);

// The other *.service units of a `list-dependencies --reverse --plain` listing
// of `unit` (tree marks and the unit itself left out).
std::vector<std::string> DependentServiceUnits(const std::string& listing, const std::string& unit);

class InternalTask : public Task {
 public:
  // `code`: the task name, a space, the arguments. `restartPauseSeconds`: the
  // pause of a restart between its stop and its start.
  InternalTask(const std::string& code, int32_t restartPauseSeconds);

  // Dispatches by the task name; the outcome is in status and message.
  void Run(DBConnection& central) override;
  bool Failed() const override { return failed; }

  const std::string& TaskName() const { return taskName; }
  const std::string& Arguments() const { return arguments; }

 private:
  void StartService(const std::string& name);
  void StopService(const std::string& name);
  // Sets status to `number`, the message, and marks the task failed.
  void Fail(int32_t number, std::string text);

  std::string taskName;
  std::string arguments;
  int32_t restartPauseSeconds;
  bool failed = false;
};
