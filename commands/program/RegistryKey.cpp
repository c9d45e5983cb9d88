#include "commands/program/RegistryKey.h"

namespace quvo {

CRegistryKey::CRegistryKey(const std::string& subKey) {
    m_hKey = platform::OpenSettingsKey(subKey);
    m_bOpen = m_hKey != nullptr;
}

CRegistryKey::~CRegistryKey() {
    if (m_hKey) platform::CloseSettingsKey(m_hKey);
    m_hKey = nullptr;
}

bool CRegistryKey::ReadString(const std::string& name, std::string& value) {
    if (!m_bOpen) return false;
    return platform::ReadSettingsValue(m_hKey, name, value);
}

}  // namespace quvo
