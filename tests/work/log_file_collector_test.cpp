// The argument splitting of the log collection job steps.
#include "work/log_file_collector.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(SplitTaskArguments, SplitsAtBlanksAndKeepsQuotedValues) {
  struct Case {
    std::string in;
    std::vector<std::string> out;
    bool ok;
  } cases[] = {
      {"", {"", "", ""}, true},
      {"/data 7 10900", {"/data", "7", "10900"}, true},
      {"  /data   7  ", {"/data", "7", ""}, true},
      {"\"/my data\" 7 10900 extra", {"/my data", "7", "10900"}, true},
      {"\"/my data 7", {"", "", ""}, false},
  };
  for (const Case& c : cases) {
    std::vector<std::string> values;
    EXPECT_EQ(SplitTaskArguments(c.in, 3, &values), c.ok) << c.in;
    if (c.ok) {
      EXPECT_EQ(values, c.out) << c.in;
    }
  }
}

}  // namespace
