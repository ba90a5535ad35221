// The array-literal reader with the literals the central database sends.
#include "work/array_literal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(ParseArrayLiteral, ReadsElements) {
  using List = std::vector<std::string>;
  struct Case {
    std::string in;
    List out;
  } cases[] = {
      {"", {}},
      {"no brace", {}},
      {"{", {}},
      {"{}", {}},
      {"{a}", {"a"}},
      {"{3,postgres}", {"3", "postgres"}},
      {"{a,\"b,c\",d}", {"a", "b,c", "d"}},
      {"{\"say \\\"hi\\\"\",x}", {"say \"hi\"", "x"}},
      {"{\"a\\\\b\"}", {"a\\b"}},  // only the escaping backslash goes
      {"{a\\\\b}", {"a\\b"}},
      {"{a\\b}", {"ab"}},
      {"{\"a}b\"}", {"a}b"}},
      {"{NULL,\"\"}", {"NULL", ""}},
      {"{,}", {""}},
      {"{a,b}trailing,c", {"a", "b"}},  // stops at the closing brace
      {"{\"unterminated", {"unterminated"}},
      {"{\"ends in backslash\\", {"ends in backslash"}},
      {"x{y}", {"y"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseArrayLiteral(c.in), c.out) << c.in;
  }
}

}  // namespace
