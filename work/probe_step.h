// The probe step of each main-loop pass: selects (and so locks) the due probes
// of this agent on the central connection. Running the probes on worker threads
// is added with the probe tasks; until then a locked row is left to the central
// database's zombie clean-up, like a row for which no task can be made.
// Agent thread only.
#pragma once

#include <cstdint>

#include "db/db_connection.h"

// False when the selection query failed (after its warning); the main loop then
// drains its threads and reconnects.
bool RunProbeStep(DBConnection& central, int32_t agentId);
