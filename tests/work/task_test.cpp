// Tasks that need no database: named parameters, script output parsing,
// batch tasks run as job steps (nothing stored) or failing before storage, and
// the parts of internal tasks that need no service manager.
#include "work/task.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/global_state.h"
#include "support/temp_dir.h"
#include "work/internal_task.h"

namespace {

using List = std::vector<std::string>;

// The central connection of tasks that must not store anything.
class UnusedCentral : public DBConnection {
 public:
  std::unique_ptr<ResultSet> ExecuteQuery(const std::string& query,
                                          const std::vector<std::string>& = {}) override {
    ADD_FAILURE() << "unexpected statement: " << query;
    return nullptr;
  }
  std::string SyncToDB(const ResultSet&, const std::string& table, const std::vector<std::string>&,
                       const std::vector<std::string>&, const std::vector<std::string>&) override {
    ADD_FAILURE() << "unexpected store into " << table;
    return "unexpected";
  }
};

TEST(BindNamedParameters, NumbersOnlyNamesThatOccur) {
  struct Case {
    std::string code;
    List names, values;
    std::string sql;
    List positional;
  } cases[] = {
      {"SELECT %{a}, %{b}, %{a}",
       {"b", "a", "c"},
       {"2", "1", "3"},
       "SELECT $2, $1, $2",
       {"2", "1"}},
      {"SELECT 1", {"x"}, {"9"}, "SELECT 1", {}},
      {"SELECT %{server_id}, %{database_name}",
       {"server_id", "database_name"},
       {"3", "postgres"},
       "SELECT $1, $2",
       {"3", "postgres"}},
      {"SELECT '%{a}' || %{ab}", {"ab", "a"}, {"x", "y"}, "SELECT '$2' || $1", {"x", "y"}},
      {"SELECT %{a}", {}, {}, "SELECT %{a}", {}},
  };
  for (const Case& c : cases) {
    List positional;
    EXPECT_EQ(BindNamedParameters(c.code, c.names, c.values, &positional), c.sql) << c.code;
    EXPECT_EQ(positional, c.positional) << c.code;
  }
}

List Row(const ResultSet& rs, uint32_t row) {
  List out;
  for (size_t j = 0; j < rs.columnNames.size(); ++j) {
    out.push_back(rs.GetValueByIndex(static_cast<int32_t>(row), static_cast<int32_t>(j)));
  }
  return out;
}

TEST(ParseScriptOutput, FirstLineNamesColumnsAndShortLinesAreDropped) {
  int discarded = -1;
  auto rows = ParseScriptOutput("a\tb\r\n1\t2\r\n3\r\n", &discarded);
  EXPECT_EQ(discarded, 1);
  ASSERT_TRUE(rows);
  EXPECT_EQ(rows->columnNames.size(), 2u);
  EXPECT_EQ(rows->columnNames, (List{"a", "b"}));
  ASSERT_EQ(rows->GetRowCount(), 1u);
  EXPECT_EQ(Row(*rows, 0), (List{"1", "2"}));

  rows = ParseScriptOutput("\n\n\ta\t\tb\t\nx\ty\nx\t\ty\nx\ty\tz\n\n");
  ASSERT_TRUE(rows);
  EXPECT_EQ(rows->columnNames.size(), 2u);
  ASSERT_EQ(rows->GetRowCount(), 2u) << "runs of tabs are one separator";
  EXPECT_EQ(Row(*rows, 1), (List{"x", "y"}));

  EXPECT_FALSE(ParseScriptOutput(""));
  EXPECT_FALSE(ParseScriptOutput("\r\n\n\t\t\n"));
}

TEST(BatchTask, JobStepGivesTheOutputWithLfScript) {
  UnusedCentral central;
  BatchTask task("echo one\r\necho two >&2\r\nexit 7\r\n", "", {});
  task.Run(central);
  EXPECT_EQ(task.status, 1) << task.message;
  EXPECT_EQ(task.message, "one\ntwo\n");
  EXPECT_EQ(task.Code(), "echo one\necho two >&2\nexit 7\n");
}

TEST(BatchTask, OutputIsDecodedOnceAsUtf8) {
  UnusedCentral central;
  // A multibyte character split across pipe reads and a stray byte.
  BatchTask task("head -c 4095 /dev/zero | tr '\\0' x; printf '\\303\\251\\377\\n'", "", {});
  task.Run(central);
  EXPECT_EQ(task.status, 1);
  EXPECT_EQ(task.message, std::string(4095, 'x') + "\xC3\xA9\xEF\xBF\xBD\n");
}

TEST(BatchTask, HugeOutputFailsTheTask) {
  UnusedCentral central;
  BatchTask task("head -c 100000000 /dev/zero; echo done", "target", {});
  task.Run(central);
  EXPECT_EQ(task.status, -1);
  EXPECT_NE(task.message.find("more than 16777216 bytes"), std::string::npos) << task.message;
}

TEST(BatchTask, ParameterListMismatchFailsBeforeRunning) {
  UnusedCentral central;
  char dir[] = "/tmp/varo_task_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string mark = std::string(dir) + "/ran";
  BatchTask task("touch " + mark, "target", {});
  task.SetParameters({"server_id", "database_name"}, {"3"});
  task.Run(central);
  EXPECT_EQ(task.status, -1);
  EXPECT_EQ(task.message, "the probe has 2 parameter names but 1 parameter values; it was not run");
  EXPECT_NE(access(mark.c_str(), F_OK), 0);
  rmdir(dir);

  SQLTask sql(1, "db", "SELECT %{a}");
  sql.SetParameters({"a"}, {});
  sql.Run(central);
  EXPECT_EQ(sql.status, -1);
  EXPECT_EQ(sql.message, "the probe has 1 parameter names but 0 parameter values; it was not run");
}

TEST(InternalTaskTest, SplitsTheCodeAtTheFirstSpace) {
  struct Case {
    std::string code, name, arguments;
  };
  for (const Case& c : std::vector<Case>{{"server_stop", "server_stop", ""},
                                         {"server_stop pg", "server_stop", "pg"},
                                         {"server_start a b  c", "server_start", "a b  c"},
                                         {" x", "", "x"},
                                         {"", "", ""}}) {
    InternalTask task(c.code, 0);
    EXPECT_EQ(task.TaskName(), c.name) << c.code;
    EXPECT_EQ(task.Arguments(), c.arguments) << c.code;
  }
}

TEST(InternalTaskTest, MapsSystemctlAnswersToErrorNumbers) {
  struct Case {
    std::string output;
    int32_t number;
  };
  for (const Case& c : std::vector<Case>{
           {"Failed to start x.service: Unit x.service not found.", 1060},
           {"Unit x.service not loaded.", 1060},
           {"Failed to stop x.service: Access denied", 5},
           {"Failed to start x.service: Interactive authentication required.", 5},
           {"Job for x.service failed because the control process exited with error code.", 1064},
           {"", 1064}}) {
    EXPECT_EQ(ServiceErrorNumber(c.output), c.number) << c.output;
  }
}

TEST(InternalTaskTest, OnlyOtherServiceUnitsAreDependents) {
  const std::string listing =
      "postgresql.service\n"
      "app.service\n"
      "\xe2\x97\x8f \xe2\x94\x9c\xe2\x94\x80worker.service\n"
      "  multi-user.target\n"
      "app.service\n"
      "postgresql.socket\n"
      "  reporting.service \r\n";
  EXPECT_EQ(DependentServiceUnits(listing, "postgresql"),
            (std::vector<std::string>{"app.service", "worker.service", "reporting.service"}));
  EXPECT_EQ(DependentServiceUnits(listing, "postgresql.service"),
            (std::vector<std::string>{"app.service", "worker.service", "reporting.service"}));
  EXPECT_TRUE(DependentServiceUnits("", "x").empty());
}

TEST(InternalTaskTest, UnknownNamesAndAMissingSystemctlFailTheStep) {
  UnusedCentral central;
  InternalTask unknown("server_reboot pg", 0);
  unknown.Run(central);
  EXPECT_TRUE(unknown.Failed());
  EXPECT_EQ(unknown.status, -1);
  EXPECT_EQ(unknown.message, "unknown internal task name: server_reboot");

  TempDir empty;
  EnvGuard path("PATH", empty.str());
  for (const char* code :
       {"server_start pg", "server_stop pg", "server_restart pg", "server_stop"}) {
    InternalTask task(code, 0);
    task.Run(central);
    EXPECT_TRUE(task.Failed()) << code;
    EXPECT_EQ(task.status, 1060) << code;
  }
  InternalTask noName("server_stop", 0);
  noName.Run(central);
  EXPECT_EQ(noName.message, "Failed to connect to the '' service. Error: 1060");
}

}  // namespace
