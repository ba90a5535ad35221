#include "db/log_storage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>

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

const char* const kFieldNames[] = {"log_time",
                                   "user_name",
                                   "database_name",
                                   "process_id",
                                   "connection_from",
                                   "session_id",
                                   "session_line_num",
                                   "command_tag",
                                   "session_start_time",
                                   "virtual_transaction_id",
                                   "transaction_id",
                                   "error_severity",
                                   "sql_state_code",
                                   "message",
                                   "detail",
                                   "hint",
                                   "internal_query",
                                   "internal_query_pos",
                                   "context",
                                   "query",
                                   "query_pos",
                                   "location",
                                   "application_name"};

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

// Marks the error raised when the position update matched no row.
constexpr const char* kPositionNotMoved = "varo: read position not moved";

const char* PositionTable(LogKind kind) {
  return kind == LogKind::kServer ? "varo.log_configuration" : "varo.audit_configuration";
}

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

  // One exchange with the server (a pipeline): BEGIN, the position, the
  // rows, COMMIT. Every value travels as a parameter, never inside the
  // statement text. The position comes first: the row lock it takes makes a
  // second import of the same server wait, and then find the position moved.
  // An update that matches no row raises an error (a text that is no integer,
  // cast to one: plain SQL has no RAISE), so the rows are never committed
  // without their position.
  const std::string id = std::to_string(serverId);
  std::vector<const char*> guardValues;
  const std::string offset = std::to_string(to.offset);
  const std::string device = std::to_string(static_cast<int64_t>(to.device));
  const std::string inode = std::to_string(static_cast<int64_t>(to.inode));
  const std::string fromOffset = from != nullptr ? std::to_string(from->offset) : std::string();
  std::deque<std::string> repaired;  // fields made valid UTF-8; stable addresses
  auto valid = [&](const std::string& text) -> const char* {
    if (IsValidUtf8(text)) return text.c_str();
    return repaired.emplace_back(ToValidUtf8(text)).c_str();
  };
  std::string guard = "WITH moved AS (UPDATE ";
  guard += PositionTable(kind);
  guard +=
      " SET (last_read_filename, file_offset, last_read_device, last_read_inode) = ($1, "
      "$2::bigint, $3::bigint, $4::bigint) WHERE server_id = $5::integer";
  guardValues = {valid(to.fileName), offset.c_str(), device.c_str(), inode.c_str(), id.c_str()};
  if (from != nullptr) {
    guard += " AND last_read_filename = $6 AND file_offset = $7::bigint";
    guardValues.push_back(valid(from->fileName));
    guardValues.push_back(fromOffset.c_str());
  }
  guard += " RETURNING 1) SELECT ('";
  guard += kPositionNotMoved;
  guard += " ' || count(*))::integer FROM moved HAVING count(*) = 0";

  std::string insert;
  std::vector<const char*> values;
  if (!rows.empty()) {
    const size_t fieldCount = LogFieldCount(kind, versionCode);
    values.reserve(rows.size() * fieldCount + 1);
    values.push_back(id.c_str());
    insert.reserve(rows.size() * (fieldCount * 7 + 16) + 512);
    insert += LogInsertHead(kind, versionCode);
    char number[24];
    for (size_t r = 0; r < rows.size(); ++r) {
      const std::vector<std::string>& row = rows[r];
      if (row.size() < fieldCount) {
        LogMessage(
            StrFormat(_("a log record of %s has %zu fields, fewer than %zu; the missing ones "
                        "are stored empty"),
                      to.fileName.c_str(), row.size(), fieldCount),
            LOG_WARNING);
      }
      insert += r == 0 ? " ($1" : ", ($1";
      for (size_t f = 0; f < fieldCount; ++f) {
        std::snprintf(number, sizeof number, ", $%zu", values.size() + 1);
        insert += number;
        static const std::string kEmpty;
        const std::string& value = f < row.size() ? row[f] : kEmpty;
        const NumberWidth width = NumberField(f);
        if (width == NumberWidth::kNone) {
          values.push_back(valid(value));
        } else if (value.empty()) {
          values.push_back(nullptr);
        } else if (IsNumber(value, width)) {
          values.push_back(value.c_str());
        } else {
          LogMessage(StrFormat(_("log field %s of a record in %s is no number ('%s'); it is "
                                 "stored as NULL"),
                               kFieldNames[f], to.fileName.c_str(),
                               ToValidUtf8(value.substr(0, 40)).c_str()),
                     LOG_WARNING);
          values.push_back(nullptr);
        }
      }
      insert += ")";
    }
  }
  if (GetLogLevel() >= LOG_DEBUG2) {
    LogMessage(guard, LOG_DEBUG2);
    if (!insert.empty()) LogMessage(insert, LOG_DEBUG2);
  }

  if (PQenterPipelineMode(c) != 1) return fail(ErrorOf(c, nullptr));
  auto send = [&](const std::string& text, const std::vector<const char*>& params) {
    return PQsendQueryParams(c, text.c_str(), static_cast<int>(params.size()), nullptr,
                             params.empty() ? nullptr : params.data(), nullptr, nullptr, 0) == 1;
  };
  // A full batch uses a statement prepared once per session, so the server
  // parses and plans it once, not for every batch.
  std::string prepared;
  bool prepare = false;
  if (rows.size() == kLogBatchRecords) {
    prepared = StrFormat("varo_log_%s_%zu_%zu", kind == LogKind::kServer ? "server" : "audit",
                         LogFieldCount(kind, versionCode), rows.size());
    prepare = std::find(preparedLogStatements.begin(), preparedLogStatements.end(), prepared) ==
              preparedLogStatements.end();
  }
  int sent = 0;
  int prepareAt = -1;
  bool sendOk = true;
  if (prepare) {
    sendOk = PQsendPrepare(c, prepared.c_str(), insert.c_str(), 0, nullptr) == 1;
    prepareAt = sent++;
  }
  sendOk = sendOk && send("BEGIN", {}) && ++sent && send(guard, guardValues) && ++sent;
  if (sendOk && !insert.empty()) {
    sendOk = (prepared.empty()
                  ? send(insert, values)
                  : PQsendQueryPrepared(c, prepared.c_str(), static_cast<int>(values.size()),
                                        values.data(), nullptr, nullptr, 0) == 1) &&
             ++sent;
  }
  if (sendOk) sendOk = send("COMMIT", {}) && ++sent;
  const bool synced = PQpipelineSync(c) == 1;
  std::string firstError = sendOk && synced ? std::string() : ErrorOf(c, nullptr);
  bool committed = false;
  for (int q = 0; q < sent; ++q) {
    while (PGresultPtr result{PQgetResult(c)}) {
      const ExecStatusType status = PQresultStatus(result.get());
      if (q == prepareAt && status == PGRES_COMMAND_OK) preparedLogStatements.push_back(prepared);
      if ((status == PGRES_FATAL_ERROR || status == PGRES_BAD_RESPONSE) && firstError.empty()) {
        firstError = ErrorOf(c, result.get());
        // Prepared statements dropped by someone (DEALLOCATE, DISCARD) are
        // prepared again by the next call.
        const char* state = PQresultErrorField(result.get(), PG_DIAG_SQLSTATE);
        if (state != nullptr && std::strcmp(state, "26000") == 0) preparedLogStatements.clear();
      }
      // A COMMIT of a failed transaction answers "ROLLBACK" without an error.
      if (q == sent - 1 && status == PGRES_COMMAND_OK &&
          std::strcmp(PQcmdStatus(result.get()), "COMMIT") == 0) {
        committed = true;
      }
    }
  }
  if (synced) {
    PGresultPtr sync(PQgetResult(c));
    if (!sync && firstError.empty()) firstError = ErrorOf(c, nullptr);
  }
  PQexitPipelineMode(c);
  if (PQstatus(c) != CONNECTION_OK && firstError.empty()) firstError = kLostConnectionText;
  if (!firstError.empty()) {
    if (firstError.find(kPositionNotMoved) != std::string::npos) {
      firstError =
          from != nullptr
              ? StrFormat(_("the read position of server %d is no longer %s at %lld (another "
                            "import moved it, or its row is gone); nothing stored"),
                          serverId, from->fileName.c_str(), static_cast<long long>(from->offset))
              : StrFormat(_("server %d has no row in %s; nothing stored"), serverId,
                          PositionTable(kind));
    }
    return fail(firstError);
  }
  // A BEGIN inside an open transaction only warns; only a COMMIT that
  // committed and left no transaction open counts.
  if (!committed || PQtransactionStatus(c) != PQTRANS_IDLE) {
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
                          int32_t serverId, const LogReadPosition* from, const LogReadPosition& to,
                          int32_t versionCode) {
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
