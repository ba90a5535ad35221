// The probe step of each main-loop pass: selects (and so locks) the due probes
// of this agent on the central connection. Running the probes on worker threads
// is added with the probe tasks; until then a locked row is left to the central
// database's zombie clean-up, like a row for which no task can be made.
// Agent thread only.
#pragma once

#include <cstdint>
#include <string>

#include "db/db_connection.h"

// False when the selection query failed (after its warning); the main loop then
// drains its threads and reconnects.
bool RunProbeStep(DBConnection& central, int32_t agentId);

// The selection the probe step sends: the due probes of `agentId`, each locked
// for this backend as it is selected.
std::string ProbeSelectionQuery(int32_t agentId);
