// The main loop of the agent thread on one central connection: clean-up after
// dead agents, registration of this agent's backend, then one pass per poll
// interval (flag files, agent heartbeat, due jobs, due probes, reaping, sleep).
// Agent thread only, except GetAgentBackendPid.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "db/db_connection.h"

// The schema version of the central database this agent is written for.
inline constexpr uint64_t kExpectedSchemaVersion = 201210091;

// How the agent reads the central database's schema version on each new
// central connection.
inline constexpr char kSchemaVersionQuery[] = "SELECT varo.schema_version()";

// Runs on the central connection until a step fails; always returns a negative
// number (the failing statement's result, or -1). Worker and heartbeat threads
// it started may still be using `central` when it returns: the caller drains
// them (DrainThreads) before it replaces the connection.
int AgentMainLoop(DBConnection& central);

// Waits, one poll interval at a time, until no worker thread and no server
// heartbeat thread is alive.
void DrainThreads();

// The central connection's backend PID as registered in varo.jobagent; empty
// before the first registration. Any thread may read it.
std::string GetAgentBackendPid();

// The schema version text of "SELECT varo.schema_version()" as a number: none
// when it is not a plain base-10 number or is 0.
std::optional<uint64_t> ParseSchemaVersion(std::string_view text);

// The statements of the zombie clean-up at each connect, run in this order on
// one session: kCreateZombieTableStatement, FindZombiesStatement (which collects
// the registered backends that are gone; `hasPid` when the server names the
// column pid, from 9.2 on), ClearZombieJobsStatement when it found any,
// kDropZombieTableStatement and kClearProbeZombiesQuery.
std::string FindZombiesStatement(bool hasPid);
std::string ClearZombieJobsStatement();
inline constexpr char kCreateZombieTableStatement[] = "CREATE TEMP TABLE tmp_zombies(jagpid int4)";
inline constexpr char kDropZombieTableStatement[] = "DROP TABLE tmp_zombies";
inline constexpr char kClearProbeZombiesQuery[] = "SELECT varo.clear_probe_zombies()";

// Registers this backend as agent `agentId`'s and returns its PID.
std::string RegisterBackendQuery(int32_t agentId);
