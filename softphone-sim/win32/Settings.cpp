#include "Settings.h"

#include <windows.h>

namespace quvo::sim {
namespace {

constexpr const char* kKey = "Software\\Quelbo\\QUVO";

}  // namespace

std::optional<std::string> ReadSetting(const std::string& name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return std::nullopt;
    std::optional<std::string> value;
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ)) {
        std::string data(size + 1, '\0');
        if (RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                             &size) == ERROR_SUCCESS) {
            data.resize(data.find('\0') == std::string::npos ? size : data.find('\0'));
            value = data;
        }
    }
    RegCloseKey(key);
    return value;
}

bool WriteSettings(const std::vector<std::pair<std::string, std::string>>& values, std::string& error) {
    HKEY key = nullptr;
    LONG status = RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                                  nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        error = "cannot open HKCU\\" + std::string(kKey) + " (" + std::to_string(status) + ")";
        return false;
    }
    for (const auto& [name, value] : values) {
        status = RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                static_cast<DWORD>(value.size() + 1));
        if (status != ERROR_SUCCESS) {
            error = "cannot write " + name + " (" + std::to_string(status) + ")";
            break;
        }
    }
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

}  // namespace quvo::sim
