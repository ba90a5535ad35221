// Result synchronisation: stores a probe's rows into its table by comparing them
// with the rows already stored for the probe's scope, and sends one statement per
// changed, new or vanished row.
#include "db/sync_to_db.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "db/db_connection_to_postgresql.h"
#include "platform/log.h"
#include "platform/text.h"

namespace {
// Rows read before the value buffer is sized for the whole result.
constexpr uint32_t kSampleRows = 64;
}  // namespace

SyncRows::SyncRows(const ResultSet& resultSet)
    : rowCount(resultSet.GetRowCount()),
      columnCount(static_cast<uint32_t>(resultSet.columnNames.size())) {
  const size_t cells = size_t{rowCount} * columnCount;
  ends.reserve(cells);
  nulls.reserve(cells);
  for (uint32_t r = 0; r < rowCount; ++r) {
    for (uint32_t c = 0; c < columnCount; ++c) {
      bool isNull = false;
      arena += resultSet.GetValueByIndex(static_cast<int32_t>(r), static_cast<int32_t>(c), &isNull);
      ends.push_back(arena.size());
      nulls.push_back(isNull ? 1 : 0);
    }
    if (r + 1 == kSampleRows && rowCount > kSampleRows) {
      // Rows of one result tend to be alike: from the first rows, make room once
      // for all of them (and a quarter more) rather than copying the buffer over
      // and over while it grows.
      const size_t estimate = arena.size() / kSampleRows * rowCount;
      arena.reserve(estimate + estimate / 4);
    }
  }
}

uint64_t SyncStringHash(std::string_view text) {
  // Eight bytes at a time, each word mixed in with a multiply and a shift; the
  // length goes in first so that texts differing only in trailing zero bytes
  // still differ.
  constexpr uint64_t kMul = 0x9E3779B97F4A7C15ULL;
  uint64_t hash = 0x243F6A8885A308D3ULL ^ (text.size() * kMul);
  size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    hash = (hash ^ word) * kMul;
    hash ^= hash >> 32;
  }
  if (i < text.size()) {
    uint64_t word = 0;
    std::memcpy(&word, text.data() + i, text.size() - i);
    hash = (hash ^ word) * kMul;
    hash ^= hash >> 32;
  }
  hash *= kMul;
  return hash ^ (hash >> 29);
}

uint64_t SyncKeyHash(const SyncRows& rows, uint32_t row, const std::vector<uint32_t>& keys) {
  uint64_t hash = 0;
  for (uint32_t k : keys) hash ^= SyncStringHash(rows.Text(row, k));
  return hash;
}

namespace {

// Key values are equal when both are NULL, or neither is and the texts match.
// NULL is kept apart from the empty text so that a stored NULL key is never
// paired with a new '' key (its statements could not name it).
bool SameKey(const SyncRows& a, uint32_t rowA, const std::vector<uint32_t>& keysA,
             const SyncRows& b, uint32_t rowB, const std::vector<uint32_t>& keysB) {
  for (size_t k = 0; k < keysA.size(); ++k) {
    const bool nullA = a.IsNull(rowA, keysA[k]);
    if (nullA != b.IsNull(rowB, keysB[k])) return false;
    if (!nullA && a.Text(rowA, keysA[k]) != b.Text(rowB, keysB[k])) return false;
  }
  return true;
}

// Stored rows grouped by their full 64-bit key hash: an open-addressing table of
// chains, each chain listing its rows in stored order through `next`. Looking a
// new row up costs one probe and a walk over rows of (nearly always) its own key,
// instead of a walk over a whole bucket.
class StoredIndex {
 public:
  struct Chain {
    uint64_t hash = 0;
    int32_t head = -1;  // -1: slot unused
    int32_t tail = -1;
    int32_t cursor = -1;  // no row before it is still unpaired
  };

  explicit StoredIndex(uint32_t rows) : next(rows, -1) {
    size_t size = 16;
    while (size < size_t{rows} * 2) size *= 2;
    slots.resize(size);
  }

  // Adds `row` at the end of its chain; returns the chain's first row.
  int32_t Append(uint64_t hash, int32_t row) {
    Chain& chain = Slot(hash);
    if (chain.head < 0) {
      chain.hash = hash;
      chain.head = chain.tail = chain.cursor = row;
    } else {
      next[chain.tail] = row;
      chain.tail = row;
    }
    return chain.head;
  }

  // The chain of `hash`, or null when no stored row has it.
  Chain* Find(uint64_t hash) {
    Chain& chain = Slot(hash);
    return chain.head < 0 ? nullptr : &chain;
  }

  std::vector<int32_t> next;

 private:
  Chain& Slot(uint64_t hash) {
    const size_t mask = slots.size() - 1;
    // Mix the bits so that hashes differing only high up still spread.
    size_t i = static_cast<size_t>((hash ^ (hash >> 29)) * 0xbf58476d1ce4e5b9ULL) & mask;
    while (slots[i].head >= 0 && slots[i].hash != hash) i = (i + 1) & mask;
    return slots[i];
  }

  std::vector<Chain> slots;
};

}  // namespace

std::vector<SyncAction> PlanSync(const SyncRows& fresh, const SyncRows& stored,
                                 const SyncColumns& columns) {
  const uint32_t storedCount = stored.RowCount();
  std::vector<uint64_t> storedHash(storedCount);
  std::vector<uint8_t> paired(storedCount, 0);
  StoredIndex index(storedCount);
  // firstOfKey: no earlier stored row has the same key, so when this row is still
  // unpaired and its key matches a new row, it is that row's partner.
  std::vector<uint8_t> firstOfKey(storedCount, 1);
  for (uint32_t s = 0; s < storedCount; ++s) {
    storedHash[s] = SyncKeyHash(stored, s, columns.storedKeys);
    const int32_t self = static_cast<int32_t>(s);
    for (int32_t t = index.Append(storedHash[s], self); t != self; t = index.next[t]) {
      if (SameKey(stored, s, columns.storedKeys, stored, t, columns.storedKeys)) {
        firstOfKey[s] = 0;
        break;
      }
    }
  }

  // Whether another stored row carries the same key as `s`, so that the key
  // conditions alone would also hit that row.
  auto sharesKey = [&](uint32_t s) {
    if (columns.storedKeys.empty()) return storedCount > 1;
    StoredIndex::Chain* chain = index.Find(storedHash[s]);
    for (int32_t t = chain->head; t >= 0; t = index.next[t]) {
      if (static_cast<uint32_t>(t) != s &&
          SameKey(stored, s, columns.storedKeys, stored, t, columns.storedKeys)) {
        return true;
      }
    }
    return false;
  };

  std::vector<SyncAction> actions;
  const uint32_t columnCount = fresh.ColumnCount();
  // New rows usually come in the order of the stored rows: try the stored row
  // after the last partner before looking the key up.
  uint32_t guess = 0;
  for (uint32_t r = 0; r < fresh.RowCount(); ++r) {
    int32_t partner = -1;
    if (guess < storedCount && !paired[guess] && firstOfKey[guess] &&
        SameKey(fresh, r, columns.newKeys, stored, guess, columns.storedKeys)) {
      partner = static_cast<int32_t>(guess);
    } else if (StoredIndex::Chain* chain = index.Find(SyncKeyHash(fresh, r, columns.newKeys))) {
      while (chain->cursor >= 0 && paired[chain->cursor]) chain->cursor = index.next[chain->cursor];
      for (int32_t s = chain->cursor; s >= 0; s = index.next[s]) {
        if (!paired[s] && SameKey(fresh, r, columns.newKeys, stored, s, columns.storedKeys)) {
          partner = s;
          break;
        }
      }
    }
    if (partner < 0) {
      SyncAction insert;
      insert.kind = SyncAction::Kind::kInsert;
      insert.newRow = r;
      actions.push_back(std::move(insert));
      continue;
    }
    paired[partner] = 1;
    const uint32_t s = static_cast<uint32_t>(partner);
    guess = s + 1;
    std::vector<uint32_t> changed;
    for (uint32_t j = 0; j < columnCount; ++j) {
      const uint32_t m = columns.storedOfResult[j];
      const bool freshNull = fresh.IsNull(r, j);
      if (freshNull != stored.IsNull(s, m) || fresh.Text(r, j) != stored.Text(s, m)) {
        changed.push_back(j);
      }
    }
    if (changed.empty()) continue;
    SyncAction update;
    update.kind = SyncAction::Kind::kUpdate;
    update.newRow = r;
    update.storedRow = s;
    update.changedColumns = std::move(changed);
    update.exactRow = sharesKey(s);
    actions.push_back(std::move(update));
  }

  // Vanished rows, bucket by bucket, each bucket in stored order.
  std::vector<uint32_t> bucketStart(kSyncBucketCount + 1, 0);
  for (uint32_t s = 0; s < storedCount; ++s) {
    if (!paired[s]) ++bucketStart[storedHash[s] % kSyncBucketCount + 1];
  }
  for (uint32_t b = 0; b < kSyncBucketCount; ++b) bucketStart[b + 1] += bucketStart[b];
  std::vector<uint32_t> order(bucketStart[kSyncBucketCount]);
  for (uint32_t s = 0; s < storedCount; ++s) {
    if (!paired[s]) order[bucketStart[storedHash[s] % kSyncBucketCount]++] = s;
  }
  for (uint32_t s : order) {
    SyncAction remove;
    remove.kind = SyncAction::Kind::kDelete;
    remove.storedRow = s;
    remove.exactRow = sharesKey(s);
    actions.push_back(std::move(remove));
  }
  return actions;
}

bool SyncStatementBuilder::Prepare(const std::vector<std::string>& resultColumns,
                                   const std::vector<std::string>& keyColumns,
                                   const std::vector<std::string>& filterColumns,
                                   const std::vector<std::string>& filterValues) {
  auto identifier = [&](const std::string& name, std::string* out) {
    *out = quoteIdentifier(name);
    if (!out->empty()) return true;
    errorText = StrFormat(_("column name %s cannot be quoted for the server"), name.c_str());
    return false;
  };
  resultNames = resultColumns;
  keyNames = keyColumns;
  for (size_t i = 0; i < filterColumns.size() && i < filterValues.size(); ++i) {
    std::string name, value;
    if (!identifier(filterColumns[i], &name) ||
        !Literal(filterValues[i], filterColumns[i], &value)) {
      return false;
    }
    if (i > 0) scope += " AND ";
    scope += name + " = " + value;
    quotedFilters.push_back(std::move(name));
    quotedValues.push_back(std::move(value));
  }
  quotedResult.resize(resultNames.size());
  for (size_t j = 0; j < resultNames.size(); ++j) {
    if (!identifier(resultNames[j], &quotedResult[j])) return false;
  }
  quotedKeys.resize(keyNames.size());
  for (size_t k = 0; k < keyNames.size(); ++k) {
    if (!identifier(keyNames[k], &quotedKeys[k])) return false;
  }
  return true;
}

std::string SyncStatementBuilder::TargetQuery() const {
  std::string query = "SELECT ";
  for (size_t j = 0; j < quotedResult.size(); ++j) {
    if (j > 0) query += ", ";
    query += quotedResult[j];
  }
  // Where no key singles a row out, its statements name it by table and ctid;
  // read here with the values, so that they name exactly the row that was
  // compared, whatever the types of its columns.
  query += ", tableoid, ctid FROM ";
  query += targetTable;
  if (!scope.empty()) query += " WHERE " + scope;
  return query;
}

bool SyncStatementBuilder::Literal(std::string_view value, const std::string& column,
                                   std::string* out) {
  std::string quoted = quoteLiteral(std::string(value));
  if (quoted.empty()) {
    errorText = StrFormat(_("a value of column %s cannot be quoted for the server "
                            "(not valid in the connection's encoding)"),
                          column.c_str());
    return false;
  }
  *out += quoted;
  return true;
}

bool SyncStatementBuilder::AppendValue(const SyncRows& rows, uint32_t row, uint32_t column,
                                       const std::string& name, std::string* out) {
  if (rows.IsNull(row, column)) {
    *out += "NULL";
    return true;
  }
  return Literal(rows.Text(row, column), name, out);
}

bool SyncStatementBuilder::AppendEquals(const SyncRows& rows, uint32_t row, uint32_t column,
                                        const std::string& name, std::string* out) {
  if (rows.IsNull(row, column)) {
    *out += " IS NULL";
    return true;
  }
  *out += " = ";
  return Literal(rows.Text(row, column), name, out);
}

bool SyncStatementBuilder::AppendExactRow(const SyncRows& stored, uint32_t s,
                                          const SyncColumns& columns, std::string* out) {
  // The row's table goes with its ctid: in a partitioned or inherited table the
  // same ctid exists once in every partition. The scope stays in the condition
  // so that a ctid taken over by another row since the target query can never
  // reach outside the scope.
  *out += " WHERE tableoid = ";
  if (!Literal(stored.Text(s, columns.storedTableOid), "tableoid", out)) return false;
  *out += " AND ctid = ";
  if (!Literal(stored.Text(s, columns.storedCtid), "ctid", out)) return false;
  if (!scope.empty()) {
    *out += " AND ";
    *out += scope;
  }
  return true;
}

bool SyncStatementBuilder::AppendKeyConditions(const SyncRows& rows, uint32_t row,
                                               const std::vector<uint32_t>& keys,
                                               std::string* out) {
  for (size_t k = 0; k < quotedKeys.size(); ++k) {
    *out += k == 0 ? " WHERE " : " AND ";
    *out += quotedKeys[k];
    if (!AppendEquals(rows, row, keys[k], keyNames[k], out)) return false;
  }
  if (!scope.empty()) {
    *out += quotedKeys.empty() ? " WHERE " : " AND ";
    *out += scope;
  }
  return true;
}

bool SyncStatementBuilder::Build(const SyncAction& a, const SyncRows& fresh, const SyncRows& stored,
                                 const SyncColumns& columns, std::string* out) {
  switch (a.kind) {
    case SyncAction::Kind::kUpdate:
      *out = "UPDATE ";
      *out += targetTable;
      *out += " SET ";
      for (size_t i = 0; i < a.changedColumns.size(); ++i) {
        const uint32_t j = a.changedColumns[i];
        if (i > 0) *out += ", ";
        *out += quotedResult[j];
        *out += " = ";
        if (!AppendValue(fresh, a.newRow, j, resultNames[j], out)) return false;
      }
      *out += ", recorded_time = now()";
      if (a.exactRow) return AppendExactRow(stored, a.storedRow, columns, out);
      // The new key equals the stored one (NULL only against NULL).
      return AppendKeyConditions(fresh, a.newRow, columns.newKeys, out);
    case SyncAction::Kind::kInsert:
      *out = "INSERT INTO ";
      *out += targetTable;
      *out += " (";
      for (size_t j = 0; j < quotedResult.size(); ++j) {
        if (j > 0) *out += ", ";
        *out += quotedResult[j];
      }
      for (const std::string& f : quotedFilters) {
        *out += ", ";
        *out += f;
      }
      *out += ") VALUES (";
      for (size_t j = 0; j < quotedResult.size(); ++j) {
        if (j > 0) *out += ", ";
        if (!AppendValue(fresh, a.newRow, static_cast<uint32_t>(j), resultNames[j], out)) {
          return false;
        }
      }
      for (const std::string& v : quotedValues) {
        *out += ", ";
        *out += v;
      }
      *out += ")";
      return true;
    case SyncAction::Kind::kDelete:
      *out = "DELETE FROM ";
      *out += targetTable;
      if (a.exactRow) return AppendExactRow(stored, a.storedRow, columns, out);
      return AppendKeyConditions(stored, a.storedRow, columns.storedKeys, out);
  }
  return false;
}

namespace {

// First position of `name` among `names` (exact, case-sensitive), or -1.
int32_t FindColumn(const std::vector<std::string>& names, const std::string& name) {
  auto it = std::find(names.begin(), names.end(), name);
  return it == names.end() ? -1 : static_cast<int32_t>(it - names.begin());
}

// Reads the stored rows, plans and sends the statements of one synchronisation
// on one connection; returns the error text, empty on success.
std::string RunSync(DBConnectionToPostgreSQL& conn, const ResultSet& resultSet,
                    const std::string& targetTable, const std::vector<std::string>& keyColumns,
                    const std::vector<std::string>& filterColumns,
                    const std::vector<std::string>& filterValues) {
  // A failed result has no columns; it must never be taken for an empty result,
  // which would delete every stored row.
  const std::vector<std::string>& resultNames = resultSet.columnNames;
  if (resultNames.empty()) return _("query returned no result columns");
  if (filterColumns.size() != filterValues.size()) {
    return StrFormat(_("%zu filter columns but %zu filter values"), filterColumns.size(),
                     filterValues.size());
  }
  SyncStatementBuilder builder(
      targetTable, [&](const std::string& name) { return conn.EscapeIdentifier(name); },
      [&](const std::string& value) { return conn.EscapeLiteral(value); });
  if (!builder.Prepare(resultNames, keyColumns, filterColumns, filterValues)) {
    return builder.error();
  }

  const std::string query = builder.TargetQuery();
  LogMessage(StrFormat(_("loading target data: %s"), query.c_str()), LOG_DEBUG2);
  std::unique_ptr<ResultSet> storedResult = conn.ExecuteQuery(query);
  if (!storedResult->IsOk()) return storedResult->GetErrorMessage();
  const std::vector<std::string>& storedNames = storedResult->columnNames;
  if (storedNames.size() < 2) return _("the target query returned too few columns");

  SyncColumns columns;
  for (const std::string& key : keyColumns) {
    const int32_t inResult = FindColumn(resultNames, key);
    if (inResult < 0) {
      return StrFormat(_("key column %s not found among columns of result set"), key.c_str());
    }
    const int32_t inStored = FindColumn(storedNames, key);
    if (inStored < 0) {
      return StrFormat(_("key column %s not found among columns of target table"), key.c_str());
    }
    columns.newKeys.push_back(static_cast<uint32_t>(inResult));
    columns.storedKeys.push_back(static_cast<uint32_t>(inStored));
  }
  for (const std::string& name : resultNames) {
    const int32_t inStored = FindColumn(storedNames, name);
    if (inStored < 0) {
      return StrFormat(_("result column %s not found among columns of target table"), name.c_str());
    }
    columns.storedOfResult.push_back(static_cast<uint32_t>(inStored));
  }
  columns.storedTableOid = static_cast<uint32_t>(storedNames.size() - 2);
  columns.storedCtid = static_cast<uint32_t>(storedNames.size() - 1);

  const SyncRows fresh(resultSet);
  const SyncRows stored(*storedResult);
  storedResult.reset();
  std::string statement;
  for (const SyncAction& a : PlanSync(fresh, stored, columns)) {
    if (!builder.Build(a, fresh, stored, columns, &statement)) return builder.error();
    LogMessage(statement, LOG_DEBUG2);
    std::unique_ptr<ResultSet> result = conn.ExecuteQuery(statement);
    if (!result->IsOk()) return result->GetErrorMessage();
    // An UPDATE or DELETE is meant for the one stored row it was planned for.
    // Touching none means the row was not found as it was read: it changed or
    // went meanwhile, or its key does not compare equal to its own text (a
    // float that does not read back exactly). Reporting success would leave the
    // table out of step without a word.
    if (a.kind != SyncAction::Kind::kInsert && result->GetAffectedRows() == 0) {
      return StrFormat(_("no stored row matched the statement %s"), statement.c_str());
    }
  }
  return std::string();
}

}  // namespace

std::string DBConnectionToPostgreSQL::SyncToDB(const ResultSet& resultSet,
                                               const std::string& targetTable,
                                               const std::vector<std::string>& keyColumns,
                                               const std::vector<std::string>& filterColumns,
                                               const std::vector<std::string>& filterValues) {
  std::string error =
      RunSync(*this, resultSet, targetTable, keyColumns, filterColumns, filterValues);
  if (!error.empty()) LogMessage(StrFormat(_("SyncToDB error: %s"), error.c_str()), LOG_WARNING);
  return error;
}
