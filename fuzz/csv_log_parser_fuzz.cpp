// Feeds arbitrary bytes to the CSV log record reader and checks what it
// promises: it never takes more than it was given, taking only the consumed
// part gives the same records with nothing left over, and records written
// back in quoted form read back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "work/csv_log_parser.h"

namespace {
void Check(bool condition) {
  if (!condition) std::abort();
}

std::string Quote(const LogRows& records) {
  std::string text;
  for (const auto& fields : records) {
    for (size_t i = 0; i < fields.size(); ++i) {
      if (i > 0) text += ',';
      text += '"';
      for (char c : fields[i]) {
        if (c == '"') text += '"';
        text += c;
      }
      text += '"';
    }
    text += '\n';
  }
  return text;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t cap = size > 0 ? data[0] * 4u : 0;
  LogRows records;
  size_t consumed = 0;
  const CsvStop stop = ParseCsvRecords(input, 16, cap, &records, &consumed);
  Check(consumed <= size);
  Check(records.size() <= 16);
  Check(stop != CsvStop::kTooLong || size - consumed > cap);
  for (const auto& fields : records) Check(!fields.empty());

  LogRows again;
  size_t againConsumed = 0;
  ParseCsvRecords(input.substr(0, consumed), 16, cap, &again, &againConsumed);
  Check(again == records);
  Check(againConsumed == consumed);

  // A record of one empty field is an empty line and so never read; such
  // records cannot come out of the reader.
  const std::string quoted = Quote(records);
  LogRows back;
  size_t backConsumed = 0;
  Check(ParseCsvRecords(quoted, 16, 0, &back, &backConsumed) == CsvStop::kEnd);
  Check(back == records);
  Check(backConsumed == quoted.size());
  return 0;
}
