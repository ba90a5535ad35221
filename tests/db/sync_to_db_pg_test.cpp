// Result synchronisation against a real server: what ends up stored, and which
// statements were actually sent, read back from the server's statement log.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "db/db_connection_to_postgresql.h"
#include "db/db_connection_with_mutex.h"
#include "db/result_set_with_fixed_error.h"
#include "db/result_set_with_fixed_rows.h"
#include "support/pg_cluster.h"

namespace {

constexpr const char* kNull = "<null>";

class SyncToDBTest : public ::testing::Test {
 protected:
  void SetUp() override {
    conn = PgCluster::Get().ConnectDB("monitored");
    ASSERT_TRUE(conn);
    Run("CREATE SCHEMA IF NOT EXISTS synctest");
    pid = conn->ExecuteQuery("SELECT pg_backend_pid()")->GetValueByIndex(0, 0);
    // Only this session's statements are logged, so other tests of the binary
    // cannot disturb the counts.
    Run("SET log_statement = 'all'");
  }

  void Run(const std::string& sql) {
    auto r = conn->ExecuteQuery(sql);
    ASSERT_TRUE(r->IsOk()) << sql << ": " << r->GetErrorMessage();
  }

  // A table with a scope column, a key, a value and the recorded time; its
  // default time is fixed in the past so that a set time shows.
  std::string MakeTable(const std::string& name, const std::string& extra = "") {
    const std::string table = "synctest." + name;
    Run("DROP TABLE IF EXISTS " + table);
    Run("CREATE TABLE " + table +
        " (server_id int, name text, size text, recorded_time timestamptz NOT NULL DEFAULT "
        "'2000-01-01 00:00:00+00'" +
        extra + ")");
    return table;
  }

  // Every row of `sql` as "v1|v2|...", NULL shown as <null>.
  std::vector<std::string> Rows(const std::string& sql) {
    auto r = conn->ExecuteQuery(sql);
    EXPECT_TRUE(r->IsOk()) << sql << ": " << r->GetErrorMessage();
    std::vector<std::string> rows;
    for (uint32_t i = 0; i < r->GetRowCount(); ++i) {
      std::string line;
      for (size_t c = 0; c < r->columnNames.size(); ++c) {
        bool isNull = false;
        std::string v = r->GetValueByIndex(i, c, &isNull);
        if (c > 0) line += "|";
        line += isNull ? kNull : v;
      }
      rows.push_back(line);
    }
    return rows;
  }

  // Remembers where the server log ends; Statements() returns what this session
  // sent after that point.
  void Mark() { logOffset = LogText().size(); }
  std::vector<std::string> Statements() {
    // Statements are logged before they run, so a marker that has returned is
    // already in the file, and so is everything sent before it.
    Run("SELECT 'end of sync'");
    const std::string prefix = "[" + pid + "] LOG:  statement: ";
    std::istringstream in(LogText().substr(logOffset));
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) {
      const size_t at = line.find(prefix);
      if (at == std::string::npos) continue;
      std::string statement = line.substr(at + prefix.size());
      if (statement == "SELECT 'end of sync'") break;
      out.push_back(statement);
    }
    return out;
  }

  static std::string LogText() {
    std::ifstream in(PgCluster::Get().logFile());
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  static std::unique_ptr<ResultSetWithFixedRows> Fixed(
      const std::vector<std::string>& names, const std::vector<std::vector<std::string>>& rows) {
    auto r = std::make_unique<ResultSetWithFixedRows>(names);
    for (const auto& row : rows) r->AddRow(row);
    return r;
  }

  std::unique_ptr<DBConnectionToPostgreSQL> conn;
  std::string pid;
  size_t logOffset = 0;
};

using Strings = std::vector<std::string>;

TEST_F(SyncToDBTest, UpdateInsertDeleteWithExactTexts) {
  const std::string t = MakeTable("example");
  Run("INSERT INTO " + t +
      " (server_id, name, size) VALUES (3, 'a', '9'), (3, 'c', '1'), "
      "(3, 'same', '5'), (4, 'a', '9'), (4, 'c', '1')");
  auto fresh = conn->ExecuteQuery(
      "SELECT * FROM (VALUES ('a', '10'), ('b', NULL), ('same', '5')) AS v(name, size)");
  ASSERT_TRUE(fresh->IsOk());
  Mark();
  EXPECT_EQ(conn->SyncToDB(*fresh, t, {"name"}, {"server_id"}, {"3"}), "");
  EXPECT_EQ(
      Statements(),
      (Strings{
          "SELECT \"name\", \"size\", tableoid, ctid FROM " + t + " WHERE \"server_id\" = '3'",
          "UPDATE " + t +
              " SET \"size\" = '10', recorded_time = now() WHERE \"name\" = 'a' AND "
              "\"server_id\" = '3'",
          "INSERT INTO " + t + " (\"name\", \"size\", \"server_id\") VALUES ('b', NULL, '3')",
          "DELETE FROM " + t + " WHERE \"name\" = 'c' AND \"server_id\" = '3'",
      }));
  EXPECT_EQ(Rows("SELECT server_id, name, size FROM " + t + " ORDER BY 1, 2"),
            (Strings{"3|a|10", "3|b|<null>", "3|same|5", "4|a|9", "4|c|1"}));

  // A second run with the same rows finds nothing to do: only the target query.
  Mark();
  EXPECT_EQ(conn->SyncToDB(*fresh, t, {"name"}, {"server_id"}, {"3"}), "");
  EXPECT_EQ(Statements(), (Strings{"SELECT \"name\", \"size\", tableoid, ctid FROM " + t +
                                   " WHERE \"server_id\" = '3'"}));
}

TEST_F(SyncToDBTest, RecordedTimeIsSetOnlyByUpdate) {
  const std::string t = MakeTable("times");
  Run("INSERT INTO " + t + " (server_id, name, size) VALUES (1, 'kept', 'x'), (1, 'changed', 'x')");
  auto fresh = Fixed({"name", "size"}, {{"kept", "x"}, {"changed", "y"}, {"new", "z"}});
  EXPECT_EQ(conn->SyncToDB(*fresh, t, {"name"}, {"server_id"}, {"1"}), "");
  EXPECT_EQ(Rows("SELECT name, size, recorded_time > '2001-01-01' FROM " + t + " ORDER BY name"),
            (Strings{"changed|y|t", "kept|x|f", "new|z|f"}));
}

TEST_F(SyncToDBTest, EmptyResultWithColumnsDeletesTheWholeScope) {
  const std::string t = MakeTable("emptied");
  Run("INSERT INTO " + t +
      " (server_id, name, size) VALUES (1, 'a', '1'), (1, 'b', '2'), "
      "(1, 'c', '3'), (2, 'a', '1')");
  ResultSetWithFixedRows empty({"name", "size"});
  Mark();
  EXPECT_EQ(conn->SyncToDB(empty, t, {"name"}, {"server_id"}, {"1"}), "");
  const Strings sent = Statements();
  ASSERT_EQ(sent.size(), 4u);
  for (size_t i = 1; i < sent.size(); ++i) EXPECT_EQ(sent[i].rfind("DELETE FROM ", 0), 0u);
  EXPECT_EQ(Rows("SELECT server_id, name FROM " + t), (Strings{"2|a"}));
}

TEST_F(SyncToDBTest, FailedResultsAreNeverStored) {
  const std::string t = MakeTable("failed");
  Run("INSERT INTO " + t + " (server_id, name, size) VALUES (1, 'a', '1')");
  auto failed = conn->ExecuteQuery("SELECT * FROM no_such_table");
  ASSERT_FALSE(failed->IsOk());
  ResultSetWithFixedError fixedError("the probe failed");
  Mark();
  EXPECT_EQ(conn->SyncToDB(*failed, t, {"name"}, {"server_id"}, {"1"}),
            "query returned no result columns");
  EXPECT_EQ(conn->SyncToDB(fixedError, t, {"name"}, {"server_id"}, {"1"}),
            "query returned no result columns");
  EXPECT_TRUE(Statements().empty());
  EXPECT_EQ(Rows("SELECT name FROM " + t), (Strings{"a"}));
}

TEST_F(SyncToDBTest, ColumnChecksStopBeforeAnyChange) {
  const std::string t = MakeTable("checks");
  Run("INSERT INTO " + t + " (server_id, name, size) VALUES (1, 'a', '1')");
  auto rows = Fixed({"name", "size"}, {{"b", "2"}});

  // Key named in another case than the result column.
  Mark();
  EXPECT_EQ(conn->SyncToDB(*rows, t, {"Name"}, {"server_id"}, {"1"}),
            "key column Name not found among columns of result set");
  EXPECT_EQ(Statements().size(), 1u);  // the target query only

  // A result column the table lacks: the server's own text.
  auto extra = Fixed({"name", "colour"}, {{"b", "red"}});
  std::string error = conn->SyncToDB(*extra, t, {"name"}, {"server_id"}, {"1"});
  EXPECT_NE(error.find("colour"), std::string::npos) << error;

  // A missing table.
  error = conn->SyncToDB(*rows, "synctest.no_such_table", {"name"}, {"server_id"}, {"1"});
  EXPECT_NE(error.find("no_such_table"), std::string::npos) << error;

  // Filter columns and values that do not line up.
  EXPECT_EQ(conn->SyncToDB(*rows, t, {"name"}, {"server_id"}, {}),
            "1 filter columns but 0 filter values");
  EXPECT_EQ(Rows("SELECT name, size FROM " + t), (Strings{"a|1"}));
}

TEST_F(SyncToDBTest, NullAndEmptyTextAreDifferentValues) {
  const std::string t = MakeTable("nulls");
  Run("INSERT INTO " + t +
      " (server_id, name, size) VALUES (1, 'was_empty', ''), "
      "(1, 'was_null', NULL)");
  auto fresh = conn->ExecuteQuery(
      "SELECT * FROM (VALUES ('was_empty', NULL), ('was_null', '')) AS v(name, size)");
  Mark();
  EXPECT_EQ(conn->SyncToDB(*fresh, t, {"name"}, {"server_id"}, {"1"}), "");
  const Strings sent = Statements();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_NE(sent[1].find("SET \"size\" = NULL,"), std::string::npos) << sent[1];
  EXPECT_NE(sent[2].find("SET \"size\" = '',"), std::string::npos) << sent[2];
  EXPECT_EQ(Rows("SELECT name, size FROM " + t + " ORDER BY name"),
            (Strings{"was_empty|<null>", "was_null|"}));
}

// A stored NULL key and a new empty-text key are different rows: the NULL row is
// removed (named with IS NULL) and the '' row inserted; a NULL key matched by a
// NULL key is updated in place.
TEST_F(SyncToDBTest, NullKeysConverge) {
  const std::string t = MakeTable("nullkeys");
  Run("INSERT INTO " + t + " (server_id, name, size) VALUES (1, NULL, 'old')");
  auto empty = Fixed({"name", "size"}, {{"", "new"}});
  EXPECT_EQ(conn->SyncToDB(*empty, t, {"name"}, {"server_id"}, {"1"}), "");
  EXPECT_EQ(Rows("SELECT name, size FROM " + t), (Strings{"|new"}));

  Run("DELETE FROM " + t);
  Run("INSERT INTO " + t + " (server_id, name, size) VALUES (1, NULL, 'old'), (1, '', 'x')");
  auto fresh = conn->ExecuteQuery("SELECT NULL::text AS name, 'new' AS size");
  Mark();
  EXPECT_EQ(conn->SyncToDB(*fresh, t, {"name"}, {"server_id"}, {"1"}), "");
  const Strings sent = Statements();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[1], "UPDATE " + t +
                         " SET \"size\" = 'new', recorded_time = now() WHERE \"name\" IS NULL "
                         "AND \"server_id\" = '1'");
  EXPECT_EQ(sent[2], "DELETE FROM " + t + " WHERE \"name\" = '' AND \"server_id\" = '1'");
  EXPECT_EQ(Rows("SELECT name, size FROM " + t), (Strings{"<null>|new"}));
}

TEST_F(SyncToDBTest, DuplicateKeysPairOneByOne) {
  const std::string t = MakeTable("dups");
  // More new rows than stored ones: pairs in order, the rest inserted.
  Run("INSERT INTO " + t + " (server_id, name, size) VALUES (1, 'a', '1')");
  auto more = Fixed({"name", "size"}, {{"a", "1"}, {"a", "2"}, {"a", "3"}});
  Mark();
  EXPECT_EQ(conn->SyncToDB(*more, t, {"name"}, {"server_id"}, {"1"}), "");
  EXPECT_EQ(Statements().size(), 3u);  // target query and two INSERTs
  EXPECT_EQ(Rows("SELECT size FROM " + t + " ORDER BY size"), (Strings{"1", "2", "3"}));

  // Fewer new rows than stored rows of one key: the key alone would name all of
  // them, so each statement touches only the one row it was paired with.
  auto fewer = Fixed({"name", "size"}, {{"a", "5"}});
  EXPECT_EQ(conn->SyncToDB(*fewer, t, {"name"}, {"server_id"}, {"1"}), "");
  EXPECT_EQ(Rows("SELECT name, size FROM " + t), (Strings{"a|5"}));

  // Two of a key changing values in place.
  auto two = Fixed({"name", "size"}, {{"a", "6"}, {"a", "7"}});
  EXPECT_EQ(conn->SyncToDB(*two, t, {"name"}, {"server_id"}, {"1"}), "");
  auto swapped = Fixed({"name", "size"}, {{"a", "8"}, {"a", "9"}});
  EXPECT_EQ(conn->SyncToDB(*swapped, t, {"name"}, {"server_id"}, {"1"}), "");
  EXPECT_EQ(Rows("SELECT name, size FROM " + t + " ORDER BY size"), (Strings{"a|8", "a|9"}));
}

TEST_F(SyncToDBTest, EmptyScopeHasNoWherePart) {
  const std::string t = MakeTable("noscope");
  Run("INSERT INTO " + t + " (name, size) VALUES ('a', '1'), ('gone', '2')");
  auto fresh = Fixed({"name", "size"}, {{"a", "2"}, {"b", "3"}});
  Mark();
  EXPECT_EQ(conn->SyncToDB(*fresh, t, {"name"}, {}, {}), "");
  EXPECT_EQ(Statements(),
            (Strings{
                "SELECT \"name\", \"size\", tableoid, ctid FROM " + t,
                "UPDATE " + t + " SET \"size\" = '2', recorded_time = now() WHERE \"name\" = 'a'",
                "INSERT INTO " + t + " (\"name\", \"size\") VALUES ('b', '3')",
                "DELETE FROM " + t + " WHERE \"name\" = 'gone'",
            }));
}

TEST_F(SyncToDBTest, NoKeyColumnsWithOneStoredRowUsesTheScope) {
  const std::string t = MakeTable("single");
  Run("INSERT INTO " + t + " (server_id, name, size) VALUES (1, 'only', '1'), (2, 'other', '1')");
  auto fresh = Fixed({"size"}, {{"2"}});
  Mark();
  EXPECT_EQ(conn->SyncToDB(*fresh, t, {}, {"server_id"}, {"1"}), "");
  EXPECT_EQ(Statements(),
            (Strings{"SELECT \"size\", tableoid, ctid FROM " + t + " WHERE \"server_id\" = '1'",
                     "UPDATE " + t +
                         " SET \"size\" = '2', recorded_time = now() WHERE \"server_id\" = '1'"}));
  ResultSetWithFixedRows none({"size"});
  EXPECT_EQ(conn->SyncToDB(none, t, {}, {"server_id"}, {"1"}), "");
  EXPECT_EQ(Rows("SELECT server_id, size FROM " + t), (Strings{"2|1"}));
  EXPECT_EQ(conn->SyncToDB(*fresh, t, {}, {"server_id"}, {"1"}), "");
  EXPECT_EQ(Rows("SELECT server_id, size FROM " + t + " ORDER BY 1"), (Strings{"1|2", "2|1"}));
}

// Without key columns each statement names its own stored row; the scope alone
// would rewrite every row and then delete them all.
TEST_F(SyncToDBTest, NoKeyColumnsWithSeveralStoredRowsEndsWithTheNewRows) {
  const std::string t = MakeTable("nokeys");
  Run("INSERT INTO " + t +
      " (server_id, name, size) VALUES (1, 'x', '1'), (1, 'y', '2'), "
      "(1, 'z', NULL), (2, 'x', '1')");
  auto fresh = Fixed({"name", "size"}, {{"p", "7"}, {"y", "2"}});
  EXPECT_EQ(conn->SyncToDB(*fresh, t, {}, {"server_id"}, {"1"}), "");
  EXPECT_EQ(Rows("SELECT server_id, name, size FROM " + t + " ORDER BY 1, 2"),
            (Strings{"1|p|7", "1|y|2", "2|x|1"}));
  // Rows without keys pair in stored order, which the updates above changed, so
  // a second run may swap values between rows; the rows stored stay the new ones.
  EXPECT_EQ(conn->SyncToDB(*fresh, t, {}, {"server_id"}, {"1"}), "");
  EXPECT_EQ(Rows("SELECT server_id, name, size FROM " + t + " ORDER BY 1, 2"),
            (Strings{"1|p|7", "1|y|2", "2|x|1"}));
}

TEST_F(SyncToDBTest, NoKeyColumnsOnAPartitionedTableLeaveOtherScopesAlone) {
  // Each server's rows sit in their own partition, where the first row of
  // every partition has the same ctid; the rows of server 2 must survive a
  // sync of server 1.
  const std::string t = "synctest.parted";
  Run("DROP TABLE IF EXISTS " + t);
  Run("CREATE TABLE " + t +
      " (server_id int, name text, size text, recorded_time timestamptz DEFAULT now())"
      " PARTITION BY LIST (server_id)");
  Run("CREATE TABLE synctest.parted_1 PARTITION OF " + t + " FOR VALUES IN (1)");
  Run("CREATE TABLE synctest.parted_2 PARTITION OF " + t + " FOR VALUES IN (2)");
  Run("INSERT INTO " + t +
      " (server_id, name, size) VALUES (1, 'a', '1'), (1, 'b', '2'), "
      "(2, 'a', '1'), (2, 'b', '2')");
  auto fresh = Fixed({"name", "size"}, {{"c", "3"}});
  EXPECT_EQ(conn->SyncToDB(*fresh, t, {}, {"server_id"}, {"1"}), "");
  EXPECT_EQ(Rows("SELECT server_id, name, size FROM " + t + " ORDER BY 1, 2"),
            (Strings{"1|c|3", "2|a|1", "2|b|2"}));
}

// Rows without a key are named by table and ctid, so columns whose type has no
// equality with a text literal (json, xml, point) or whose text does not read
// back exactly (float at extra_float_digits = 0) are no obstacle: the table
// ends up holding the new rows, and a second run finds nothing to do.
TEST_F(SyncToDBTest, ExactRowsConvergeForEveryColumnType) {
  const std::string t = "synctest.types";
  Run("DROP TABLE IF EXISTS " + t);
  Run("CREATE TABLE " + t +
      " (server_id int, doc json, markup xml, spot point, ratio float8, "
      "recorded_time timestamptz DEFAULT now())");
  Run("SET extra_float_digits = 0");
  Run("INSERT INTO " + t +
      " (server_id, doc, markup, spot, ratio) VALUES "
      "(1, '{\"a\": 1}', '<a/>', '(1,2)', 1.0/3), "
      "(1, '{\"b\": 2}', '<b/>', '(3,4)', 2.0/3), "
      "(1, '[1]', '<c/>', '(5,6)', 0.1), "
      "(2, '{\"a\": 1}', '<a/>', '(1,2)', 1.0/3)");
  const std::string sameAsStored =
      "SELECT doc, markup, spot, ratio FROM " + t + " WHERE server_id = 1";
  const std::vector<std::string> names = {"doc", "markup", "spot", "ratio"};

  // Fewer rows, all values changed: updates by ctid, the rest deleted by ctid.
  auto fresh = Fixed(
      names, {{"{\"z\": 9}", "<z/>", "(9,9)", "0.25"}, {"[2, 3]", "<y>t</y>", "(0,0)", "0.5"}});
  EXPECT_EQ(conn->SyncToDB(*fresh, t, {}, {"server_id"}, {"1"}), "");
  EXPECT_EQ(Rows("SELECT doc::text, markup::text, spot::text, ratio FROM " + t +
                 " WHERE server_id = 1 ORDER BY ratio"),
            (Strings{"{\"z\": 9}|<z/>|(9,9)|0.25", "[2, 3]|<y>t</y>|(0,0)|0.5"}));
  EXPECT_EQ(Rows("SELECT count(*) FROM " + t + " WHERE server_id = 2"), (Strings{"1"}));

  // The stored rows themselves, as read at 15 digits: the thirds do not read
  // back exactly, yet their rows are found and the table converges.
  Run("DELETE FROM " + t + " WHERE server_id = 1");
  Run("INSERT INTO " + t +
      " (server_id, doc, markup, spot, ratio) VALUES "
      "(1, '{\"a\": 1}', '<a/>', '(1,2)', 1.0/3), (1, '{\"b\": 2}', '<b/>', '(3,4)', 2.0/3)");
  auto current = conn->ExecuteQuery(sameAsStored);
  ASSERT_TRUE(current->IsOk()) << current->GetErrorMessage();
  auto withNew = Fixed(names, {{current->GetValueByIndex(0, 0), current->GetValueByIndex(0, 1),
                                current->GetValueByIndex(0, 2), current->GetValueByIndex(0, 3)},
                               {"null", "<n/>", "(7,7)", "7"}});
  Run("DELETE FROM " + t + " WHERE server_id = 1 AND ratio > 0.5");
  EXPECT_EQ(conn->SyncToDB(*withNew, t, {}, {"server_id"}, {"1"}), "");
  EXPECT_EQ(Rows("SELECT count(*) FROM " + t + " WHERE server_id = 1"), (Strings{"2"}));
  Mark();
  EXPECT_EQ(conn->SyncToDB(*withNew, t, {}, {"server_id"}, {"1"}), "");
  EXPECT_EQ(Statements().size(), 1u) << "converged: only the target query";

  // An empty result removes every row of the scope, each named by its ctid.
  auto emptied = Fixed(names, {});
  EXPECT_EQ(conn->SyncToDB(*emptied, t, {}, {"server_id"}, {"1"}), "");
  EXPECT_EQ(Rows("SELECT count(*) FROM " + t), (Strings{"1"}));
  Run("RESET extra_float_digits");
}

TEST_F(SyncToDBTest, RepeatedKeysWithJsonValuesConverge) {
  const std::string t = "synctest.jsondups";
  Run("DROP TABLE IF EXISTS " + t);
  Run("CREATE TABLE " + t +
      " (server_id int, name text, doc json, "
      "recorded_time timestamptz DEFAULT now())");
  Run("INSERT INTO " + t +
      " (server_id, name, doc) VALUES (1, 'a', '{\"n\": 1}'), "
      "(1, 'a', '{\"n\": 2}'), (1, 'a', '{\"n\": 3}')");
  auto fresh = Fixed({"name", "doc"}, {{"a", "{\"n\": 5}"}, {"a", "{\"n\": 2}"}});
  EXPECT_EQ(conn->SyncToDB(*fresh, t, {"name"}, {"server_id"}, {"1"}), "");
  EXPECT_EQ(Rows("SELECT name, doc::text FROM " + t + " ORDER BY doc::text"),
            (Strings{"a|{\"n\": 2}", "a|{\"n\": 5}"}));
  // Rows of one key pair in stored order, which the updates changed, so the
  // second run may swap values between the two rows; what is stored stays the
  // new rows.
  EXPECT_EQ(conn->SyncToDB(*fresh, t, {"name"}, {"server_id"}, {"1"}), "");
  EXPECT_EQ(Rows("SELECT name, doc::text FROM " + t + " ORDER BY doc::text"),
            (Strings{"a|{\"n\": 2}", "a|{\"n\": 5}"}));
}

// An UPDATE or DELETE that should touch its one stored row and touches none is
// an error, not a success that leaves the table out of step: here a float key
// that does not read back exactly, and a row that a trigger keeps from changing.
TEST_F(SyncToDBTest, StatementTouchingNoRowIsAnError) {
  const std::string t = "synctest.untouched";
  Run("DROP TABLE IF EXISTS " + t);
  Run("CREATE TABLE " + t +
      " (server_id int, ratio float8, size text, "
      "recorded_time timestamptz DEFAULT now())");
  Run("INSERT INTO " + t + " (server_id, ratio, size) VALUES (1, 1.0/3, 'old')");
  Run("SET extra_float_digits = 0");
  auto stored = conn->ExecuteQuery("SELECT ratio FROM " + t);
  auto fresh = Fixed({"ratio", "size"}, {{stored->GetValueByIndex(0, 0), "new"}});
  std::string error = conn->SyncToDB(*fresh, t, {"ratio"}, {"server_id"}, {"1"});
  EXPECT_NE(error.find("no stored row matched the statement UPDATE"), std::string::npos) << error;
  Run("RESET extra_float_digits");

  Run("CREATE OR REPLACE FUNCTION synctest.keep_rows() RETURNS trigger LANGUAGE plpgsql AS "
      "$$BEGIN RETURN NULL; END$$");
  Run("CREATE TRIGGER keep BEFORE DELETE ON " + t +
      " FOR EACH ROW EXECUTE FUNCTION synctest.keep_rows()");
  ResultSetWithFixedRows none({"ratio", "size"});
  error = conn->SyncToDB(none, t, {}, {"server_id"}, {"1"});
  EXPECT_NE(error.find("no stored row matched the statement DELETE"), std::string::npos) << error;
  EXPECT_EQ(Rows("SELECT size FROM " + t), (Strings{"old"}));
}

TEST_F(SyncToDBTest, SecondOfThreeStatementsFailing) {
  const std::string t = MakeTable("failing", ", CHECK (size <> 'bad')");
  Run("INSERT INTO " + t + " (server_id, name, size) VALUES (1, 'a', '1')");
  auto fresh = Fixed({"name", "size"}, {{"a", "2"}, {"b", "bad"}, {"c", "3"}});
  Mark();
  const std::string error = conn->SyncToDB(*fresh, t, {"name"}, {"server_id"}, {"1"});
  EXPECT_NE(error.find("violates check constraint"), std::string::npos) << error;
  EXPECT_EQ(Statements().size(), 3u);  // target query, UPDATE, failed INSERT; no third
  EXPECT_EQ(Rows("SELECT name, size FROM " + t), (Strings{"a|2"}));

  // The next run completes the work against what is now stored.
  auto fixed = Fixed({"name", "size"}, {{"a", "2"}, {"b", "ok"}, {"c", "3"}});
  EXPECT_EQ(conn->SyncToDB(*fixed, t, {"name"}, {"server_id"}, {"1"}), "");
  EXPECT_EQ(Rows("SELECT name, size FROM " + t + " ORDER BY name"),
            (Strings{"a|2", "b|ok", "c|3"}));
}

TEST_F(SyncToDBTest, QuotesAndNonAsciiRoundTrip) {
  const std::string t = MakeTable("quoting", ", tag text");
  auto fresh =
      Fixed({"name", "size"}, {{"O'Brien", "back\\slash"}, {"Grüße \"quoted\"", "日本"}, {"", ""}});
  EXPECT_EQ(conn->SyncToDB(*fresh, t, {"name"}, {"tag"}, {"it's"}), "");
  Mark();
  EXPECT_EQ(conn->SyncToDB(*fresh, t, {"name"}, {"tag"}, {"it's"}), "");
  EXPECT_EQ(Statements().size(), 1u);
  EXPECT_EQ(Rows("SELECT name, size FROM " + t + " ORDER BY name"),
            (Strings{"|", "Grüße \"quoted\"|日本", "O'Brien|back\\slash"}));

  // Text that is not valid UTF-8 is refused (by libpq's quoting or by the
  // server) and reported; the stored row stays as it was.
  auto invalid = Fixed({"name", "size"}, {{"O'Brien", "\xff\xfe"}});
  EXPECT_NE(conn->SyncToDB(*invalid, t, {"name"}, {"tag"}, {"it's"}), "");
  EXPECT_EQ(Rows("SELECT size FROM " + t + " WHERE name = 'O''Brien'"), (Strings{"back\\slash"}));
}

TEST_F(SyncToDBTest, WrapperRunsWholeSyncsFromSeveralThreads) {
  const std::string t = MakeTable("threads");
  DBConnectionWithMutex shared(PgCluster::Get().ConnectDB("monitored"));
  std::vector<std::thread> threads;
  std::vector<std::string> errors(4);
  for (int server = 0; server < 4; ++server) {
    threads.emplace_back([&, server] {
      for (int pass = 0; pass < 5; ++pass) {
        ResultSetWithFixedRows rows({"name", "size"});
        for (int i = 0; i < 20; ++i) {
          rows.AddRow({"n" + std::to_string(i), std::to_string(pass * i)});
        }
        std::string error =
            shared.SyncToDB(rows, t, {"name"}, {"server_id"}, {std::to_string(server)});
        if (!error.empty()) errors[server] = error;
        // A plain statement in between must not break into a synchronisation.
        if (!shared.ExecuteQuery("SELECT 1")->IsOk()) errors[server] = "SELECT failed";
      }
    });
  }
  for (auto& th : threads) th.join();
  for (const auto& e : errors) EXPECT_EQ(e, "");
  EXPECT_EQ(Rows("SELECT count(*), sum(size::int) FROM " + t), (Strings{"80|3040"}));
}

}  // namespace
