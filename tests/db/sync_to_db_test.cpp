// Pairing of new rows with stored rows, without a server: which statements a
// synchronisation needs, in which order, and when a row must be named exactly.
#include "db/sync_to_db.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "db/result_set_with_fixed_rows.h"

namespace {

using Kind = SyncAction::Kind;

std::unique_ptr<ResultSetWithFixedRows> Fixed(const std::vector<std::string>& names,
                                              const std::vector<std::vector<std::string>>& rows) {
  auto r = std::make_unique<ResultSetWithFixedRows>(names);
  for (const auto& row : rows) r->AddRow(row);
  return r;
}

// Result and stored columns in the same order; keys given by position.
SyncColumns SameLayout(uint32_t columns, std::vector<uint32_t> keys) {
  SyncColumns c;
  c.newKeys = keys;
  c.storedKeys = keys;
  for (uint32_t j = 0; j < columns; ++j) c.storedOfResult.push_back(j);
  return c;
}

// "U<new>/<stored>", "I<new>" or "D<stored>", with "!" for an exact-row statement.
std::vector<std::string> Describe(const std::vector<SyncAction>& actions) {
  std::vector<std::string> out;
  for (const SyncAction& a : actions) {
    std::string d;
    switch (a.kind) {
      case Kind::kUpdate:
        d = "U" + std::to_string(a.newRow) + "/" + std::to_string(a.storedRow);
        break;
      case Kind::kInsert:
        d = "I" + std::to_string(a.newRow);
        break;
      case Kind::kDelete:
        d = "D" + std::to_string(a.storedRow);
        break;
    }
    if (a.exactRow) d += "!";
    out.push_back(d);
  }
  return out;
}

std::vector<std::string> Plan(const std::unique_ptr<ResultSetWithFixedRows>& fresh,
                              const std::unique_ptr<ResultSetWithFixedRows>& stored,
                              const SyncColumns& columns) {
  return Describe(PlanSync(SyncRows(*fresh), SyncRows(*stored), columns));
}

using Strings = std::vector<std::string>;

TEST(SyncRows, NullsAndShortRowsReadAsNull) {
  auto r = Fixed({"a", "b", "c"}, {{"x", "", "z"}, {"only"}});
  SyncRows rows(*r);
  ASSERT_EQ(rows.RowCount(), 2u);
  EXPECT_EQ(rows.Text(0, 0), "x");
  EXPECT_FALSE(rows.IsNull(0, 1));
  EXPECT_EQ(rows.Text(0, 2), "z");
  EXPECT_EQ(rows.Text(1, 0), "only");
  EXPECT_TRUE(rows.IsNull(1, 1));
  EXPECT_TRUE(rows.IsNull(1, 2));
  EXPECT_EQ(rows.Text(1, 2), "");
}

TEST(PlanSync, SameRowsInAnyOrderNeedNothing) {
  auto stored = Fixed({"k", "v"}, {});
  auto fresh = Fixed({"k", "v"}, {});
  for (int i = 0; i < 5000; ++i) {
    stored->AddRow({"key" + std::to_string(i), std::to_string(i)});
    fresh->AddRow({"key" + std::to_string(4999 - i), std::to_string(4999 - i)});
  }
  EXPECT_TRUE(Plan(fresh, stored, SameLayout(2, {0})).empty());
  // Without keys, equal rows in equal order need nothing either.
  EXPECT_TRUE(Plan(stored, stored, SameLayout(2, {})).empty());
}

// Keys whose hashes collide (the XOR of (p, q) and (q, p) is the same, and (a, a)
// hashes like (b, b)) are still told apart by their texts.
TEST(PlanSync, CollidingKeysPairByText) {
  auto stored = Fixed({"k1", "k2", "v"}, {{"p", "q", "1"}, {"q", "p", "2"}, {"a", "a", "3"}});
  auto fresh = Fixed({"k1", "k2", "v"}, {{"b", "b", "4"}, {"q", "p", "2"}, {"p", "q", "9"}});
  EXPECT_EQ(Plan(fresh, stored, SameLayout(3, {0, 1})), (Strings{"I0", "U2/0", "D2"}));
}

TEST(PlanSync, ChangedColumnsInResultOrder) {
  auto stored = Fixed({"k", "a", "b", "c"}, {{"x", "1", "", "3"}});
  auto fresh = Fixed({"k", "a", "b", "c"}, {{"x", "1", "2", "33"}});
  auto actions = PlanSync(SyncRows(*fresh), SyncRows(*stored), SameLayout(4, {0}));
  ASSERT_EQ(actions.size(), 1u);
  EXPECT_EQ(actions[0].changedColumns, (std::vector<uint32_t>{2, 3}));
  // NULL against '' is a change both ways.
  auto nullValue = Fixed({"k", "a", "b", "c"}, {{"x", "1"}});
  auto emptyValue = Fixed({"k", "a", "b", "c"}, {{"x", "1", "", ""}});
  actions = PlanSync(SyncRows(*nullValue), SyncRows(*emptyValue), SameLayout(4, {0}));
  ASSERT_EQ(actions.size(), 1u);
  EXPECT_EQ(actions[0].changedColumns, (std::vector<uint32_t>{2, 3}));
}

// Stored columns may come in another order than the result columns.
TEST(PlanSync, ColumnMapIsFollowed) {
  auto stored = Fixed({"v", "k"}, {{"1", "x"}, {"2", "y"}});
  auto fresh = Fixed({"k", "v"}, {{"y", "2"}, {"x", "5"}});
  SyncColumns c;
  c.newKeys = {0};
  c.storedKeys = {1};
  c.storedOfResult = {1, 0};
  auto actions = PlanSync(SyncRows(*fresh), SyncRows(*stored), c);
  EXPECT_EQ(Describe(actions), (Strings{"U1/0"}));
  EXPECT_EQ(actions[0].changedColumns, (std::vector<uint32_t>{1}));
}

TEST(PlanSync, DuplicateKeysPairInStoredOrder) {
  auto stored = Fixed({"k", "v"}, {{"a", "1"}, {"b", "1"}, {"a", "2"}, {"a", "3"}});
  auto fresh = Fixed({"k", "v"}, {{"a", "9"}, {"a", "2"}});
  // New a/9 takes stored a/1, new a/2 takes stored a/2 (unchanged: no
  // statement); a/3 and b are left. The a rows share their key, so their
  // statements must name them exactly; b is alone under its key.
  const Strings plan = Plan(fresh, stored, SameLayout(2, {0}));
  ASSERT_EQ(plan.size(), 3u);
  EXPECT_EQ(plan[0], "U0/0!");
  Strings deletes(plan.begin() + 1, plan.end());
  std::sort(deletes.begin(), deletes.end());
  EXPECT_EQ(deletes, (Strings{"D1", "D3!"}));

  // New rows in another order still take the first unpaired stored row of their
  // key, not the stored row that happens to follow the last partner.
  auto reordered = Fixed({"k", "v"}, {{"b", "1"}, {"a", "2"}, {"a", "1"}});
  EXPECT_EQ(
      Plan(reordered, Fixed({"k", "v"}, {{"a", "1"}, {"b", "1"}, {"a", "2"}}), SameLayout(2, {0})),
      (Strings{"U1/0!", "U2/2!"}));

  // Surplus new rows of a key are inserted.
  EXPECT_EQ(Plan(fresh, Fixed({"k", "v"}, {{"a", "2"}}), SameLayout(2, {0})),
            (Strings{"U0/0", "I1"}));
}

TEST(PlanSync, NullKeyIsNotTheEmptyKey) {
  auto stored = Fixed({"k", "v"}, {{"", "1"}});
  auto fresh = Fixed({"k", "v"}, {});
  fresh->AddRow({});  // k and v NULL
  EXPECT_EQ(Plan(fresh, stored, SameLayout(2, {0})), (Strings{"I0", "D0"}));
  // NULL matches NULL.
  EXPECT_EQ(Plan(fresh, Fixed({"k", "v"}, {{}}), SameLayout(2, {0})), (Strings{}));
}

TEST(PlanSync, NoKeyColumnsPairInOrder) {
  auto one = Fixed({"v"}, {{"1"}});
  auto three = Fixed({"v"}, {{"1"}, {"2"}, {"3"}});
  auto two = Fixed({"v"}, {{"7"}, {"2"}});
  // One stored row: the scope alone names it.
  EXPECT_EQ(Plan(two, one, SameLayout(1, {})), (Strings{"U0/0", "I1"}));
  EXPECT_EQ(Plan(Fixed({"v"}, {}), one, SameLayout(1, {})), (Strings{"D0"}));
  // Several stored rows: each statement names its row exactly.
  EXPECT_EQ(Plan(two, three, SameLayout(1, {})), (Strings{"U0/0!", "D2!"}));
}

TEST(PlanSync, DeletesFollowBucketsThenStoredOrder) {
  auto stored = Fixed({"k"}, {});
  for (int i = 0; i < 300; ++i) stored->AddRow({"row" + std::to_string(i)});
  auto actions = PlanSync(SyncRows(*Fixed({"k"}, {})), SyncRows(*stored), SameLayout(1, {0}));
  ASSERT_EQ(actions.size(), 300u);
  SyncRows rows(*stored);
  for (size_t i = 1; i < actions.size(); ++i) {
    const uint64_t before = SyncKeyHash(rows, actions[i - 1].storedRow, {0}) % kSyncBucketCount;
    const uint64_t after = SyncKeyHash(rows, actions[i].storedRow, {0}) % kSyncBucketCount;
    ASSERT_TRUE(before < after ||
                (before == after && actions[i - 1].storedRow < actions[i].storedRow))
        << "delete " << i;
  }
}

// Statement texts without a server: quoting as libpq does it for plain text.
std::string QuoteName(const std::string& name) { return "\"" + name + "\""; }
std::string QuoteValue(const std::string& value) {
  if (value == "\xff") return "";  // stands for text the connection cannot quote
  return "'" + value + "'";
}

TEST(SyncStatementBuilder, KeyedAndExactRowStatements) {
  SyncStatementBuilder builder("varodata.t", QuoteName, QuoteValue);
  ASSERT_TRUE(builder.Prepare({"k", "v"}, {"k"}, {"server_id"}, {"3"}));
  EXPECT_EQ(builder.TargetQuery(),
            "SELECT \"k\", \"v\", tableoid, ctid FROM varodata.t WHERE \"server_id\" = '3'");
  auto fresh = Fixed({"k", "v"}, {{"a", "10"}, {"b"}});
  auto stored = Fixed({"k", "v", "tableoid", "ctid"},
                      {{"a", "9", "16400", "(0,1)"}, {"a", "8", "16400", "(0,2)"}});
  SyncColumns columns = SameLayout(2, {0});
  columns.storedTableOid = 2;
  columns.storedCtid = 3;
  const SyncRows f(*fresh), s(*stored);
  std::string out;

  SyncAction update{Kind::kUpdate, 0, 1, {1}, false};
  ASSERT_TRUE(builder.Build(update, f, s, columns, &out));
  EXPECT_EQ(out,
            "UPDATE varodata.t SET \"v\" = '10', recorded_time = now() WHERE \"k\" = 'a' "
            "AND \"server_id\" = '3'");
  update.exactRow = true;
  ASSERT_TRUE(builder.Build(update, f, s, columns, &out));
  EXPECT_EQ(out,
            "UPDATE varodata.t SET \"v\" = '10', recorded_time = now() WHERE tableoid = "
            "'16400' AND ctid = '(0,2)' AND \"server_id\" = '3'");
  ASSERT_TRUE(builder.Build(SyncAction{Kind::kInsert, 1, 0, {}, false}, f, s, columns, &out));
  EXPECT_EQ(out, "INSERT INTO varodata.t (\"k\", \"v\", \"server_id\") VALUES ('b', NULL, '3')");
  ASSERT_TRUE(builder.Build(SyncAction{Kind::kDelete, 0, 0, {}, true}, f, s, columns, &out));
  EXPECT_EQ(out,
            "DELETE FROM varodata.t WHERE tableoid = '16400' AND ctid = '(0,1)' AND "
            "\"server_id\" = '3'");

  // A value that cannot be quoted stops the statement with a message naming its column.
  auto bad = Fixed({"k", "v"}, {{"a", "\xff"}});
  EXPECT_FALSE(
      builder.Build(SyncAction{Kind::kInsert, 0, 0, {}, false}, SyncRows(*bad), s, columns, &out));
  EXPECT_NE(builder.error().find("column v"), std::string::npos) << builder.error();
}

}  // namespace
