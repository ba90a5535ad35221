// The PostgreSQL connection and its result sets against a real server.
#include <gtest/gtest.h>

#include "db/db_connection_to_postgresql.h"
#include "db/db_connection_with_mutex.h"
#include "db/result_set_from_postgresql.h"
#include "support/pg_cluster.h"

namespace {

class PostgresConnection : public ::testing::Test {
 protected:
  void SetUp() override {
    conn = PgCluster::Get().ConnectDB("monitored");
    ASSERT_TRUE(conn);
  }
  std::unique_ptr<DBConnectionToPostgreSQL> conn;
};

TEST_F(PostgresConnection, ParametersAbsentEmptyAndThree) {
  auto none = conn->ExecuteQuery("SELECT 1 AS one");
  ASSERT_TRUE(none->IsOk());
  EXPECT_EQ(none->GetValueByName(0, "one"), "1");

  // An empty array sends the text as a plain statement: a text holding two
  // statements is accepted by PQexec only, and $1 would be an error with params.
  auto empty = conn->ExecuteQuery("SELECT 1; SELECT 2 AS two", {});
  ASSERT_TRUE(empty->IsOk()) << empty->GetErrorMessage();
  EXPECT_EQ(empty->GetValueByIndex(0, 0), "2");

  auto three = conn->ExecuteQuery("SELECT $1::text || $2::text || $3::text AS v", {"a", "b", "c"});
  ASSERT_TRUE(three->IsOk()) << three->GetErrorMessage();
  EXPECT_EQ(three->GetValueByName(0, "v"), "abc");
}

TEST_F(PostgresConnection, BoundedQueryAnswersLikeExecuteQueryInTime) {
  using namespace std::chrono_literals;
  struct Case {
    const char* query;
    bool ok;
    const char* valueOrError;  // the first value, or a part of the error text
  };
  const Case cases[] = {
      {"SELECT 1", true, "1"},
      {"SELECT 1; SELECT 2", true, "2"},  // the last result, as PQexec gives it
      {"SELECT 1/0; SELECT 2", false, "division by zero"},
      {"SELECT * FROM no_such_table", false, "no_such_table"},
  };
  for (const Case& c : cases) {
    bool timedOut = true;
    auto result = conn->ExecuteQueryWithin(c.query, 10s, &timedOut);
    EXPECT_FALSE(timedOut) << c.query;
    ASSERT_EQ(result->IsOk(), c.ok) << c.query << ": " << result->GetErrorMessage();
    if (c.ok) {
      EXPECT_EQ(result->GetValueByIndex(0, 0), c.valueOrError) << c.query;
    } else {
      EXPECT_NE(result->GetErrorMessage().find(c.valueOrError), std::string::npos)
          << c.query << ": " << result->GetErrorMessage();
    }
  }
  // The connection is still usable in the ordinary way afterwards.
  EXPECT_TRUE(conn->ExecuteQuery("SELECT 3")->IsOk());
}

TEST_F(PostgresConnection, BoundedQueryThatRunsTooLongClosesTheConnection) {
  using namespace std::chrono_literals;
  bool timedOut = false;
  auto result = conn->ExecuteQueryWithin("SELECT pg_sleep(30)", 1s, &timedOut);
  EXPECT_TRUE(timedOut);
  EXPECT_FALSE(result->IsOk());
  EXPECT_EQ(result->GetErrorMessage(),
            "the server did not answer within 1 seconds; the connection was closed");
  EXPECT_EQ(conn->GetHandle(), nullptr);
  auto after = conn->ExecuteQuery("SELECT 1");
  EXPECT_FALSE(after->IsOk());
  EXPECT_EQ(after->GetErrorMessage(), kLostConnectionText);
  EXPECT_EQ(conn->ExecuteQueryWithin("SELECT 1", 1s)->GetErrorMessage(), kLostConnectionText);
}

TEST_F(PostgresConnection, TerminatedBackendGivesLostConnectionText) {
  auto pid = conn->ExecuteQuery("SELECT pg_backend_pid()");
  ASSERT_TRUE(pid->IsOk());
  PgCluster::Get().Exec("postgres",
                        "SELECT pg_terminate_backend(" + pid->GetValueByIndex(0, 0) + ")");
  // The first statement learns from the server that the link is gone; from then
  // on nothing is sent.
  auto first = conn->ExecuteQuery("SELECT 1");
  EXPECT_FALSE(first->IsOk());
  auto second = conn->ExecuteQuery("SELECT 1");
  EXPECT_FALSE(second->IsOk());
  EXPECT_EQ(second->GetErrorMessage(), kLostConnectionText);
  EXPECT_EQ(second->GetRowCount(), 0u);
  std::string error;
  EXPECT_EQ(conn->ExecuteCommand("SELECT 1", &error), -1);
  EXPECT_EQ(error, kLostConnectionText);
}

TEST_F(PostgresConnection, ExecuteCommandCountsAndErrors) {
  ASSERT_EQ(conn->ExecuteCommand("CREATE TEMP TABLE t(a int)"), 0);
  EXPECT_EQ(conn->ExecuteCommand("INSERT INTO t VALUES (1), (2), (3)"), 3);
  EXPECT_EQ(conn->ExecuteCommand("UPDATE t SET a = 5 WHERE a > 100"), 0);
  EXPECT_EQ(conn->ExecuteCommand("SELECT * FROM t"), 3);
  std::string error;
  EXPECT_EQ(conn->ExecuteCommand("SELECT * FROM no_such_table", &error), -1);
  EXPECT_NE(error.find("no_such_table"), std::string::npos) << error;
  EXPECT_EQ(conn->ExecuteCommand("SELECT * FROM no_such_table"), -1);
}

TEST_F(PostgresConnection, EmptyStatementIsAnErrorNamedByStatus) {
  auto r = conn->ExecuteQuery("");
  EXPECT_FALSE(r->IsOk());
  EXPECT_EQ(r->GetErrorMessage(), "PGRES_EMPTY_QUERY");
  EXPECT_NE(dynamic_cast<ResultSetFromPostgreSQL*>(r.get()), nullptr);
}

TEST_F(PostgresConnection, NullAndEmptyDifferOnlyInTheFlag) {
  auto r = conn->ExecuteQuery("SELECT NULL::text AS n, ''::text AS e");
  ASSERT_TRUE(r->IsOk());
  bool isNull = false;
  EXPECT_EQ(r->GetValueByName(0, "n", &isNull), "");
  EXPECT_TRUE(isNull);
  EXPECT_EQ(r->GetValueByName(0, "e", &isNull), "");
  EXPECT_FALSE(isNull);
  // Outside the result: empty and NULL, without asking libpq.
  isNull = false;
  EXPECT_EQ(r->GetValueByIndex(1, 0, &isNull), "");
  EXPECT_TRUE(isNull);
  isNull = false;
  EXPECT_EQ(r->GetValueByIndex(0, 7, &isNull), "");
  EXPECT_TRUE(isNull);
}

TEST_F(PostgresConnection, ColumnLookupIsExactAndLeavesFlagAlone) {
  auto r = conn->ExecuteQuery("SELECT 4 AS server_id, 5 AS server_id");
  ASSERT_TRUE(r->IsOk());
  bool isNull = true;
  EXPECT_EQ(r->GetValueByName(0, "Server_ID", &isNull), "");
  EXPECT_TRUE(isNull);  // unwritten
  isNull = false;
  EXPECT_EQ(r->GetValueByName(0, "Server_ID", &isNull), "");
  EXPECT_FALSE(isNull);                               // unwritten
  EXPECT_EQ(r->GetValueByName(0, "server_id"), "4");  // first match
  EXPECT_EQ(r->columnNames, (std::vector<std::string>{"server_id", "server_id"}));
}

TEST_F(PostgresConnection, NonAsciiRoundTrip) {
  const std::string text = "Grüße, 東京, ñ, €, \xF0\x9F\x90\x98";
  auto r = conn->ExecuteQuery("SELECT $1::text AS v, length($1::text) AS n", {text});
  ASSERT_TRUE(r->IsOk()) << r->GetErrorMessage();
  EXPECT_EQ(r->GetValueByName(0, "v"), text);
  EXPECT_EQ(r->GetValueByName(0, "n"), "18");  // characters, not bytes
  auto literal = conn->ExecuteQuery("SELECT " + conn->EscapeLiteral(text) + " AS " +
                                    conn->EscapeIdentifier("spalte ä"));
  ASSERT_TRUE(literal->IsOk()) << literal->GetErrorMessage();
  EXPECT_EQ(literal->GetValueByName(0, "spalte ä"), text);
}

TEST_F(PostgresConnection, EscapesQuoteAndRejectInvalidText) {
  EXPECT_EQ(conn->EscapeLiteral("it's"), "'it''s'");
  EXPECT_EQ(conn->EscapeLiteral("a\\b"), " E'a\\\\b'");
  EXPECT_EQ(conn->EscapeIdentifier("Mixed\"Case"), "\"Mixed\"\"Case\"");
  EXPECT_EQ(conn->EscapeLiteral("bad \xC3"), "");  // not valid UTF-8
}

TEST_F(PostgresConnection, ResultOutlivesFurtherStatementsAndWrapper) {
  auto wrapped = std::make_unique<DBConnectionWithMutex>(std::move(conn));
  auto first = wrapped->ExecuteQuery("SELECT 'kept' AS v");
  auto second = wrapped->ExecuteQuery("SELECT 'other' AS v");
  std::string quoted = wrapped->EscapeLiteral("x'y");
  wrapped.reset();
  EXPECT_EQ(first->GetValueByName(0, "v"), "kept");
  EXPECT_EQ(second->GetValueByName(0, "v"), "other");
  EXPECT_EQ(quoted, "'x''y'");
}

}  // namespace
