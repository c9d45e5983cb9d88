#include "platform/Text.h"

#include <windows.h>

#include <climits>

namespace quvo::platform {

std::wstring ToWide(const std::string& narrow) {
    if (narrow.empty()) return std::wstring();
    if (narrow.size() > static_cast<size_t>(INT_MAX)) return std::wstring();
    const int length = static_cast<int>(narrow.size());
    // Without MB_ERR_INVALID_CHARS, bytes that do not convert come out as U+FFFD
    // (or the code page's own default), never as an error.
    const int needed = ::MultiByteToWideChar(CP_ACP, 0, narrow.data(), length, nullptr, 0);
    if (needed <= 0) return std::wstring(narrow.size(), L'\xFFFD');
    std::wstring wide(static_cast<size_t>(needed), L'\0');
    const int written = ::MultiByteToWideChar(CP_ACP, 0, narrow.data(), length, wide.data(), needed);
    wide.resize(written > 0 ? static_cast<size_t>(written) : 0);
    return wide;
}

std::string ToNarrow(const std::wstring& wide) {
    if (wide.empty()) return std::string();
    if (wide.size() > static_cast<size_t>(INT_MAX)) return std::string();
    const int length = static_cast<int>(wide.size());
    // A system whose ANSI code page is UTF-8 takes no default character (the call
    // would fail); there every character converts, and a lone surrogate becomes U+FFFD.
    const char defaultChar = '?';
    const char* replacement = ::GetACP() == CP_UTF8 ? nullptr : &defaultChar;
    const int needed =
        ::WideCharToMultiByte(CP_ACP, 0, wide.data(), length, nullptr, 0, replacement, nullptr);
    if (needed <= 0) return std::string(wide.size(), '?');
    std::string narrow(static_cast<size_t>(needed), '\0');
    const int written =
        ::WideCharToMultiByte(CP_ACP, 0, wide.data(), length, narrow.data(), needed, replacement, nullptr);
    narrow.resize(written > 0 ? static_cast<size_t>(written) : 0);
    return narrow;
}

std::string ToUtf8(const std::string& narrow) {
    const std::wstring wide = ToWide(narrow);
    if (wide.empty()) return std::string();
    const int length = static_cast<int>(wide.size());
    // Every character has a UTF-8 form; a lone surrogate becomes U+FFFD.
    const int needed = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return std::string();
    std::string utf8(static_cast<size_t>(needed), '\0');
    const int written =
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, utf8.data(), needed, nullptr, nullptr);
    utf8.resize(written > 0 ? static_cast<size_t>(written) : 0);
    return utf8;
}

}  // namespace quvo::platform
