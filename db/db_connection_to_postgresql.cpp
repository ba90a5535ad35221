#include "db/db_connection_to_postgresql.h"

#include "db/result_set_from_postgresql.h"
#include "db/result_set_with_fixed_error.h"
#include "platform/log.h"

namespace {

// Server notices (NOTICE, WARNING sent to the client) would otherwise go to
// stderr; keep them for the most verbose log level.
void NoticeToLog(void*, const char* message) {
  std::string text(message ? message : "");
  while (!text.empty() && text.back() == '\n') text.pop_back();
  LogMessage(text, LOG_DEBUG2);
}

}  // namespace

DBConnectionToPostgreSQL::DBConnectionToPostgreSQL(PGconnPtr c) : conn(std::move(c)) {
  PQsetNoticeProcessor(conn.get(), NoticeToLog, nullptr);
}

std::unique_ptr<ResultSet> DBConnectionToPostgreSQL::ExecuteQuery(
    const std::string& query, const std::vector<std::string>& params) {
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    return std::make_unique<ResultSetWithFixedError>(kLostConnectionText);
  }
  PGresultPtr result;
  if (!params.empty()) {
    std::vector<const char*> values;
    values.reserve(params.size() + 1);
    for (const std::string& p : params) values.push_back(p.c_str());
    values.push_back(nullptr);
    result.reset(PQexecParams(conn.get(), query.c_str(), static_cast<int>(params.size()),
                              nullptr, values.data(), nullptr, nullptr, 0));
  } else {
    result.reset(PQexec(conn.get(), query.c_str()));
  }
  if (!result) return std::make_unique<ResultSetWithFixedError>("PQexec(Params) returned NULL");
  return std::make_unique<ResultSetFromPostgreSQL>(std::move(result));
}

std::string DBConnectionToPostgreSQL::EscapeLiteral(const std::string& value) {
  PGmemPtr quoted(PQescapeLiteral(conn.get(), value.data(), value.size()));
  return quoted ? std::string(quoted.get()) : std::string();
}

std::string DBConnectionToPostgreSQL::EscapeIdentifier(const std::string& name) {
  PGmemPtr quoted(PQescapeIdentifier(conn.get(), name.data(), name.size()));
  return quoted ? std::string(quoted.get()) : std::string();
}
