#include "db/result_set_from_postgresql.h"

#include <cstring>

#include "platform/number_parser.h"

ResultSetFromPostgreSQL::ResultSetFromPostgreSQL(PGresultPtr res) : result(std::move(res)) {
  const int fields = PQnfields(result.get());
  columnNames.reserve(fields > 0 ? fields : 0);
  for (int i = 0; i < fields; ++i) columnNames.emplace_back(PQfname(result.get(), i));
}

bool ResultSetFromPostgreSQL::IsOk() const {
  const ExecStatusType status = PQresultStatus(result.get());
  return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

std::string ResultSetFromPostgreSQL::GetErrorMessage() const {
  const char* message = PQresultErrorMessage(result.get());
  if (message != nullptr && *message != '\0') return message;
  return PQresStatus(PQresultStatus(result.get()));
}

uint32_t ResultSetFromPostgreSQL::GetRowCount() const {
  const int rows = PQntuples(result.get());
  return rows > 0 ? static_cast<uint32_t>(rows) : 0;
}

int32_t ResultSetFromPostgreSQL::GetAffectedRows() const {
  const char* text = PQcmdTuples(result.get());
  if (text == nullptr || *text == '\0') return 0;
  return ParseDecimal<int32_t>(text, DecimalForm::kUnsigned).value_or(0);
}

std::string ResultSetFromPostgreSQL::GetValueByIndex(int32_t row, int32_t column,
                                                     bool* isNull) const {
  // libpq would complain on stderr about a position outside the result; answer
  // such a read as NULL without asking it.
  if (row < 0 || row >= PQntuples(result.get()) || column < 0 ||
      column >= PQnfields(result.get())) {
    if (isNull) *isNull = true;
    return std::string();
  }
  if (isNull) *isNull = PQgetisnull(result.get(), row, column) == 1;
  const char* value = PQgetvalue(result.get(), row, column);
  return std::string(value, static_cast<size_t>(PQgetlength(result.get(), row, column)));
}
