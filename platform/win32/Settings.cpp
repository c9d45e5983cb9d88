#include "platform/Settings.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace quvo::platform {

struct SettingsKey {
    HKEY key = nullptr;
};

namespace {

// The text of a value as read: up to the first zero byte, never past what the
// registry reported.
std::string TextUpToNul(const BYTE* data, DWORD size) {
    const char* text = reinterpret_cast<const char*>(data);
    const void* nul = std::memchr(text, '\0', size);
    return std::string(text, nul ? static_cast<const char*>(nul) - text : static_cast<ptrdiff_t>(size));
}

}  // namespace

SettingsKey* OpenSettingsKey(const std::string& subKey) {
    HKEY key = nullptr;
    if (::RegCreateKeyExA(HKEY_CURRENT_USER, subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return nullptr;
    return new SettingsKey{key};
}

bool ReadSettingsValue(SettingsKey* key, const std::string& name, std::string& value) {
    if (!key || !key->key) return false;

    // First attempt: a small buffer, enough for nearly every value.
    BYTE small[64];
    DWORD size = sizeof small;
    LONG status = ::RegQueryValueExA(key->key, name.c_str(), nullptr, nullptr, small, &size);
    if (status == ERROR_SUCCESS && size <= sizeof small) {
        value = TextUpToNul(small, size);
        return true;
    }

    // Second and last attempt: four times what the first one reported, and at least
    // room for the reported size and a terminating zero, so that a value that grew in
    // between or a size of zero can never overflow the buffer.
    const std::uint64_t wanted = std::max<std::uint64_t>(std::uint64_t{4} * size, std::uint64_t{size} + 1);
    const DWORD capacity = static_cast<DWORD>(std::min<std::uint64_t>(wanted, MAXDWORD - 1));
    std::vector<BYTE> large(static_cast<size_t>(capacity) + 1, 0);
    size = capacity;
    status = ::RegQueryValueExA(key->key, name.c_str(), nullptr, nullptr, large.data(), &size);
    if (status != ERROR_SUCCESS || size > capacity) return false;
    value = TextUpToNul(large.data(), size);
    return true;
}

void CloseSettingsKey(SettingsKey* key) {
    if (!key) return;
    if (key->key) ::RegCloseKey(key->key);
    delete key;
}

}  // namespace quvo::platform
