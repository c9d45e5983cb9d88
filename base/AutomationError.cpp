#include "base/AutomationError.h"

#include "base/Output.h"

namespace quvo::link {

CAutomationError::CAutomationError(uint32_t status, std::string name, std::string text)
    : std::runtime_error("automation failure"),
      m_status(status),
      m_name(std::move(name)),
      m_text(std::move(text)) {}

// One failure is one line: a control character in the softphone's text (a line
// end, a carriage return, an escape) is shown as '?'. The bindings have replaced
// them already where the text is converted; this holds for any binding, in any
// narrow character set, since C0 and DEL are single bytes in all of them.
std::string CAutomationError::Describe() const {
    std::string line = quvo::Format("Automation failure 0x%08X", m_status);
    const std::string& detail = m_text.empty() ? m_name : m_text;
    if (!detail.empty()) {
        line += " - ";
        for (const char c : detail) {
            const auto byte = static_cast<unsigned char>(c);
            line += byte < 0x20 || byte == 0x7F ? '?' : c;
        }
    }
    return line;
}

}  // namespace quvo::link
