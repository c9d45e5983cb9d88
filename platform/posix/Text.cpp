#include "platform/Text.h"

#include <climits>
#include <cwchar>

#include "platform/posix/Utf8.h"

namespace quvo::platform {

// Where the C locale could not be switched to C.UTF-8 at start-up, its text is
// UTF-8 all the same (see InitializeFramework).
std::wstring ToWide(const std::string& narrow) {
    if (IsPlainCLocale()) return Utf8ToWide(narrow);
    std::wstring wide;
    wide.reserve(narrow.size());
    std::mbstate_t state{};
    size_t i = 0;
    while (i < narrow.size()) {
        wchar_t c = 0;
        const size_t used = std::mbrtowc(&c, narrow.data() + i, narrow.size() - i, &state);
        if (used == static_cast<size_t>(-1) || used == static_cast<size_t>(-2)) {
            wide += L'\xFFFD';
            state = std::mbstate_t{};
            ++i;
        } else if (used == 0) {
            wide += L'\0';
            ++i;
        } else {
            wide += c;
            i += used;
        }
    }
    return wide;
}

std::string ToNarrow(const std::wstring& wide) {
    if (IsPlainCLocale()) return WideToUtf8(wide);
    std::string narrow;
    narrow.reserve(wide.size());
    std::mbstate_t state{};
    char buffer[MB_LEN_MAX];
    for (wchar_t c : wide) {
        const size_t length = std::wcrtomb(buffer, c, &state);
        if (length == static_cast<size_t>(-1)) {
            narrow += '?';
            state = std::mbstate_t{};
        } else {
            narrow.append(buffer, length);
        }
    }
    return narrow;
}

std::string ToUtf8(const std::string& narrow) {
    return WideToUtf8(ToWide(narrow));
}

}  // namespace quvo::platform
