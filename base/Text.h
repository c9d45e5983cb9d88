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

// ASCII lower case (the console's command words and phrases are ASCII).
std::string ToLower(std::string text);

// Whole-string comparison ignoring letter case.
bool EqualsNoCase(const std::string& a, const std::string& b);

}  // namespace quvo
