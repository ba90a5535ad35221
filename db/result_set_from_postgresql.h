// The outcome of one libpq statement: owns the PGresult. Lives independently of
// the connection that made it. Read-only after construction.
#pragma once

#include "db/pg_handles.h"
#include "db/result_set.h"

class ResultSetFromPostgreSQL : public ResultSet {
 public:
  // Takes over `result`, which must not be null.
  explicit ResultSetFromPostgreSQL(PGresultPtr result);

  bool IsOk() const override;
  // The server's message, or the status name (PGRES_EMPTY_QUERY, ...) when the
  // server gave none.
  std::string GetErrorMessage() const override;
  uint32_t GetRowCount() const override;
  // The count of the command status; 0 when it is empty or not a number.
  int32_t GetAffectedRows() const override;
  std::string GetValueByIndex(int32_t row, int32_t column, bool* isNull = nullptr) const override;

 private:
  PGresultPtr result;
};
