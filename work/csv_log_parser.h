// The reader of CSV log records as PostgreSQL writes its csvlog and audit
// files: fields separated by commas, a field that holds commas, double quotes
// or line ends written between double quotes with its double quotes doubled,
// one record per line (a quoted field may span lines). A pure function; any
// thread may use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "db/log_storage.h"  // LogRows

// Why ParseCsvRecords stopped.
enum class CsvStop {
  // Every complete record was taken. Bytes after `consumed` (if any) are an
  // unfinished record: a quote still open, or a last line without its line
  // end. They are not taken until the rest has been written.
  kEnd,
  // `maxRecords` records were taken; more may follow.
  kFull,
  // The unfinished record after `consumed` is longer than `maxRecordBytes`.
  kTooLong,
};

// Appends the complete records at the start of `input` to *records, at most
// `maxRecords`, and sets *consumed to the bytes they take (through the line
// end of the last one). Line ends are LF or CR LF outside quotes; inside a
// quoted field they stay in the field as written. A quoted field ends at a
// double quote that is not doubled; what follows it up to the next comma or
// line end is kept as written. In an unquoted field a double quote is an
// ordinary character, and so is a backslash everywhere (PostgreSQL writes
// backslashes unescaped). Empty lines are skipped. Never fails: any bytes give
// records; the fields are the bytes as written (not checked for UTF-8).
// With `maxBytes`, no further record is begun once the records taken reach
// that many bytes (kFull), so that a batch of long records stays bounded.
CsvStop ParseCsvRecords(std::string_view input, size_t maxRecords, size_t maxRecordBytes,
                        LogRows* records, size_t* consumed, size_t maxBytes = SIZE_MAX);
