// The pure parts of result synchronisation (DBConnectionToPostgreSQL::SyncToDB):
// the cells of a result set laid out for fast comparison, the key hash, and the
// pairing of new rows with stored rows that decides which UPDATE, INSERT and
// DELETE statements are needed. No database access; any thread may use these on
// objects it owns.
#pragma once

#include <cstdint>
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
  std::string arena;          // every value, one after the other
  std::vector<size_t> ends;   // end of each cell in `arena`, row by row
  std::vector<uint8_t> nulls; // 1 where the value is SQL NULL
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
  // statement must then name the row by all its stored values, or it would
  // rewrite or remove its look-alikes too.
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
