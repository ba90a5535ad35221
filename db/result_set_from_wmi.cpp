#include "db/result_set_from_wmi.h"

#include "platform/text.h"

namespace {
bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}
}  // namespace

ResultSetFromWMI::ResultSetFromWMI(WmiQueryResult r, int32_t status)
    : ResultSet(r.columnNames), result(std::move(r)), status(status) {}

std::string ResultSetFromWMI::GetErrorMessage() const {
  return StrFormat(_("Operation Failed. Error code := 0x%d"), status);
}

std::string ResultSetFromWMI::GetValueByName(int32_t row, std::string_view columnName,
                                             bool* isNull) const {
  for (size_t i = 0; i < result.propertyNames.size(); ++i) {
    if (EqualsNoCase(result.propertyNames[i], columnName)) {
      return GetValueByIndex(row, static_cast<int32_t>(i), isNull);
    }
  }
  if (isNull) *isNull = true;
  return std::string();
}

std::string ResultSetFromWMI::GetValueByIndex(int32_t row, int32_t column, bool* isNull) const {
  if (row < 0 || static_cast<size_t>(row) >= result.rows.size() || column < 0 ||
      static_cast<size_t>(column) >= result.propertyNames.size()) {
    if (isNull) *isNull = true;
    return std::string();
  }
  const WmiValue& v = result.rows[row][column];
  if (isNull) *isNull = v.isNull;
  return v.text;
}
