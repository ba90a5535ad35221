// The pure parts of result synchronisation (DBConnectionToPostgreSQL::SyncToDB):
// the cells of a result set laid out for fast comparison, the key hash, the
// pairing of new rows with stored rows that decides which UPDATE, INSERT and
// DELETE statements are needed, and the texts of those statements. No database
// access; any thread may use these on objects it owns.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "db/result_set.h"

// Number of buckets the stored rows are spread over by key hash. The bucket of a
// row decides the order in which vanished rows are deleted.
inline constexpr uint32_t kSyncBucketCount = 101;

// The values of one result set, read once through GetValueByIndex and kept in
// one buffer, so that hashing and comparing need no copies or virtual calls.
class SyncRows {
 public:
  explicit SyncRows(const ResultSet& resultSet);

  uint32_t RowCount() const { return rowCount; }
  uint32_t ColumnCount() const { return columnCount; }
  // A NULL value reads as the empty text; IsNull tells the two apart.
  std::string_view Text(uint32_t row, uint32_t column) const {
    const size_t cell = size_t{row} * columnCount + column;
    const size_t begin = cell == 0 ? 0 : ends[cell - 1];
    return std::string_view(arena).substr(begin, ends[cell] - begin);
  }
  bool IsNull(uint32_t row, uint32_t column) const {
    return nulls[size_t{row} * columnCount + column] != 0;
  }

 private:
  uint32_t rowCount = 0;
  uint32_t columnCount = 0;
  std::string arena;           // every value, one after the other
  std::vector<size_t> ends;    // end of each cell in `arena`, row by row
  std::vector<uint8_t> nulls;  // 1 where the value is SQL NULL
};

// A fast 64-bit hash of a text.
uint64_t SyncStringHash(std::string_view text);

// Hash of a row's key: the XOR of the string hashes of its key values (a NULL
// value hashes as the empty text). 0 when there are no key columns.
uint64_t SyncKeyHash(const SyncRows& rows, uint32_t row, const std::vector<uint32_t>& keys);

// Positions that tie the new rows to the stored rows.
struct SyncColumns {
  std::vector<uint32_t> newKeys;         // each key column among the result columns
  std::vector<uint32_t> storedKeys;      // each key column among the stored columns
  std::vector<uint32_t> storedOfResult;  // each result column among the stored columns
  // The stored row's table (tableoid) and place in it (ctid), which the target
  // query reads after the result columns; they name a row exactly.
  uint32_t storedTableOid = 0;
  uint32_t storedCtid = 0;
};

// One statement a synchronisation has to send.
struct SyncAction {
  enum class Kind { kUpdate, kInsert, kDelete };
  Kind kind = Kind::kInsert;
  uint32_t newRow = 0;     // the new row (UPDATE, INSERT)
  uint32_t storedRow = 0;  // its stored partner (UPDATE) or the vanished row (DELETE)
  // Result columns whose value changed (UPDATE), in result order.
  std::vector<uint32_t> changedColumns;
  // The key values do not single out the stored row: there are no key columns
  // and more than one stored row, or another stored row has the same key. The
  // statement must then name the row by its table and ctid, or it would rewrite
  // or remove its look-alikes too.
  bool exactRow = false;
};

// Pairs each new row with the first stored row of equal key (in stored order)
// not yet paired; NULL and the empty text are different key values. Returns the
// statements in sending order: an UPDATE for each changed pair and an INSERT for
// each unpaired new row, in new-row order, then a DELETE for each unpaired
// stored row by bucket (key hash mod kSyncBucketCount) and, within a bucket, in
// stored order. Unchanged pairs need no statement.
std::vector<SyncAction> PlanSync(const SyncRows& fresh, const SyncRows& stored,
                                 const SyncColumns& columns);

// Builds the text of the statements of one synchronisation. Quoting is handed
// in (the connection's EscapeIdentifier and EscapeLiteral), so that statements
// can be built and checked without a server.
class SyncStatementBuilder {
 public:
  // Quotes a name or a value; an empty answer means it cannot be quoted (text
  // that is not valid in the connection's encoding).
  using Quote = std::function<std::string(const std::string&)>;

  SyncStatementBuilder(std::string targetTable, Quote identifier, Quote literal)
      : targetTable(std::move(targetTable)),
        quoteIdentifier(std::move(identifier)),
        quoteLiteral(std::move(literal)) {}

  // Quotes the names and filter values and builds the scope condition; false
  // (see error()) when something cannot be quoted.
  bool Prepare(const std::vector<std::string>& resultColumns,
               const std::vector<std::string>& keyColumns,
               const std::vector<std::string>& filterColumns,
               const std::vector<std::string>& filterValues);

  // The query that reads the stored rows of the scope: the result columns, then
  // tableoid and ctid.
  std::string TargetQuery() const;

  // The statement for `action`; false (see error()) when a value cannot be
  // quoted. `columns` ties `fresh` and `stored` together as for PlanSync.
  bool Build(const SyncAction& action, const SyncRows& fresh, const SyncRows& stored,
             const SyncColumns& columns, std::string* out);

  const std::string& error() const { return errorText; }

 private:
  bool Literal(std::string_view value, const std::string& column, std::string* out);
  // Appends "NULL" or the quoted value.
  bool AppendValue(const SyncRows& rows, uint32_t row, uint32_t column, const std::string& name,
                   std::string* out);
  // Appends " IS NULL" or " = " and the quoted value.
  bool AppendEquals(const SyncRows& rows, uint32_t row, uint32_t column, const std::string& name,
                    std::string* out);
  // Appends the condition that names stored row `s` by its table and ctid.
  bool AppendExactRow(const SyncRows& stored, uint32_t s, const SyncColumns& columns,
                      std::string* out);
  // Appends the key conditions and the scope.
  bool AppendKeyConditions(const SyncRows& rows, uint32_t row, const std::vector<uint32_t>& keys,
                           std::string* out);

  std::string targetTable;
  Quote quoteIdentifier;
  Quote quoteLiteral;
  std::vector<std::string> resultNames;    // result columns as given
  std::vector<std::string> quotedResult;   // quoted result columns
  std::vector<std::string> keyNames;       // key columns as given
  std::vector<std::string> quotedKeys;     // quoted key columns
  std::vector<std::string> quotedFilters;  // quoted filter columns
  std::vector<std::string> quotedValues;   // quoted filter values
  std::string scope;                       // the scope condition, may be empty
  std::string errorText;
};
