// Publishes the agent's capability list in its row of varo.agent, once per
// central connection. Agent thread only.
#pragma once

#include "db/db_connection.h"

// The list as one array-literal text; the first entry names the platform.
extern const char kAgentCapabilityList[];

// Writes the list for this agent on `central`. False (after a warning) when
// the update fails.
bool SetCapabilities(DBConnection& central);

// The statement that records the capabilities: $1 the list, $2 the agent's id.
inline constexpr char kSetCapabilitiesStatement[] =
    "UPDATE varo.agent SET agent_capability_list = $1 WHERE id = $2";
