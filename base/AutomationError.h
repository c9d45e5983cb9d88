// A failed automation call: the softphone reported a failure, or could not be
// reached at all.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "base/ResultCodes.h"

namespace quvo::link {

class CAutomationError : public std::runtime_error {
  public:
    // status: an HRESULT-style failure code (negative); name: the error's name as
    // the transport gives it (may be empty); text: the softphone's error text (may
    // be empty).
    CAutomationError(uint32_t status, std::string name, std::string text);

    uint32_t Status() const { return m_status; }
    const std::string& Name() const { return m_name; }
    const std::string& Text() const { return m_text; }

    // The console's one-line report, without the "> Error : " lead or line end.
    std::string Describe() const;

  private:
    uint32_t m_status;
    std::string m_name;
    std::string m_text;
};

// Runs one softphone operation; its automation failure becomes failureCode.
template <typename Operation>
ResultCode CallOrFail(Operation&& operation, ResultCode failureCode) {
    try {
        operation();
    } catch (const CAutomationError&) {
        return failureCode;
    }
    return SUCCESS;
}

// Status values used for failures that do not come with one of their own.
inline constexpr uint32_t kStatusFailed = 0x80004005u;       // E_FAIL
inline constexpr uint32_t kStatusTimeout = 0x800705B4u;      // HRESULT_FROM_WIN32(ERROR_TIMEOUT)
inline constexpr uint32_t kStatusUnavailable = 0x800706BAu;  // RPC_S_SERVER_UNAVAILABLE

}  // namespace quvo::link
