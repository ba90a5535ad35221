// Operations of the PostgreSQL connection that are not built yet. They fail
// honestly instead of pretending to store anything.
#include "db/db_connection_to_postgresql.h"

std::string DBConnectionToPostgreSQL::syncServerLogData(const LogRows&, const std::string&,
                                                        const std::string&, int64_t, int32_t) {
  return "server log storage is not available in this build";
}

std::string DBConnectionToPostgreSQL::syncAuditLogData(const LogRows&, const std::string&,
                                                       const std::string&, int64_t, int32_t) {
  return "audit log storage is not available in this build";
}
