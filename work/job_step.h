// The job step of each main-loop pass: asks the central database for the jobs
// of this agent that are due. Claiming and running them on worker threads is
// added with the job classes; until then no job is claimed. Agent thread only.
#pragma once

#include <cstdint>
#include <string>

#include "db/db_connection.h"

// False when the job query failed (after its warning); the main loop then
// drains its threads and reconnects.
bool RunJobStep(DBConnection& central, int32_t agentId);

// The query the job step sends: the enabled, unclaimed, due jobs of `agentId`
// while the agent is active.
std::string DueJobsQuery(int32_t agentId);
