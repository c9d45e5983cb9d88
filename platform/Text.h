// Conversions between the console's narrow text (the locale's character set) and
// the wide automation strings exchanged with the softphone.
#pragma once

#include <cwctype>
#include <string>

namespace quvo::platform {

// Narrow (locale) to wide. Bytes that do not convert become U+FFFD.
std::wstring ToWide(const std::string& narrow);

// Wide to narrow (locale). Characters that do not convert become '?'.
std::string ToNarrow(const std::wstring& wide);

// Narrow (locale) text as UTF-8, the character set that URLs carry whatever the
// console's own is. Bytes that do not convert become U+FFFD.
std::string ToUtf8(const std::string& narrow);

// A text from the softphone (or from the far ends and servers behind it) for one
// console line: as ToNarrow, and every control character (C0, DEL, C1) becomes '?'
// as well, so that such a text can neither end or overwrite the line it is printed
// in nor send escape sequences to the terminal. So do the Unicode line and paragraph
// separators (a reader that splits lines on them would see a line the softphone forged)
// and the bidirectional controls (which reorder what an operator reads).
inline bool IsForging(unsigned long code) {
    return code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x2028 || code == 0x2029 ||
           code == 0x061C || code == 0x200E || code == 0x200F || (code >= 0x202A && code <= 0x202E) ||
           (code >= 0x2066 && code <= 0x2069);
}

inline std::string ToPrintable(std::wstring wide) {
    for (wchar_t& c : wide)
        if (IsForging(static_cast<unsigned long>(c))) c = L'?';
    return ToNarrow(wide);
}

// Whole-text comparison ignoring letter case, for every letter the locale knows.
inline bool EqualsIgnoringCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i])))
            return false;
    }
    return true;
}

}  // namespace quvo::platform
