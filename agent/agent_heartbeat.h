// The agent heartbeat, run once per pass of the main loop on the central
// connection: when due it records a heartbeat for the agent and starts one
// heartbeat thread per bound server, and reads back the heartbeat interval and
// the agent's active flag. Its state lives for the whole process (a reconnect
// keeps it). Agent thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "db/db_connection.h"

struct AgentHeartbeatState {
  // Monotonic seconds of the last heartbeat that was due; none before the first.
  std::optional<int64_t> lastHeartbeat;
  int32_t heartbeatInterval = 30;  // seconds, from varo.agent.heartbeat_interval
  bool agentActive = true;         // from varo.agent.active
};

// What one call of AgentHeartbeat came to.
enum class HeartbeatOutcome {
  kDone,                 // not due, or done
  kIntervalQueryFailed,  // the heartbeat went out, reading back the interval failed
  kFailed,               // the list of bound servers could not be read: the pass ends
};

// Runs the agent heartbeat on `central` when it is due. The server heartbeat
// threads it starts look the central connection up themselves.
HeartbeatOutcome AgentHeartbeat(DBConnection& central);

// The process-wide state (tests read and reset it).
AgentHeartbeatState& GetAgentHeartbeatState();

// The heartbeat interval as C's atoi reads it (leading blanks, a sign, digits;
// 0 for a non-number), clamped to the 32-bit range instead of overflowing.
int32_t ParseHeartbeatInterval(std::string_view text);

// The agent's own heartbeat (no servers), and the read-back of its heartbeat
// interval and active flag.
std::string AgentHeartbeatQuery(int32_t agentId);
std::string HeartbeatSettingsQuery(int32_t agentId);
