// Rows built in memory by the agent itself (internal probes, parsed script
// output), read through the common result-set interface. Not thread-safe while
// rows are being added.
#pragma once

#include <cstddef>
#include <memory>

#include "db/result_set.h"

class ResultSetWithFixedRows : public ResultSet {
 public:
  using Row = std::vector<std::string>;

  explicit ResultSetWithFixedRows(std::vector<std::string> names) : ResultSet(std::move(names)) {}

  bool IsOk() const override { return true; }
  std::string GetErrorMessage() const override;
  uint32_t GetRowCount() const override { return static_cast<uint32_t>(rows.size()); }
  std::string GetValueByIndex(int32_t row, int32_t column, bool* isNull = nullptr) const override;

  // Appends a copy of `row` (one text per column, by convention) and returns the
  // stored copy, which stays valid (at the same address) while the result set
  // lives, however many rows are added after it. Room grows from 10 rows by
  // doubling.
  virtual const Row& AddRow(const Row& row);

  // Rows the table has room for before it grows again.
  size_t GetCapacity() const { return capacity; }

 private:
  // Each row is allocated on its own, so growing the table moves only the
  // pointers and never the rows that AddRow handed out.
  std::vector<std::unique_ptr<Row>> rows;
  size_t capacity = 0;
};
