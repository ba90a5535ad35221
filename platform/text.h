// Small text helpers shared by every folder: printf-style formatting into a
// std::string, the UTF-8 check and the message catalogue hook. Thread-safe.
#pragma once

#include <string>
#include <string_view>

// Formats like printf and returns the text. Arguments must match the format.
std::string StrFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The system's text for the error number `err` (thread-safe).
std::string ErrnoText(int err);

// True when `text` is well-formed UTF-8 without NUL characters: no overlong
// forms, surrogates or values beyond U+10FFFF.
bool IsValidUtf8(std::string_view text);

// `bytes` as well-formed UTF-8: every byte that does not start a well-formed
// sequence, and every NUL, becomes U+FFFD; everything else is kept.
std::string ToValidUtf8(std::string_view bytes);

// Looks a message literal up in the catalogue (text domain "varo-agent"); returns
// the literal itself while no catalogue is installed. The translation is a format
// with the same conversions as the literal, so the compiler checks the arguments
// of StrFormat(_("..."), ...) against the literal.
const char* TranslateMessage(const char* literal) __attribute__((format_arg(1)));

#define _(literal) TranslateMessage(literal)
