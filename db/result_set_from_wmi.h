// The objects returned by a WQL query, read through the common result-set
// interface: one row per object, one column per selected property (names
// lower-cased). Every value is fetched when the query runs, so reads never touch
// the host. Immutable after construction; its reads may be shared between threads.
#pragma once

#include "db/result_set.h"
#include "db/wmi_host.h"

class ResultSetFromWMI : public ResultSet {
 public:
  ResultSetFromWMI(WmiQueryResult result, int32_t status);

  bool IsOk() const override { return status >= 0; }
  std::string GetErrorMessage() const override;
  uint32_t GetRowCount() const override { return static_cast<uint32_t>(result.rows.size()); }
  // Property names match without regard to case (Name, name and NAME are one
  // property). A property the query did not select, or a row outside the
  // result, reads as an empty text with *isNull true.
  std::string GetValueByName(int32_t row, std::string_view columnName,
                             bool* isNull = nullptr) const override;
  std::string GetValueByIndex(int32_t row, int32_t column, bool* isNull = nullptr) const override;

 private:
  WmiQueryResult result;
  int32_t status;
};
