#include "work/csv_log_parser.h"

#include <cstring>

namespace {

// Position of the first of `a` or `b` in text[from, size), or size.
size_t FindEither(std::string_view text, size_t from, char a, char b) {
  const char* p = text.data() + from;
  const char* end = text.data() + text.size();
  for (; p < end; ++p) {
    if (*p == a || *p == b) break;
  }
  return static_cast<size_t>(p - text.data());
}

// Removes one CR that stood just before a record's closing line end.
void DropCarriageReturn(std::string& field) {
  if (!field.empty() && field.back() == '\r') field.pop_back();
}

// Reads one record from `start`. True with the fields and *next just after its
// line end; false when the input ends before the record does.
bool ReadRecord(std::string_view in, size_t start, std::vector<std::string>* fields, size_t* next) {
  fields->clear();
  size_t pos = start;
  for (;;) {
    std::string& field = fields->emplace_back();
    if (pos < in.size() && in[pos] == '"') {
      ++pos;
      for (;;) {
        const void* found = std::memchr(in.data() + pos, '"', in.size() - pos);
        if (found == nullptr) return false;
        const size_t quote = static_cast<size_t>(static_cast<const char*>(found) - in.data());
        field.append(in.data() + pos, quote - pos);
        if (quote + 1 >= in.size()) return false;  // "" or the end may follow
        if (in[quote + 1] == '"') {
          field.push_back('"');
          pos = quote + 2;
          continue;
        }
        pos = quote + 1;
        break;
      }
      // Anything between the closing quote and the separator is kept.
      const size_t stop = FindEither(in, pos, ',', '\n');
      if (stop >= in.size()) return false;
      // A CR before the line end is dropped only outside the quotes.
      const bool crBeforeEnd = in[stop] == '\n' && stop > pos && in[stop - 1] == '\r';
      field.append(in.data() + pos, stop - pos);
      if (crBeforeEnd) DropCarriageReturn(field);
      pos = stop;
    } else {
      const size_t stop = FindEither(in, pos, ',', '\n');
      if (stop >= in.size()) return false;
      field.assign(in.data() + pos, stop - pos);
      if (in[stop] == '\n') DropCarriageReturn(field);
      pos = stop;
    }
    if (in[pos] == '\n') {
      *next = pos + 1;
      return true;
    }
    ++pos;  // the comma
  }
}

}  // namespace

CsvStop ParseCsvRecords(std::string_view input, size_t maxRecords, size_t maxRecordBytes,
                        LogRows* records, size_t* consumed, size_t maxBytes) {
  size_t pos = 0;
  size_t taken = 0;
  std::vector<std::string> fields;
  while (pos < input.size()) {
    if (taken >= maxRecords || (taken > 0 && pos >= maxBytes)) {
      *consumed = pos;
      return CsvStop::kFull;
    }
    size_t next = 0;
    if (!ReadRecord(input, pos, &fields, &next)) break;
    pos = next;
    // An empty line (one empty field) is no record.
    if (fields.size() == 1 && fields[0].empty()) continue;
    records->push_back(std::move(fields));
    fields = {};
    ++taken;
  }
  *consumed = pos;
  if (input.size() - pos > maxRecordBytes) return CsvStop::kTooLong;
  return CsvStop::kEnd;
}
