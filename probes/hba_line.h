// The reader of pg_hba.conf text: each entry line split into its fields, and
// a whole file into numbered entries. Pure functions over text; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The fields of one pg_hba.conf line: empty for a blank or comment line.
// Fields are separated by white space; "#" outside quotes starts a comment. A
// field in double quotes keeps its quotes (and doubled quotes inside) as
// written; one without a closing quote runs to the end of the line. A "local"
// line (any letter case) with exactly four fields gets an empty address
// inserted as its fourth field; then the list is filled up with empty fields
// to six. Lines with more than six fields keep them all.
std::vector<std::string> SplitHbaLine(std::string_view line);

// One entry line of a pg_hba.conf file.
struct HbaEntry {
  int64_t lineNumber = 0;           // from 1, counting every line (blank and comment lines too)
  std::vector<std::string> fields;  // SplitHbaLine of the line, at least six
};

// The entry lines of `content`, in file order. A line ends at LF, CR, or CR LF.
std::vector<HbaEntry> ParseHbaFile(std::string_view content);
