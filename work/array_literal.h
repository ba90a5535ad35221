// The reader of PostgreSQL text-array literals as the central database sends
// them ({a,"b,c",d}): probe key lists and parameter name and value lists. A
// pure function; any thread may use it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The elements of the first array literal in `text`: empty when there is no
// "{" or nothing after it. A quoted element runs to the next unescaped double
// quote; an unquoted one to the next "," or "}". A backslash makes the
// character after it literal and is itself dropped (so a\\b reads as a\b).
// Reading stops at the closing "}". No NULL handling and no trimming: an
// unquoted NULL is the text NULL. Never fails; malformed text gives what could
// be read.
std::vector<std::string> ParseArrayLiteral(std::string_view text);
