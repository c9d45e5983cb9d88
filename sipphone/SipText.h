// The small rules of SIP's text that the port's guard and its screen share (RFC 3261 25.1).
#pragma once

#include <algorithm>
#include <cctype>
#include <string_view>

namespace quvo::sip {

// A character of a token: a method, a header's name, a parameter.
inline bool IsTokenChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) ||
           std::string_view("-.!%*_+`'~").find(c) != std::string_view::npos;
}

inline bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The same text, letters in any case.
inline bool SameLetters(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// Without blanks and line ends around it.
inline std::string_view Trim(std::string_view text) {
    constexpr std::string_view kBlank = " \t\r\n";
    while (!text.empty() && kBlank.find(text.front()) != std::string_view::npos) text.remove_prefix(1);
    while (!text.empty() && kBlank.find(text.back()) != std::string_view::npos) text.remove_suffix(1);
    return text;
}

}  // namespace quvo::sip
