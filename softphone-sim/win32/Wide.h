// UTF-8 (the simulator's own text, as on Linux) to and from UTF-16 (BSTR and the wide API).
#pragma once

#include <string>

namespace quvo::sim {

std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const wchar_t* text, size_t length);
inline std::string WideToUtf8(const std::wstring& text) {
    return WideToUtf8(text.data(), text.size());
}

}  // namespace quvo::sim
