#include "platform/RegistryKey.h"

namespace quvo::platform {

CRegistryKey::CRegistryKey(const std::string& subKey) {
    m_hKey = OpenSettingsKey(subKey);
    m_bOpen = m_hKey != nullptr;
}

CRegistryKey::~CRegistryKey() {
    if (m_hKey) CloseSettingsKey(m_hKey);
    m_hKey = nullptr;
}

bool CRegistryKey::ReadString(const std::string& name, std::string& value) {
    if (!m_bOpen) return false;
    return ReadSettingsValue(m_hKey, name, value);
}

}  // namespace quvo::platform
