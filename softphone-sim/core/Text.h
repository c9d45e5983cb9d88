// Small text helpers of the simulator, free of any platform library.
#pragma once

#include <cstdint>
#include <string>

namespace quvo::sim {

// ASCII lower case; other bytes stay as they are.
std::string Lower(std::string text);
bool EqualsNoCase(const std::string& a, const std::string& b);
bool StartsWithNoCase(const std::string& text, const std::string& prefix);

// A whole decimal word with an optional sign that fits 32 bits.
bool ParseInt32(const std::string& text, int32_t& out);

}  // namespace quvo::sim
