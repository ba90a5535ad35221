#include "platform/number_parser.h"

namespace {

bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

ScannedDecimal ScanDecimal(std::string_view text, DecimalForm form) {
  ScannedDecimal result;
  size_t i = 0;
  if (form == DecimalForm::kLeading) {
    while (i < text.size() && IsBlank(text[i])) ++i;
  }
  if (form != DecimalForm::kUnsigned && i < text.size() && (text[i] == '+' || text[i] == '-')) {
    result.negative = text[i] == '-';
    ++i;
  }
  const size_t firstDigit = i;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
    if (result.magnitude > (UINT64_MAX - digit) / 10) result.overflow = true;
    if (!result.overflow) result.magnitude = result.magnitude * 10 + digit;
  }
  if (form == DecimalForm::kLeading) {
    // atoi reads what digits there are; with none the number is 0.
    result.valid = true;
    if (i == firstDigit) result.negative = false;
    return result;
  }
  result.valid = i > firstDigit && i == text.size();
  return result;
}
