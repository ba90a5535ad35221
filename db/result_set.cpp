#include "db/result_set.h"

int32_t ResultSet::GetAffectedRows() const { return static_cast<int32_t>(GetRowCount()); }

std::string ResultSet::GetValueByName(int32_t row, std::string_view columnName,
                                      bool* isNull) const {
  for (size_t i = 0; i < columnNames.size(); ++i) {
    if (columnNames[i] == columnName) {
      return GetValueByIndex(row, static_cast<int32_t>(i), isNull);
    }
  }
  return std::string();
}
