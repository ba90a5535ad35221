// Editing postgresql.conf as text: the job step's argument values, the forms
// values are written in, and setting one line.
#include "work/postgresql_conf.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Values = std::vector<std::string>;

TEST(SplitTaskArguments, SplitsAtBlanksAndJoinsQuotedValues) {
  struct Case {
    std::string text;
    size_t count;
    bool ok;
    Values values;
  };
  const Case cases[] = {
      {"", 3, true, {"", "", ""}},
      {"a b c", 3, true, {"a", "b", "c"}},
      {"  a   b  ", 3, true, {"a", "b", ""}},
      {"a b c d", 2, true, {"a", "b"}},
      {"\"/my data\" 7 10900 extra", 3, true, {"/my data", "7", "10900"}},
      // Quoted values hold blanks; each run of them inside becomes one blank.
      {"/data \"%m [%p] \" x", 3, true, {"/data", "%m [%p] ", "x"}},
      {"\"a   b\" c", 2, true, {"a b", "c"}},
      {"\"\" x", 2, true, {"", "x"}},
      {"\"one\"", 1, true, {"one"}},
      // A lone quote opens a value.
      {"\" a \"", 1, true, {" a "}},
      // Quotes inside a value that does not start with one stay.
      {"it's a\"b", 2, true, {"it's", "a\"b"}},
      // Tabs and line breaks are no separators: they stay in the value.
      {"a\tb c\nd", 2, true, {"a\tb", "c\nd"}},
      // Unterminated quotes.
      {"\"a b", 2, false, {}},
      {"x \"", 2, false, {}},
      // Values past the count are not read, even a broken one.
      {"a \"b", 1, true, {"a"}},
  };
  for (const Case& c : cases) {
    Values values;
    EXPECT_EQ(SplitTaskArguments(c.text, c.count, values), c.ok) << "text: " << c.text;
    if (c.ok) {
      EXPECT_EQ(values, c.values) << "text: " << c.text;
    }
  }
}

TEST(ConfigValueText, QuotesWordsAndRefusesWhatTheServerCouldNotReadBack) {
  struct Case {
    std::string value;
    ConfigValueForm form;
    std::string text;  // empty: refused
  };
  const Case cases[] = {
      {"stderr", ConfigValueForm::kQuoted, "'stderr'"},
      {"", ConfigValueForm::kQuoted, "''"},
      {"it's", ConfigValueForm::kQuoted, "'it''s'"},
      {"''", ConfigValueForm::kQuoted, "''''''"},
      {"C:\\logs\\", ConfigValueForm::kQuoted, "'C:\\\\logs\\\\'"},
      {"/var/log/postgresql", ConfigValueForm::kQuoted, "'/var/log/postgresql'"},
      {"%m [%p] # not a comment", ConfigValueForm::kQuoted, "'%m [%p] # not a comment'"},
      {"a\nb", ConfigValueForm::kQuoted, ""},
      {"a\rb", ConfigValueForm::kQuoted, ""},
      {"on", ConfigValueForm::kWord, "on"},
      {"-1", ConfigValueForm::kWord, "-1"},
      {"250ms", ConfigValueForm::kWord, "250ms"},
      {"debug5", ConfigValueForm::kWord, "debug5"},
      {"", ConfigValueForm::kWord, ""},
      {"on off", ConfigValueForm::kWord, ""},
      {"on#", ConfigValueForm::kWord, ""},
      {"'on'", ConfigValueForm::kWord, ""},
      {"on\n", ConfigValueForm::kWord, ""},
      {"on\t", ConfigValueForm::kWord, ""},
      // Each as the server's own reader takes it or stops at it.
      {"1.5e3", ConfigValueForm::kWord, "1.5e3"},
      {".", ConfigValueForm::kWord, "."},
      {"+5", ConfigValueForm::kWord, "+5"},
      {"0x1F", ConfigValueForm::kWord, "0x1F"},
      {"a:b", ConfigValueForm::kWord, "a:b"},
      {"en_US.UTF-8", ConfigValueForm::kWord, "en_US.UTF-8"},
      {"pg_log/x", ConfigValueForm::kWord, "pg_log/x"},
      {"\xc3\xa9t\xc3\xa9", ConfigValueForm::kWord, "\xc3\xa9t\xc3\xa9"},
      {"-", ConfigValueForm::kWord, ""},
      {"+", ConfigValueForm::kWord, ""},
      {"-on", ConfigValueForm::kWord, ""},
      {"on+", ConfigValueForm::kWord, ""},
      {"1-2", ConfigValueForm::kWord, ""},
      {"1:2", ConfigValueForm::kWord, ""},
      {"1e5", ConfigValueForm::kWord, ""},
      {"1e+5", ConfigValueForm::kWord, ""},
      {"1.2.3", ConfigValueForm::kWord, ""},
      {"a.b", ConfigValueForm::kWord, ""},
      {"/tmp", ConfigValueForm::kWord, ""},
      {"a.b1", ConfigValueForm::kWord, ""},
      {"a.b.c", ConfigValueForm::kWord, "a.b.c"},
      {"a.1", ConfigValueForm::kWord, "a.1"},
      {"0xZ", ConfigValueForm::kWord, "0xZ"},
      {"-.5", ConfigValueForm::kWord, "-.5"},
      {"10", ConfigValueForm::kMegabytes, "10MB"},
      {"0", ConfigValueForm::kMegabytes, "0MB"},
      {"", ConfigValueForm::kMegabytes, ""},
      {"10MB", ConfigValueForm::kMegabytes, ""},
      {"-1", ConfigValueForm::kMegabytes, ""},
      {"1", ConfigValueForm::kDays, "1d"},
      {"1 d", ConfigValueForm::kDays, ""},
  };
  for (const Case& c : cases) {
    std::string error;
    const std::string text = ConfigValueText(c.value, c.form, error);
    EXPECT_EQ(text, c.text) << "value: " << c.value << " form " << static_cast<int>(c.form);
    EXPECT_EQ(error.empty(), !c.text.empty()) << "value: " << c.value;
  }
}

TEST(SplitConfigLines, KeepsLineEndsAndALastLineWithoutOne) {
  EXPECT_EQ(SplitConfigLines(""), Values{});
  EXPECT_EQ(SplitConfigLines("a\n\nb"), (Values{"a\n", "\n", "b"}));
  EXPECT_EQ(SplitConfigLines("a\r\nb\n"), (Values{"a\r\n", "b\n"}));
}

TEST(SetConfigParameter, ReplacesTheLastActiveOrCommentedLineOrAppends) {
  struct Case {
    const char* name;
    std::string before;
    std::string after;
  };
  const Case cases[] = {
      // An active line is replaced, the comment after it too.
      {"log_directory", "a = 1\nlog_directory = 'old'  # where\nb = 2\n",
       "a = 1\nlog_directory = 'new'\nb = 2\n"},
      // Only a commented line: it becomes the active line.
      {"log_directory", "#log_directory = 'log'\t\t# dir\n", "log_directory = 'new'\n"},
      {"log_directory", "###log_directory='log'\n", "log_directory = 'new'\n"},
      // An active line wins over a later commented one.
      {"log_directory", "log_directory = 'a'\n#log_directory = 'b'\n",
       "log_directory = 'new'\n#log_directory = 'b'\n"},
      // Of two active lines only the last is replaced.
      {"log_directory", "log_directory = 'a'\nlog_directory = 'b'\n",
       "log_directory = 'a'\nlog_directory = 'new'\n"},
      // A name that only begins with the wanted one is left alone, the line is added.
      {"log_directory", "log_directory_mode = 'x'\n#log_directory2 = 'y'\n",
       "log_directory_mode = 'x'\n#log_directory2 = 'y'\nlog_directory = 'new'\n"},
      // The name appearing in a value or comment does not count.
      {"log_directory", "other = 'log_directory'\n# see log_directory below\n",
       "other = 'log_directory'\n# see log_directory below\nlog_directory = 'new'\n"},
      // A last line without a line end keeps its own line.
      {"log_directory", "a = 1", "a = 1\nlog_directory = 'new'\n"},
      {"log_directory", "", "log_directory = 'new'\n"},
      // A key without "=" after it, and an active line ending in CR LF.
      {"log_directory", "log_directory\r\n", "log_directory = 'new'\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> lines = SplitConfigLines(c.before);
    SetConfigParameter(lines, c.name, "'new'");
    std::string after;
    for (const std::string& line : lines) after += line;
    EXPECT_EQ(after, c.after) << "before:\n" << c.before;
  }
}

}  // namespace
