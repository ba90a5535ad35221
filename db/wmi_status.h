// Outcome of a WQL query on the host engine: an HRESULT-style code (negative on
// failure, with the codes WMI uses for the same faults) and a detail text that
// says what was wrong. Plain value; any thread.
#pragma once

#include <cstdint>
#include <string>

inline constexpr int32_t WBEM_S_NO_ERROR = 0;
inline constexpr int32_t WBEM_E_FAILED = static_cast<int32_t>(0x80041001u);
inline constexpr int32_t WBEM_E_NOT_FOUND = static_cast<int32_t>(0x80041002u);
inline constexpr int32_t WBEM_E_PROVIDER_FAILURE = static_cast<int32_t>(0x80041004u);
inline constexpr int32_t WBEM_E_INVALID_CLASS = static_cast<int32_t>(0x80041010u);
inline constexpr int32_t WBEM_E_INVALID_QUERY = static_cast<int32_t>(0x80041017u);
inline constexpr int32_t WBEM_E_INVALID_OBJECT_PATH = static_cast<int32_t>(0x8004103Au);

struct WmiStatus {
  int32_t code = WBEM_S_NO_ERROR;
  std::string detail;  // empty on success

  bool ok() const { return code >= 0; }
  static WmiStatus Error(int32_t code, std::string detail) { return {code, std::move(detail)}; }
};
