#include "agent/agent_main_loop.h"

#include <memory>
#include <mutex>

#include "agent/agent_capabilities.h"
#include "agent/agent_heartbeat.h"
#include "agent/agent_sleep.h"
#include "agent/heartbeat_thread.h"
#include "agent/server_takeover.h"
#include "agent/settings.h"
#include "db/server_pool.h"
#include "platform/log.h"
#include "platform/number_parser.h"
#include "platform/text.h"
#include "work/job_step.h"
#include "work/probe_step.h"
#include "work/worker_thread.h"

namespace {

std::mutex backendPidMutex;
// Guarded by backendPidMutex.
std::string agentBackendPid;

void SetAgentBackendPid(const std::string& pid) {
  std::lock_guard<std::mutex> lock(backendPidMutex);
  agentBackendPid = pid;
}

// Clears what agents whose backends have gone left behind: their registrations,
// their running job and step logs, their job claims and their probe locks.
int ClearZombies(DBConnection& central) {
  LogMessage(_("clearing zombies"), LOG_DEBUG1);
  central.ExecuteCommand(kCreateZombieTableStatement);

  // pg_stat_activity names the backend PID column procpid before 9.2.
  const ServerVersion& version = central.serverVersion;
  const bool hasPid = version.major > 9 || (version.major == 9 && version.minor >= 2);
  std::string error;
  int32_t zombies = central.ExecuteCommand(FindZombiesStatement(hasPid), &error);
  if (zombies < 0) {
    LogMessage(StrFormat(_("error clearing zombies: %s"), error.c_str()), LOG_WARNING);
    return zombies;
  }
  if (zombies > 0) {
    central.ExecuteCommand(ClearZombieJobsStatement());
  }
  if (central.ExecuteCommand(kDropZombieTableStatement, &error) < 0) {
    LogMessage(StrFormat(_("error dropping tmp_zombies: %s"), error.c_str()), LOG_WARNING);
    return -1;
  }
  std::unique_ptr<ResultSet> probes = central.ExecuteQuery(kClearProbeZombiesQuery);
  if (!probes->IsOk()) {
    LogMessage(StrFormat(_("error clearing probe zombies: %s"), probes->GetErrorMessage().c_str()),
               LOG_WARNING);
    return -1;
  }
  return 0;
}

}  // namespace

std::string FindZombiesStatement(bool hasPid) {
  return hasPid ? "INSERT INTO tmp_zombies (jagpid) SELECT jagpid   FROM varo.jobagent AG   LEFT "
                  "JOIN pg_stat_activity PA ON jagpid=pid  WHERE pid IS NULL"
                : "INSERT INTO tmp_zombies (jagpid) SELECT jagpid   FROM varo.jobagent AG   LEFT "
                  "JOIN pg_stat_activity PA ON jagpid=procpid  WHERE procpid IS NULL";
}

std::string ClearZombieJobsStatement() {
  return "UPDATE varo.joblog SET jlgstatus='d' WHERE jlgid IN (SELECT jlgid FROM tmp_zombies z, "
         "varo.job j, varo.joblog l WHERE z.jagpid=j.jobprocessid AND j.jobid = l.jlgjobid AND "
         "l.jlgstatus='r');\n"
         "UPDATE varo.jobsteplog SET jslstatus='d' WHERE jslid IN ( SELECT jslid FROM tmp_zombies "
         "z, varo.job j, varo.joblog l, varo.jobsteplog s WHERE z.jagpid=j.jobprocessid AND "
         "j.jobid = l.jlgjobid AND l.jlgid = s.jsljlgid AND s.jslstatus='r');\n"
         "UPDATE varo.job SET jobprocessid=NULL, jobnextrun=NULL   WHERE jobprocessid IN (SELECT "
         "jagpid FROM tmp_zombies);\n"
         "DELETE FROM varo.jobagent   WHERE jagpid IN (SELECT jagpid FROM tmp_zombies);\n";
}

std::string RegisterBackendQuery(int32_t agentId) {
  return StrFormat(
      "INSERT INTO varo.jobagent (jagpid, agent_id) SELECT pg_backend_pid(), '%d' "
      "RETURNING pg_backend_pid()",
      agentId);
}

std::string GetAgentBackendPid() {
  std::lock_guard<std::mutex> lock(backendPidMutex);
  return agentBackendPid;
}

std::optional<uint64_t> ParseSchemaVersion(std::string_view text) {
  std::optional<uint64_t> value = ParseDecimal<uint64_t>(text, DecimalForm::kUnsigned);
  if (value == 0u) return std::nullopt;
  return value;
}

void DrainThreads() {
  for (;;) {
    long total = static_cast<long>(GetRunningWorkerCount()) + LiveHeartBeatThreads();
    if (total < 1) return;
    LogMessage(StrFormat(_("Waiting for %ld threads to drain"), total), LOG_DEBUG1);
    AgentSleep(false);
  }
}

int AgentMainLoop(DBConnection& central) {
  const Settings& settings = GetSettings();

  if (!SetCapabilities(central)) return -1;
  if (int result = ClearZombies(central); result < 0) return result;

  std::unique_ptr<ResultSet> registration =
      central.ExecuteQuery(RegisterBackendQuery(settings.agent_id));
  if (!registration->IsOk()) {
    LogMessage(
        StrFormat(_("error registering backend PID: %s"), registration->GetErrorMessage().c_str()),
        LOG_WARNING);
    return -1;
  }
  SetAgentBackendPid(registration->GetValueByIndex(0, 0));
  registration.reset();

  const std::string flagDirectory = FlagDirectoryPath(settings.agent_flag_dir, settings.agent_id);

  // A failing pass returns at once; the caller drains the worker and heartbeat
  // threads before it replaces the connection they use.
  for (;;) {
    ProcessFlagFiles(central, flagDirectory);

    if (AgentHeartbeat(central) == HeartbeatOutcome::kFailed) {
      LogMessage(_("Heartbeat failed"), LOG_DEBUG1);
      return -1;
    }
    if (!RunJobStep(central, settings.agent_id, GetAgentBackendPid(), settings.short_wait) ||
        !RunProbeStep(central, settings.agent_id)) {
      return -1;
    }
    ReapIdleServerConnections();
    AgentSleep(false);
  }
}
