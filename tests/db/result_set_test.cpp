// The in-memory result sets: rows built by the agent and fixed errors.
#include <gtest/gtest.h>

#include "db/db_connection.h"
#include "db/result_set_with_fixed_error.h"
#include "db/result_set_with_fixed_rows.h"

namespace {

TEST(ResultSetWithFixedRows, ReadsRowsAndAnswersOutsideAsNull) {
  ResultSetWithFixedRows rows({"name", "size"});
  EXPECT_TRUE(rows.IsOk());
  EXPECT_EQ(rows.GetErrorMessage(), "ResultSetWithFixedRows API violation");
  EXPECT_EQ(rows.GetRowCount(), 0u);
  rows.AddRow({"disk", "10"});
  rows.AddRow({"", "20"});
  EXPECT_EQ(rows.GetRowCount(), 2u);
  EXPECT_EQ(rows.GetAffectedRows(), 2);

  bool isNull = true;
  EXPECT_EQ(rows.GetValueByName(1, "size", &isNull), "20");
  EXPECT_FALSE(isNull);
  isNull = true;
  EXPECT_EQ(rows.GetValueByIndex(1, 0, &isNull), "");
  EXPECT_FALSE(isNull) << "an empty text in memory is not NULL";

  for (int row : {-1, 2}) {
    isNull = false;
    EXPECT_EQ(rows.GetValueByIndex(row, 0, &isNull), "") << row;
    EXPECT_TRUE(isNull) << row;
  }
  // A column the row does not hold reads as NULL instead of running off the row.
  rows.AddRow({"short"});
  isNull = false;
  EXPECT_EQ(rows.GetValueByIndex(2, 1, &isNull), "");
  EXPECT_TRUE(isNull);
  // Unknown names leave the flag as it was.
  isNull = false;
  EXPECT_EQ(rows.GetValueByName(0, "Name", &isNull), "");
  EXPECT_FALSE(isNull);
}

TEST(ResultSetWithFixedRows, GrowsFromTenByDoublingAndKeepsCopies) {
  ResultSetWithFixedRows rows({"n"});
  EXPECT_EQ(rows.GetCapacity(), 0u);
  std::vector<std::string> row = {"0"};
  const auto& stored = rows.AddRow(row);
  row[0] = "changed";
  EXPECT_EQ(stored[0], "0");
  EXPECT_EQ(rows.GetCapacity(), 10u);
  for (int i = 1; i < 10; ++i) rows.AddRow({std::to_string(i)});
  EXPECT_EQ(rows.GetCapacity(), 10u);
  rows.AddRow({"10"});
  EXPECT_EQ(rows.GetCapacity(), 20u);
  for (int i = 11; i < 21; ++i) rows.AddRow({std::to_string(i)});
  EXPECT_EQ(rows.GetCapacity(), 40u);
  for (int i = 0; i < 21; ++i) EXPECT_EQ(rows.GetValueByIndex(i, 0), std::to_string(i));
}

// The rows AddRow hands out are kept by probes while they add more; growing the
// table must not move them (AddressSanitizer reports a use after free if it does).
TEST(ResultSetWithFixedRows, AddedRowsStayValidWhileTheTableGrows) {
  ResultSetWithFixedRows rows({"n", "text"});
  std::vector<const ResultSetWithFixedRows::Row*> kept;
  for (int i = 0; i < 1000; ++i) {
    const auto& stored = rows.AddRow({std::to_string(i), std::string(40, 'a' + i % 26)});
    kept.push_back(&stored);
  }
  EXPECT_EQ(rows.GetCapacity(), 1280u);
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(kept[i]->size(), 2u) << i;
    EXPECT_EQ((*kept[i])[0], std::to_string(i));
    EXPECT_EQ((*kept[i])[1], std::string(40, 'a' + i % 26));
  }
}

TEST(ResultSetWithFixedError, IsAFailureWithoutRows) {
  ResultSetWithFixedError error("boom");
  EXPECT_FALSE(error.IsOk());
  EXPECT_EQ(error.GetErrorMessage(), "boom");
  EXPECT_EQ(error.GetRowCount(), 0u);
  EXPECT_EQ(error.GetAffectedRows(), 0);
  EXPECT_TRUE(error.columnNames.empty());
  bool isNull = false;
  EXPECT_EQ(error.GetValueByIndex(0, 0, &isNull), "");
  EXPECT_TRUE(isNull);
  isNull = false;
  EXPECT_EQ(error.GetValueByName(0, "x", &isNull), "");
  EXPECT_FALSE(isNull) << "no column: the flag stays unwritten";
}

// A connection whose every statement gives a prepared result set, to check what
// ExecuteCommand makes of it.
class CannedConnection : public DBConnection {
 public:
  std::unique_ptr<ResultSet> next;
  std::unique_ptr<ResultSet> ExecuteQuery(const std::string&,
                                          const std::vector<std::string>& = {}) override {
    return std::move(next);
  }
  std::string SyncToDB(const ResultSet&, const std::string&, const std::vector<std::string>&,
                       const std::vector<std::string>&, const std::vector<std::string>&) override {
    return "";
  }
};

TEST(DBConnection, ExecuteCommandTurnsResultsIntoCounts) {
  CannedConnection conn;
  auto rows = std::make_unique<ResultSetWithFixedRows>(std::vector<std::string>{"a"});
  rows->AddRow({"1"});
  rows->AddRow({"2"});
  conn.next = std::move(rows);
  std::string error = "untouched";
  EXPECT_EQ(conn.ExecuteCommand("x", &error), 2);
  EXPECT_EQ(error, "untouched");
  conn.next = std::make_unique<ResultSetWithFixedError>("it failed");
  EXPECT_EQ(conn.ExecuteCommand("x", &error), -1);
  EXPECT_EQ(error, "it failed");
  conn.next = std::make_unique<ResultSetWithFixedError>("again");
  EXPECT_EQ(conn.ExecuteCommand("x"), -1);
  EXPECT_EQ(conn.EscapeLiteral("v"), "") << "a connection without escaping answers empty";
}

}  // namespace
