#include "agent/agent_heartbeat.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "agent/heartbeat_thread.h"
#include "agent/settings.h"
#include "db/server_pool.h"
#include "platform/log.h"
#include "platform/number_parser.h"
#include "platform/text.h"

namespace {

// A monotonic clock: a wall-clock step backwards must not stop the heartbeats
// until the clock has caught up again.
int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

AgentHeartbeatState& GetAgentHeartbeatState() {
  static AgentHeartbeatState state;
  return state;
}

int32_t ParseHeartbeatInterval(std::string_view text) {
  return *ParseDecimal<int32_t>(text, DecimalForm::kLeading);
}

HeartbeatOutcome AgentHeartbeat(DBConnection& central) {
  AgentHeartbeatState& state = GetAgentHeartbeatState();
  const int64_t now = NowSeconds();
  if (state.lastHeartbeat && *state.lastHeartbeat + state.heartbeatInterval > now) {
    return HeartbeatOutcome::kDone;
  }
  state.lastHeartbeat = now;

  const int32_t agentId = GetSettings().agent_id;

  if (state.agentActive) {
    std::unique_ptr<ResultSet> beat = central.ExecuteQuery(AgentHeartbeatQuery(agentId));
    if (!beat->IsOk()) {
      LogMessage(StrFormat(_("Heartbeat: error updating the heartbeat for agent-%d : %s"), agentId,
                           beat->GetErrorMessage().c_str()),
                 LOG_WARNING);
    } else {
      std::vector<int32_t> serverIds;
      std::vector<std::string> databases;
      std::string errorText;
      if (!ListServerBindings(serverIds, databases, &errorText)) {
        LogMessage(StrFormat(_("Heartbeat: Unable to get list of server IDs, error: %s"),
                             errorText.c_str()),
                   LOG_WARNING);
        return HeartbeatOutcome::kFailed;
      }
      LogMessage(StrFormat(_("Heartbeat: num servers: %d"), static_cast<int>(serverIds.size())),
                 LOG_DEBUG2);
      for (size_t i = 0; i < serverIds.size(); ++i) {
        std::unique_ptr<HeartBeatThread> thread =
            CreateHeartBeatThread(agentId, serverIds[i], databases[i]);
        if (!thread) continue;  // the previous one for this server is still running
        // A thread that cannot start is destroyed, which frees the server's entry.
        if (!StartDetachedThread(std::move(thread))) {
          LogMessage(StrFormat(_("Heartbeat: unable to start the heartbeat thread for server %d; "
                                 "it is tried again at the next heartbeat"),
                               serverIds[i]),
                     LOG_WARNING);
        }
      }
    }
  }

  std::string query = HeartbeatSettingsQuery(agentId);
  LogMessage(StrFormat(_("Heartbeat: query: %s"), query.c_str()), LOG_DEBUG2);
  std::unique_ptr<ResultSet> row = central.ExecuteQuery(query);
  if (!row->IsOk()) {
    LogMessage(StrFormat(_("Heartbeat: Error executing heartbeat query; reason: %s"),
                         row->GetErrorMessage().c_str()),
               LOG_WARNING);
    return HeartbeatOutcome::kIntervalQueryFailed;
  }
  state.heartbeatInterval = ParseHeartbeatInterval(row->GetValueByIndex(0, 0));
  const bool active = row->GetValueByIndex(0, 1) == "t";
  if (active != state.agentActive) {
    LogMessage(active ? _("Agent has been enabled.") : _("Agent has been disabled."), LOG_WARNING);
  }
  state.agentActive = active;
  return HeartbeatOutcome::kDone;
}

std::string AgentHeartbeatQuery(int32_t agentId) {
  return StrFormat("SELECT varo.do_heartbeat(%d,'{}')", agentId);
}

std::string HeartbeatSettingsQuery(int32_t agentId) {
  return StrFormat("SELECT heartbeat_interval, active FROM varo.agent WHERE id = %d;", agentId);
}
