#include "db/result_set_with_fixed_rows.h"

std::string ResultSetWithFixedRows::GetErrorMessage() const {
  return "ResultSetWithFixedRows API violation";
}

std::string ResultSetWithFixedRows::GetValueByIndex(int32_t row, int32_t column,
                                                    bool* isNull) const {
  // Rows hold as many texts as their maker put in; a column beyond that reads as
  // NULL rather than touching memory outside the row.
  if (row < 0 || static_cast<size_t>(row) >= rows.size() || column < 0 ||
      static_cast<size_t>(column) >= rows[row]->size()) {
    if (isNull) *isNull = true;
    return std::string();
  }
  if (isNull) *isNull = false;
  return (*rows[row])[column];
}

const ResultSetWithFixedRows::Row& ResultSetWithFixedRows::AddRow(const Row& row) {
  if (rows.size() == capacity) {
    capacity = capacity == 0 ? 10 : capacity * 2;
    rows.reserve(capacity);
  }
  rows.push_back(std::make_unique<Row>(row));
  return *rows.back();
}
