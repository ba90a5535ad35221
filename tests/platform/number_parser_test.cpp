// The decimal-number parser: each form against the texts its callers meet,
// with the edges of the result types.
#include "platform/number_parser.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace {

constexpr int32_t kMin32 = std::numeric_limits<int32_t>::min();
constexpr int32_t kMax32 = std::numeric_limits<int32_t>::max();

TEST(ParseDecimal, FormsAgainstTheTextsCallersMeet) {
  struct Case {
    std::string text;
    std::optional<int32_t> asSigned;
    std::optional<int32_t> asUnsigned;
    int32_t asLeading;
  };
  const Case cases[] = {
      {"0", 0, 0, 0},
      {"42", 42, 42, 42},
      {"007", 7, 7, 7},
      {"+42", 42, std::nullopt, 42},
      {"-42", -42, std::nullopt, -42},
      {"-0", 0, std::nullopt, 0},
      {"", std::nullopt, std::nullopt, 0},
      {"+", std::nullopt, std::nullopt, 0},
      {"-", std::nullopt, std::nullopt, 0},
      {"abc", std::nullopt, std::nullopt, 0},
      {" 12", std::nullopt, std::nullopt, 12},
      {"\t\n-12", std::nullopt, std::nullopt, -12},
      {"12 ", std::nullopt, std::nullopt, 12},
      {"12xyz", std::nullopt, std::nullopt, 12},
      {"1.5", std::nullopt, std::nullopt, 1},
      {"0x10", std::nullopt, std::nullopt, 0},
      {"+-5", std::nullopt, std::nullopt, 0},
      {"--5", std::nullopt, std::nullopt, 0},
      {"- 5", std::nullopt, std::nullopt, 0},
      {"2147483647", kMax32, kMax32, kMax32},
      {"2147483648", std::nullopt, std::nullopt, kMax32},
      {"-2147483648", kMin32, std::nullopt, kMin32},
      {"-2147483649", std::nullopt, std::nullopt, kMin32},
      {"99999999999999999999999", std::nullopt, std::nullopt, kMax32},
      {"-99999999999999999999999", std::nullopt, std::nullopt, kMin32},
      {std::string("5\0", 2), std::nullopt, std::nullopt, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("text \"" + c.text + "\"");
    EXPECT_EQ(ParseDecimal<int32_t>(c.text, DecimalForm::kSigned), c.asSigned);
    EXPECT_EQ(ParseDecimal<int32_t>(c.text, DecimalForm::kUnsigned), c.asUnsigned);
    EXPECT_EQ(ParseDecimal<int32_t>(c.text, DecimalForm::kLeading), c.asLeading);
  }
}

TEST(ParseDecimal, EdgesOfOtherTypes) {
  EXPECT_EQ(ParseDecimal<uint64_t>("18446744073709551615", DecimalForm::kUnsigned),
            std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(ParseDecimal<uint64_t>("18446744073709551616", DecimalForm::kUnsigned), std::nullopt);
  EXPECT_EQ(ParseDecimal<int64_t>("-9223372036854775808"), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(ParseDecimal<int64_t>("9223372036854775808"), std::nullopt);
  EXPECT_EQ(ParseDecimal<int64_t>("-9223372036854775809", DecimalForm::kLeading),
            std::numeric_limits<int64_t>::min());
  EXPECT_EQ(ParseDecimal<uint16_t>("65535"), 65535);
  EXPECT_EQ(ParseDecimal<uint16_t>("65536"), std::nullopt);
  EXPECT_EQ(ParseDecimal<uint16_t>("-1"), std::nullopt);
  EXPECT_EQ(ParseDecimal<uint16_t>("-1", DecimalForm::kLeading), 0);
  EXPECT_EQ(ParseDecimal<uint16_t>("-0"), 0);
}

}  // namespace
