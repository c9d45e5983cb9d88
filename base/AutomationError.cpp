#include "base/AutomationError.h"

#include "base/Output.h"

namespace quvo::link {

CAutomationError::CAutomationError(uint32_t status, std::string name, std::string text)
    : std::runtime_error("automation failure"),
      m_status(status),
      m_name(std::move(name)),
      m_text(std::move(text)) {}

std::string CAutomationError::Describe() const {
    std::string line = quvo::Format("Automation failure 0x%08X", m_status);
    const std::string& detail = m_text.empty() ? m_name : m_text;
    if (!detail.empty()) {
        line += " - ";
        line += detail;
    }
    return line;
}

}  // namespace quvo::link
