// Text helpers shared by the command handlers.
#pragma once

#include <cstdint>
#include <string>

namespace quvo {

// White space as the console trims it: blank, tab, line feed, vertical tab, form
// feed and carriage return.
bool IsTrimSpace(char c);
std::string Trim(const std::string& text);
std::string TrimLeft(const std::string& text);
std::string TrimRight(const std::string& text);

// Word-to-number: leading white space skipped, an optional sign, then decimal
// digits up to the first other character; 0 when no digit follows. Values beyond
// 32 bits saturate.
int32_t WordToNumber(const std::string& word);

// Lower case, byte by byte, by the rules of the locale chosen at start-up: in a
// single-byte character set every letter it knows changes, in a multibyte one
// (UTF-8) only the single-byte letters do.
std::string ToLower(std::string text);

// Whole-string comparison ignoring letter case, byte by byte by the same locale
// rules as ToLower.
bool EqualsNoCase(const std::string& a, const std::string& b);

}  // namespace quvo
