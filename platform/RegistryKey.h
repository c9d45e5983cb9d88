// CRegistryKey: the softphone's settings key, open for the length of one command.
#pragma once

#include <string>

#include "platform/Settings.h"

namespace quvo::platform {

// The softphone's own settings key.
inline constexpr const char* kSoftphoneSettingsKey = "Software\\Quelbo\\QUVO";

class CRegistryKey {
  public:
    // Opens subKey, creating it (empty) when it is missing. Never fails outwardly:
    // a key that cannot be opened reads every value as missing.
    explicit CRegistryKey(const std::string& subKey = kSoftphoneSettingsKey);
    virtual ~CRegistryKey();
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;

    // Reads one value whole; false, with value untouched, when it cannot be read.
    bool ReadString(const std::string& name, std::string& value);

  private:
    SettingsKey* m_hKey = nullptr;
    bool m_bOpen = false;
};

}  // namespace quvo::platform
