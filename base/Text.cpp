#include "base/Text.h"

#include <cctype>
#include <limits>

namespace quvo {

bool IsTrimSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string TrimLeft(const std::string& text) {
    size_t start = 0;
    while (start < text.size() && IsTrimSpace(text[start])) ++start;
    return text.substr(start);
}

std::string TrimRight(const std::string& text) {
    size_t end = text.size();
    while (end > 0 && IsTrimSpace(text[end - 1])) --end;
    return text.substr(0, end);
}

std::string Trim(const std::string& text) {
    return TrimLeft(TrimRight(text));
}

int32_t WordToNumber(const std::string& word) {
    size_t i = 0;
    while (i < word.size() && IsTrimSpace(word[i])) ++i;
    bool negative = false;
    if (i < word.size() && (word[i] == '+' || word[i] == '-')) {
        negative = word[i] == '-';
        ++i;
    }
    int64_t value = 0;
    const int64_t limit = negative ? -static_cast<int64_t>(std::numeric_limits<int32_t>::min())
                                   : std::numeric_limits<int32_t>::max();
    for (; i < word.size() && word[i] >= '0' && word[i] <= '9'; ++i) {
        value = value * 10 + (word[i] - '0');
        if (value > limit) value = limit;
    }
    return static_cast<int32_t>(negative ? -value : value);
}

std::string ToLower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

}  // namespace quvo
