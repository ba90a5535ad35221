// Small text helpers shared by every folder: printf-style formatting into a
// std::string and the message catalogue hook. Thread-safe.
#pragma once

#include <string>

// Formats like printf and returns the text. Arguments must match the format.
std::string StrFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Looks a message literal up in the catalogue (text domain "varo-agent"); returns
// the literal itself while no catalogue is installed.
const char* TranslateMessage(const char* literal);

#define _(literal) TranslateMessage(literal)
