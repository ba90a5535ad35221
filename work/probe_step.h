// The probe step of each main-loop pass: selects (and so locks) the due probes
// of this agent on the central connection, makes a task for each, and runs
// the probes of each (server, database) on a worker thread of their own.
// Agent thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "db/db_connection.h"
#include "work/task.h"
#include "work/work_queue.h"

// The task for one due-probe row (collection method s, w or b), or null after
// a warning when none can be made. Opens the WMI connection for method w.
std::unique_ptr<Task> MakeProbeTask(const ResultSet& rows, int32_t row);

// Groups the due-probe rows `due` into queues, one for each run of adjacent
// rows with the same server_id and database_name texts, and hands each
// finished queue to `start`. A row for which no task can be made opens no
// queue; it is unlocked at once when its collection method is unknown, and
// left locked when it names an internal probe this agent does not have.
void QueueDueProbes(DBConnection& central, int32_t agentId, const ResultSet& due,
                    const std::function<void(std::unique_ptr<ProbeWorkQueue>)>& start);

// False when the selection query failed (after its warning); the main loop then
// drains its threads and reconnects. The worker threads started here use
// `central` until they have drained.
bool RunProbeStep(DBConnection& central, int32_t agentId);

// The selection the probe step sends: the due probes of `agentId`, each locked
// for this backend as it is selected.
std::string ProbeSelectionQuery(int32_t agentId);
