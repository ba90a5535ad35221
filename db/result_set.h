// Outcome of a statement or query: rows of text values, or an error. Every
// source of rows (PostgreSQL, WMI, rows built in memory) is read through this
// interface. A result set is owned by one thread at a time; its const reads may
// be shared once it is complete.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class ResultSet {
 public:
  ResultSet() = default;
  explicit ResultSet(std::vector<std::string> names) : columnNames(std::move(names)) {}
  virtual ~ResultSet() = default;
  ResultSet(const ResultSet&) = delete;
  ResultSet& operator=(const ResultSet&) = delete;

  // True when the statement or query succeeded.
  virtual bool IsOk() const = 0;
  virtual std::string GetErrorMessage() const = 0;
  virtual uint32_t GetRowCount() const = 0;
  // Rows touched by a command; the base answers GetRowCount().
  virtual int32_t GetAffectedRows() const;
  // Value of the first column named exactly `columnName` (case-sensitive). When
  // there is no such column the answer is empty and *isNull is left unwritten.
  virtual std::string GetValueByName(int32_t row, std::string_view columnName,
                                     bool* isNull = nullptr) const;
  // Value at (row, column); *isNull tells an SQL NULL from an empty text. A
  // position outside the result gives an empty text with *isNull true.
  virtual std::string GetValueByIndex(int32_t row, int32_t column,
                                      bool* isNull = nullptr) const = 0;

  // Names of the result columns in result order; empty for a result without columns.
  std::vector<std::string> columnNames;
};
