// A result set that only carries an error text: used where no statement could
// be sent or libpq gave no result. Immutable after construction.
#pragma once

#include "db/result_set.h"

class ResultSetWithFixedError : public ResultSet {
 public:
  explicit ResultSetWithFixedError(std::string text) : errorText(std::move(text)) {}

  bool IsOk() const override { return false; }
  std::string GetErrorMessage() const override { return errorText; }
  uint32_t GetRowCount() const override { return 0; }
  std::string GetValueByIndex(int32_t, int32_t, bool* isNull = nullptr) const override {
    if (isNull) *isNull = true;
    return std::string();
  }

 private:
  std::string errorText;
};
