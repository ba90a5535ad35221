// The version code of a monitored server, kept in varodata.server_info so that
// the log settings probe and the log import know which settings and log
// columns the server has. The pool records a server's code when it opens a
// connection to it. Thread-safe.
//
// Form of the code: 10000 + 100 * major + minor for PostgreSQL, and 20000 +
// the same for a KELVORA server (its version() text begins with KELVORA).
// Before release 10 a release was named by two numbers, so 9.1.x is 10901 and
// 9.2.x is 10902. From release 10 on the first number alone names it and the
// second is a bug-fix level, which the code leaves out: 10.x is 11000, 16.x is
// 11600, and the code stays below 20000 (releases past 99 are counted as 99).
// Every release from 9.2 on is thus past the silent_mode boundary (10902) and
// has application_name in its CSV log (from 10900).
#pragma once

#include <cstdint>
#include <string>

#include "db/db_connection_to_postgresql.h"

// The code of a server by its server_version_num (90105, 160002) and whether
// it is a KELVORA server; 0 when the number is not a release number.
int32_t ServerVersionCode(int32_t serverVersionNum, bool isKelvora);

// The statement that stores `code` and `versionText` as server `serverId`'s
// row of varodata.server_info; $1 is the version text.
std::string ServerInfoUpsertQuery(int32_t serverId, int32_t code);

// Reads the version of the server behind `server` (SELECT version(), bounded
// like the heartbeat ping) and stores its code on the central connection,
// unless this process has already stored the same code for `serverId` (a
// failed store is tried again after ten minutes). False
// with the reason in `errorText` when the server did not answer in time (its
// connection is then closed); a failed store is only logged, as the server
// itself is usable.
bool RecordServerVersion(int32_t serverId, DBConnectionToPostgreSQL& server,
                         std::string& errorText);

// Test hook: forgets which codes were stored, so the next connection stores again.
void ForgetRecordedServerVersions();
