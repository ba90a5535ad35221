// Editing a PostgreSQL server's postgresql.conf as text: the argument values
// of the log and audit configuration and log collection tasks, the forms settings are written in,
// and setting one line of the file. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Splits a job step's argument text into `count` values: values are separated
// by runs of blanks (spaces); a value in double quotes may hold blanks (each
// run of them inside becomes one blank). Missing values are empty; values past
// `count` are ignored. False when a double quote is not closed.
bool SplitTaskArguments(std::string_view text, size_t count, std::vector<std::string>& values);

// How a setting's value is written into the file.
enum class ConfigValueForm {
  kQuoted,     // between single quotes
  kWord,       // as it is: one word or number
  kMegabytes,  // a whole number followed by MB
  kDays,       // a whole number followed by d
};

// The text written for `value` in `form`: a quoted value with its single
// quotes and backslashes doubled, so that the server reads back exactly the
// value. Empty (and the reason in `error`) when the value cannot be written
// so: a line break in any form, and for the unquoted forms an empty value or
// one that is not a single word or number.
std::string ConfigValueText(std::string_view value, ConfigValueForm form, std::string& error);

// The lines of a file, each with its line feed (the last one may lack it).
std::vector<std::string> SplitConfigLines(std::string_view content);

// Makes `name = valueText` the active setting: replaces the last active line
// of `name`; without one, the last commented-out line ("#name = ..."); without
// either, appends a line. A line matches when the text before its first "=",
// without leading "#" and trailing blanks, is exactly `name`, so a setting
// whose name only begins with `name` is not touched.
void SetConfigParameter(std::vector<std::string>& lines, const std::string& name,
                        const std::string& valueText);
