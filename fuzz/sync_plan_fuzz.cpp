// Feeds generated result sets to the planning of result synchronisation and to
// the statements built from the plan. The bytes choose the columns, keys, scope
// and the values of the new and the stored rows from small alphabets, so that
// equal keys, NULLs and quotes are frequent. Checks:
// - every stored row and every new row is paired at most once, an UPDATE pairs
//   equal keys and lists exactly the columns that differ, an INSERT and a DELETE
//   never share a key;
// - applying the plan to the stored rows gives exactly the new rows;
// - a statement without the exact-row form is used only where the keys single
//   out the row, and deletes come in bucket order;
// - every statement names only result and scope columns, with balanced quotes.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "db/result_set_with_fixed_rows.h"
#include "db/sync_to_db.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

using Value = std::optional<std::string>;  // nothing: SQL NULL
using Row = std::vector<Value>;

const char* const kNames[] = {"k", "v", "Name", "w\"x", "o'q", "ctid", "size"};
const char* const kFilters[] = {"server_id", "sc\"ope"};
const char* const kValues[] = {"", "a", "b", "ab", "'", "\"", "a'b", "\\"};

Value TakeValue(FuzzedDataProvider& in) {
  const uint8_t pick = in.ConsumeIntegralInRange<uint8_t>(0, 8);
  if (pick == 8) return std::nullopt;
  return std::string(kValues[pick]);
}

// A result set whose NULLs are real NULLs: rows shorter than the columns read
// as NULL in ResultSetWithFixedRows, so a NULL is only possible at the end of a
// row. Here every value is given by the model and read back as the model says.
class ModelResultSet : public ResultSet {
 public:
  ModelResultSet(std::vector<std::string> names, std::vector<Row> rows)
      : ResultSet(std::move(names)), rows(std::move(rows)) {}
  bool IsOk() const override { return true; }
  std::string GetErrorMessage() const override { return ""; }
  uint32_t GetRowCount() const override { return static_cast<uint32_t>(rows.size()); }
  std::string GetValueByIndex(int32_t row, int32_t column, bool* isNull) const override {
    const Value& v = rows[static_cast<size_t>(row)][static_cast<size_t>(column)];
    if (isNull) *isNull = !v.has_value();
    return v.value_or("");
  }
  std::vector<Row> rows;
};

bool SameKey(const Row& a, const Row& b, const std::vector<uint32_t>& keys) {
  for (uint32_t k : keys) {
    if (a[k] != b[k]) return false;
  }
  return true;
}

std::string QuoteName(const std::string& name) {
  std::string out = "\"";
  for (char c : name) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}
std::string QuoteValue(const std::string& value) {
  std::string out = "'";
  for (char c : value) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

// The quoted identifiers of a statement, outside its literals; false when a
// quote is left open.
bool Identifiers(const std::string& sql, std::vector<std::string>* out) {
  size_t i = 0;
  while (i < sql.size()) {
    const char q = sql[i];
    if (q != '\'' && q != '"') {
      ++i;
      continue;
    }
    std::string text;
    ++i;
    for (;;) {
      if (i >= sql.size()) return false;
      if (sql[i] == q) {
        if (i + 1 < sql.size() && sql[i + 1] == q) {
          text += q;
          i += 2;
          continue;
        }
        ++i;
        break;
      }
      text += sql[i++];
    }
    if (q == '"') out->push_back(text);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  // Columns: distinct names from the pool, then the keys among them.
  std::vector<std::string> pool(std::begin(kNames), std::end(kNames));
  const uint32_t columnCount = in.ConsumeIntegralInRange<uint32_t>(1, 4);
  std::vector<std::string> names;
  for (uint32_t j = 0; j < columnCount; ++j) {
    const size_t pick = in.ConsumeIntegralInRange<size_t>(0, pool.size() - 1);
    names.push_back(pool[pick]);
    pool.erase(pool.begin() + static_cast<long>(pick));
  }
  std::vector<uint32_t> keys;
  std::vector<std::string> keyNames;
  for (uint32_t j = 0; j < columnCount; ++j) {
    if (in.ConsumeBool()) {
      keys.push_back(j);
      keyNames.push_back(names[j]);
    }
  }
  std::vector<std::string> filterColumns, filterValues;
  const uint32_t filterCount = in.ConsumeIntegralInRange<uint32_t>(0, 2);
  for (uint32_t f = 0; f < filterCount; ++f) {
    filterColumns.push_back(kFilters[f]);
    filterValues.push_back(TakeValue(in).value_or("1"));
  }

  // Rows: stored rows carry their table and ctid after the result columns.
  const uint32_t storedCount = in.ConsumeIntegralInRange<uint32_t>(0, 24);
  const uint32_t freshCount = in.ConsumeIntegralInRange<uint32_t>(0, 24);
  std::vector<Row> storedRows, freshRows;
  for (uint32_t s = 0; s < storedCount; ++s) {
    Row row;
    for (uint32_t j = 0; j < columnCount; ++j) row.push_back(TakeValue(in));
    row.push_back(std::string(s % 2 ? "16385" : "16384"));
    row.push_back("(0," + std::to_string(s / 2 + 1) + ")");
    storedRows.push_back(std::move(row));
  }
  for (uint32_t r = 0; r < freshCount; ++r) {
    Row row;
    for (uint32_t j = 0; j < columnCount; ++j) row.push_back(TakeValue(in));
    freshRows.push_back(std::move(row));
  }
  std::vector<std::string> storedNames = names;
  storedNames.push_back("tableoid");
  storedNames.push_back("ctid");
  const ModelResultSet freshSet(names, freshRows);
  const ModelResultSet storedSet(storedNames, storedRows);

  SyncColumns columns;
  columns.newKeys = keys;
  columns.storedKeys = keys;
  for (uint32_t j = 0; j < columnCount; ++j) columns.storedOfResult.push_back(j);
  columns.storedTableOid = columnCount;
  columns.storedCtid = columnCount + 1;
  const SyncRows fresh(freshSet);
  const SyncRows stored(storedSet);
  const std::vector<SyncAction> actions = PlanSync(fresh, stored, columns);

  std::vector<int> storedUses(storedCount, 0), freshUses(freshCount, 0);
  std::vector<std::optional<Row>> model(storedRows.begin(), storedRows.end());
  for (auto& row : model) row->resize(columnCount);  // values only
  std::vector<Row> inserted;
  std::vector<uint32_t> inserts, deletes;
  size_t updates = 0;
  for (const SyncAction& a : actions) {
    switch (a.kind) {
      case SyncAction::Kind::kUpdate: {
        Check(a.newRow < freshCount && a.storedRow < storedCount);
        Check(++freshUses[a.newRow] == 1 && ++storedUses[a.storedRow] == 1);
        Check(SameKey(freshRows[a.newRow], storedRows[a.storedRow], keys));
        Check(!a.changedColumns.empty());
        Check(std::is_sorted(a.changedColumns.begin(), a.changedColumns.end()));
        for (uint32_t j = 0; j < columnCount; ++j) {
          const bool listed = std::find(a.changedColumns.begin(), a.changedColumns.end(), j) !=
                              a.changedColumns.end();
          Check(listed == (freshRows[a.newRow][j] != storedRows[a.storedRow][j]));
          if (listed) (*model[a.storedRow])[j] = freshRows[a.newRow][j];
        }
        ++updates;
        break;
      }
      case SyncAction::Kind::kInsert:
        Check(a.newRow < freshCount && ++freshUses[a.newRow] == 1);
        inserted.push_back(freshRows[a.newRow]);
        inserts.push_back(a.newRow);
        break;
      case SyncAction::Kind::kDelete:
        Check(a.storedRow < storedCount && ++storedUses[a.storedRow] == 1);
        model[a.storedRow].reset();
        deletes.push_back(a.storedRow);
        break;
    }
    if (a.kind != SyncAction::Kind::kInsert && !a.exactRow) {
      // The key conditions (or the scope alone) must reach this row only.
      if (keys.empty()) {
        Check(storedCount <= 1);
      } else {
        for (uint32_t t = 0; t < storedCount; ++t) {
          Check(t == a.storedRow || !SameKey(storedRows[t], storedRows[a.storedRow], keys));
        }
      }
    }
  }
  // Unchanged pairs: what is left of both sides after the statements.
  Check(freshCount - updates - inserts.size() == storedCount - updates - deletes.size());
  for (uint32_t r : inserts) {
    for (uint32_t s : deletes) Check(!SameKey(freshRows[r], storedRows[s], keys));
  }
  // Applying the plan gives exactly the new rows.
  std::vector<Row> after;
  for (auto& row : model) {
    if (row) after.push_back(*row);
  }
  after.insert(after.end(), inserted.begin(), inserted.end());
  std::vector<Row> expected = freshRows;
  std::sort(after.begin(), after.end());
  std::sort(expected.begin(), expected.end());
  Check(after == expected);
  // Deletes come bucket by bucket, each bucket in stored order.
  for (size_t i = 1; i < deletes.size(); ++i) {
    const uint64_t before = SyncKeyHash(stored, deletes[i - 1], keys) % kSyncBucketCount;
    const uint64_t now = SyncKeyHash(stored, deletes[i], keys) % kSyncBucketCount;
    Check(before < now || (before == now && deletes[i - 1] < deletes[i]));
  }

  // Statements name only the result and scope columns.
  std::set<std::string> known(names.begin(), names.end());
  known.insert(filterColumns.begin(), filterColumns.end());
  SyncStatementBuilder builder("varodata.t", QuoteName, QuoteValue);
  Check(builder.Prepare(names, keyNames, filterColumns, filterValues));
  std::vector<std::string> ids;
  Check(Identifiers(builder.TargetQuery(), &ids));
  Check(ids.size() == names.size() + filterColumns.size());
  for (const std::string& id : ids) Check(known.count(id) == 1);
  std::string sql;
  for (const SyncAction& a : actions) {
    Check(builder.Build(a, fresh, stored, columns, &sql));
    ids.clear();
    Check(Identifiers(sql, &ids));
    for (const std::string& id : ids) Check(known.count(id) == 1);
    if (a.exactRow) {
      Check(sql.find(" WHERE tableoid = '") != std::string::npos);
      Check(sql.find(" AND ctid = '(0,") != std::string::npos);
    }
    if (a.kind == SyncAction::Kind::kInsert) {
      Check(ids.size() == names.size() + filterColumns.size());
    }
  }
  return 0;
}
