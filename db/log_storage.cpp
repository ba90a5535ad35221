#include "db/log_storage.h"

#include <cstring>

#include "db/db_connection_to_postgresql.h"
#include "db/db_connection_with_mutex.h"
#include "platform/log.h"
#include "platform/number_parser.h"
#include "platform/text.h"

namespace {

constexpr const char* kServerHeadShort =
    "INSERT INTO varodata.server_logs(server_id, log_time, user_name, database_name, process_id, "
    "connection_from, session_id, session_line_num, command_tag, session_start_time, "
    "virtual_transaction_id, transaction_id, error_severity, sql_state_code, message, detail, "
    "hint, internal_query, internal_query_pos, context, query, query_pos, location) VALUES";
constexpr const char* kServerHeadLong =
    "INSERT INTO varodata.server_logs(server_id, log_time, user_name, database_name, process_id, "
    "connection_from, session_id, session_line_num, command_tag, session_start_time, "
    "virtual_transaction_id, transaction_id, error_severity, sql_state_code, message, detail, "
    "hint, internal_query, internal_query_pos, context, query, query_pos, location, "
    "application_name) VALUES";
constexpr const char* kAuditHeadShort =
    "INSERT INTO varodata.audit_logs(server_id, log_time, user_name, database_name, process_id, "
    "connection_from, session_id, session_line_num, command_tag, session_start_time, "
    "virtual_transaction_id, transaction_id, error_severity, sql_state_code, message, detail, "
    "hint, internal_query, internal_query_pos, context, query, query_pos, location) VALUES";
constexpr const char* kAuditHeadLong =
    "INSERT INTO varodata.audit_logs(server_id, log_time, user_name, database_name, process_id, "
    "connection_from, session_id, session_line_num, command_tag, session_start_time, "
    "virtual_transaction_id, transaction_id, error_severity, sql_state_code, message, detail, "
    "hint, internal_query, internal_query_pos, context, query, query_pos, location, "
    "application_name) VALUES";

bool HasApplicationName(LogKind kind, int32_t versionCode) {
  if (kind == LogKind::kAudit) return versionCode >= 20900;
  const bool shortList =
      (versionCode > 0 && versionCode < 10900) || (versionCode >= 20001 && versionCode <= 20899);
  return !shortList;
}

// The number fields by position, and the widths of their columns.
enum class NumberWidth { kNone, kInt, kBigint };

NumberWidth NumberField(size_t position) {
  switch (position) {
    case 3:   // process_id
    case 17:  // internal_query_pos
    case 20:  // query_pos
      return NumberWidth::kInt;
    case 6:   // session_line_num
    case 10:  // transaction_id
      return NumberWidth::kBigint;
    default:
      return NumberWidth::kNone;
  }
}

const char* const kFieldNames[] = {
    "log_time",         "user_name",       "database_name",
    "process_id",       "connection_from", "session_id",
    "session_line_num", "command_tag",     "session_start_time",
    "virtual_transaction_id", "transaction_id", "error_severity",
    "sql_state_code",   "message",         "detail",
    "hint",             "internal_query",  "internal_query_pos",
    "context",          "query",           "query_pos",
    "location",         "application_name"};

// True when `text` is an optional minus and digits whose value fits `width`.
bool IsNumber(const std::string& text, NumberWidth width) {
  if (text.empty() || text[0] == '+') return false;
  if (width == NumberWidth::kInt) return ParseDecimal<int32_t>(text).has_value();
  return ParseDecimal<int64_t>(text).has_value();
}

void LogStoreError(LogKind kind, const std::string& text) {
  if (kind == LogKind::kServer) {
    LogMessage(StrFormat(_("syncServerLogData error: %s"), text.c_str()), LOG_WARNING);
  } else {
    LogMessage(StrFormat(_("syncAuditLogData error: %s"), text.c_str()), LOG_WARNING);
  }
}

const char* PositionTable(LogKind kind) {
  return kind == LogKind::kServer ? "varo.log_configuration" : "varo.audit_configuration";
}

// Builds statements with values escaped through the connection (its encoding
// and standard_conforming_strings decide the escaping).
class StatementText {
 public:
  explicit StatementText(PGconn* conn) : conn(conn) {}

  void Add(const char* text) { sql.append(text); }
  void Add(const std::string& text) { sql.append(text); }
  // A quoted literal; false with *error when libpq refuses the value.
  bool AddLiteral(const std::string& raw, std::string* error) {
    const std::string* value = &raw;
    std::string repaired;
    if (!IsValidUtf8(raw)) {
      repaired = ToValidUtf8(raw);
      value = &repaired;
    }
    const size_t at = sql.size();
    sql.resize(at + 2 * value->size() + 3);
    sql[at] = '\'';
    int failed = 0;
    const size_t written =
        PQescapeStringConn(conn, &sql[at + 1], value->data(), value->size(), &failed);
    if (failed) {
      *error = StrFormat(_("a log field could not be escaped: %s"), PQerrorMessage(conn));
      sql.resize(at);
      return false;
    }
    sql[at + 1 + written] = '\'';
    sql.resize(at + written + 2);
    return true;
  }
  const std::string& Text() const { return sql; }

 private:
  PGconn* conn;
  std::string sql;
};

// The error text of a failed exchange: the result's, else the connection's.
std::string ErrorOf(PGconn* conn, const PGresult* result) {
  std::string text = result ? PQresultErrorMessage(result) : "";
  if (text.empty()) text = PQerrorMessage(conn);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

void RollBack(PGconn* conn) {
  if (PQtransactionStatus(conn) == PQTRANS_IDLE) return;
  PGresultPtr ignored(PQexec(conn, "ROLLBACK;"));
}

}  // namespace

const char* LogInsertHead(LogKind kind, int32_t versionCode) {
  const bool withName = HasApplicationName(kind, versionCode);
  if (kind == LogKind::kServer) return withName ? kServerHeadLong : kServerHeadShort;
  return withName ? kAuditHeadLong : kAuditHeadShort;
}

size_t LogFieldCount(LogKind kind, int32_t versionCode) {
  return HasApplicationName(kind, versionCode) ? 23 : 22;
}

std::string DBConnectionToPostgreSQL::StoreLogBatch(LogKind kind, const LogRows& rows,
                                                    int32_t serverId, const LogReadPosition* from,
                                                    const LogReadPosition& to,
                                                    int32_t versionCode) {
  PGconn* c = conn.get();
  std::string error;
  auto fail = [&](std::string text) {
    RollBack(c);
    LogStoreError(kind, text);
    return text;
  };
  if (c == nullptr || PQstatus(c) != CONNECTION_OK) return fail(kLostConnectionText);
  // A transaction left open by someone else would swallow this one: its BEGIN
  // would only warn and its COMMIT would commit the other's work too.
  if (PQtransactionStatus(c) != PQTRANS_IDLE) {
    return fail(_("a transaction is already open on the central connection"));
  }

  // The position first: the row lock it takes makes a second run for the same
  // server wait, and then find the position moved and store nothing.
  const std::string id = std::to_string(serverId);
  StatementText begin(c);
  begin.Add("BEGIN; UPDATE ");
  begin.Add(PositionTable(kind));
  begin.Add(" SET (last_read_filename, file_offset, last_read_device, last_read_inode) = (");
  if (!begin.AddLiteral(to.fileName, &error)) return fail(error);
  begin.Add(StrFormat(", %lld, %lld, %lld) WHERE server_id = %s", static_cast<long long>(to.offset),
                      static_cast<long long>(to.device), static_cast<long long>(to.inode),
                      id.c_str()));
  if (from != nullptr) {
    begin.Add(" AND last_read_filename = ");
    if (!begin.AddLiteral(from->fileName, &error)) return fail(error);
    begin.Add(StrFormat(" AND file_offset = %lld", static_cast<long long>(from->offset)));
  }
  begin.Add(";");
  LogMessage(begin.Text(), LOG_DEBUG2);
  PGresultPtr moved(PQexec(c, begin.Text().c_str()));
  if (!moved || PQresultStatus(moved.get()) != PGRES_COMMAND_OK) {
    return fail(ErrorOf(c, moved.get()));
  }
  if (PQtransactionStatus(c) != PQTRANS_INTRANS) {
    return fail(_("BEGIN did not open a transaction"));
  }
  if (std::strcmp(PQcmdTuples(moved.get()), "0") == 0) {
    if (from != nullptr) {
      return fail(StrFormat(_("the read position of server %d is no longer %s at %lld (another "
                              "import moved it); nothing stored"),
                            serverId, from->fileName.c_str(),
                            static_cast<long long>(from->offset)));
    }
    return fail(StrFormat(_("server %d has no row in %s; nothing stored"), serverId,
                          PositionTable(kind)));
  }

  StatementText rest(c);
  if (!rows.empty()) {
    const size_t fieldCount = LogFieldCount(kind, versionCode);
    rest.Add(LogInsertHead(kind, versionCode));
    for (size_t r = 0; r < rows.size(); ++r) {
      const std::vector<std::string>& row = rows[r];
      if (row.size() < fieldCount) {
        LogMessage(StrFormat(_("a log record of %s has %zu fields, fewer than %zu; the missing ones "
                               "are stored empty"),
                             to.fileName.c_str(), row.size(), fieldCount),
                   LOG_WARNING);
      }
      rest.Add(r == 0 ? " (" : ", (");
      rest.Add(id);
      static const std::string kEmpty;
      for (size_t f = 0; f < fieldCount; ++f) {
        rest.Add(", ");
        const std::string& value = f < row.size() ? row[f] : kEmpty;
        const NumberWidth width = NumberField(f);
        if (width == NumberWidth::kNone) {
          if (!rest.AddLiteral(value, &error)) return fail(error);
        } else if (value.empty()) {
          rest.Add("NULL");
        } else if (IsNumber(value, width)) {
          rest.Add(value);
        } else {
          LogMessage(StrFormat(_("log field %s of a record in %s is no number ('%s'); it is "
                                 "stored as NULL"),
                               kFieldNames[f], to.fileName.c_str(),
                               ToValidUtf8(value.substr(0, 40)).c_str()),
                     LOG_WARNING);
          rest.Add("NULL");
        }
      }
      rest.Add(")");
    }
    rest.Add(";");
  }
  if (GetLogLevel() >= LOG_DEBUG2 && !rows.empty()) LogMessage(rest.Text(), LOG_DEBUG2);
  rest.Add("COMMIT;");
  PGresultPtr done(PQexec(c, rest.Text().c_str()));
  // A COMMIT of a failed transaction answers "ROLLBACK" without an error.
  if (!done || PQresultStatus(done.get()) != PGRES_COMMAND_OK) return fail(ErrorOf(c, done.get()));
  if (std::strcmp(PQcmdStatus(done.get()), "COMMIT") != 0 ||
      PQtransactionStatus(c) != PQTRANS_IDLE) {
    return fail(_("COMMIT did not take effect; nothing stored"));
  }
  return std::string();
}

std::string DBConnectionWithMutex::StoreLogBatch(LogKind kind, const LogRows& rows,
                                                 int32_t serverId, const LogReadPosition* from,
                                                 const LogReadPosition& to, int32_t versionCode) {
  std::lock_guard<std::mutex> lock(mutex);
  if (!innerPostgres) return "log storage needs a PostgreSQL connection";
  return innerPostgres->StoreLogBatch(kind, rows, serverId, from, to, versionCode);
}

std::string StoreLogBatch(DBConnection& central, LogKind kind, const LogRows& rows,
                          int32_t serverId, const LogReadPosition* from,
                          const LogReadPosition& to, int32_t versionCode) {
  if (auto* shared = dynamic_cast<DBConnectionWithMutex*>(&central)) {
    return shared->StoreLogBatch(kind, rows, serverId, from, to, versionCode);
  }
  if (auto* plain = dynamic_cast<DBConnectionToPostgreSQL*>(&central)) {
    return plain->StoreLogBatch(kind, rows, serverId, from, to, versionCode);
  }
  return "log storage needs a PostgreSQL connection";
}

namespace {

std::string SyncLogData(DBConnectionToPostgreSQL& conn, LogKind kind, const LogRows& rows,
                        const std::string& fileName, const std::string& serverId,
                        int64_t fileOffset, int32_t versionCode) {
  if (rows.empty()) return std::string();
  // The id goes into the statements, so it must be a number.
  const std::optional<int32_t> id =
      serverId.empty() || serverId[0] == '+' ? std::nullopt : ParseDecimal<int32_t>(serverId);
  if (!id) {
    const std::string text = StrFormat(_("invalid server id '%s'"), ToValidUtf8(serverId).c_str());
    LogStoreError(kind, text);
    return text;
  }
  LogReadPosition to;
  to.fileName = fileName;
  to.offset = fileOffset;
  return conn.StoreLogBatch(kind, rows, *id, nullptr, to, versionCode);
}

}  // namespace

std::string DBConnectionToPostgreSQL::syncServerLogData(const LogRows& rows,
                                                        const std::string& fileName,
                                                        const std::string& serverId,
                                                        int64_t fileOffset, int32_t versionCode) {
  return SyncLogData(*this, LogKind::kServer, rows, fileName, serverId, fileOffset, versionCode);
}

std::string DBConnectionToPostgreSQL::syncAuditLogData(const LogRows& rows,
                                                       const std::string& fileName,
                                                       const std::string& serverId,
                                                       int64_t fileOffset, int32_t versionCode) {
  return SyncLogData(*this, LogKind::kAudit, rows, fileName, serverId, fileOffset, versionCode);
}
