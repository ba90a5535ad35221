// The one parser of decimal numbers in text (settings, option values, flag
// file names, texts read back from the database). Pure functions; any thread.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <type_traits>

// How much of the text a number may take and what else it may hold.
enum class DecimalForm {
  // An optional "+" or "-" and digits, filling the whole text: no blanks, no
  // other characters. A value outside the result type is no number.
  kSigned,
  // Digits only, filling the whole text. A value outside the result type is
  // no number.
  kUnsigned,
  // As C's atoi reads a number: leading blanks, an optional sign and the
  // digits that follow; the rest is ignored, no digits read as 0, and a value
  // beyond the result type gives its nearest end. Always a number.
  kLeading,
};

// What the text holds before it is fitted to a type.
struct ScannedDecimal {
  bool valid = false;  // the text has the form asked for
  bool negative = false;
  bool overflow = false;  // the magnitude does not fit 64 bits
  uint64_t magnitude = 0;
};

ScannedDecimal ScanDecimal(std::string_view text, DecimalForm form);

// The number in `text` as an integer of type T, or none when the text does
// not have `form` or the value does not fit T (kLeading: see above).
template <typename T>
std::optional<T> ParseDecimal(std::string_view text, DecimalForm form = DecimalForm::kSigned) {
  static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>);
  const ScannedDecimal d = ScanDecimal(text, form);
  if (!d.valid) return std::nullopt;
  const bool saturate = form == DecimalForm::kLeading;
  constexpr uint64_t kMaxMagnitude = static_cast<uint64_t>(std::numeric_limits<T>::max());
  if (!d.negative || d.magnitude == 0) {
    if (d.overflow || d.magnitude > kMaxMagnitude) {
      return saturate ? std::optional<T>(std::numeric_limits<T>::max()) : std::nullopt;
    }
    return static_cast<T>(d.magnitude);
  }
  if constexpr (std::is_unsigned_v<T>) {
    return saturate ? std::optional<T>(0) : std::nullopt;
  } else {
    constexpr uint64_t kMinMagnitude = kMaxMagnitude + 1;
    if (d.overflow || d.magnitude > kMinMagnitude) {
      return saturate ? std::optional<T>(std::numeric_limits<T>::min()) : std::nullopt;
    }
    if (d.magnitude == kMinMagnitude) return std::numeric_limits<T>::min();
    return static_cast<T>(-static_cast<T>(d.magnitude));
  }
}
