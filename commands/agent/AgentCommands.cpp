// IPCCLogin, IPCCLogout, IPCCState, IPCCNotReadyReasons, IPCCLogoutReasons.
#include "base/AutomationError.h"
#include "base/Text.h"
#include "link/SoftphoneControl.h"
#include "platform/Text.h"

namespace quvo::link {

namespace {

bool IsAgentStateWord(const std::string& state) {
    for (const char* word : {"ready", "notready", "work", "workready", "worknotready"}) {
        if (EqualsNoCase(state, word)) return true;
    }
    return false;
}

}  // namespace

ResultCode CSoftphoneControl::IPCCLogin(std::string agentId, std::string password, std::string extension) {
    agentId = Trim(agentId);
    extension = Trim(extension);
    if (agentId.empty() || extension.empty()) return ERROR_MISSING_PARAMETER;
    return CallOrFail(
        [&] {
            m_pSoftphone->IPCCLogin(platform::ToWide(agentId), platform::ToWide(password),
                                    platform::ToWide(extension));
        },
        ERROR_IPCC_LOGIN);
}

ResultCode CSoftphoneControl::IPCCLogout(std::string reason) {
    return CallOrFail([&] { m_pSoftphone->IPCCLogout(platform::ToWide(reason)); }, ERROR_IPCC_LOGIN);
}

ResultCode CSoftphoneControl::IPCCState(std::string state, std::string reason) {
    if (!state.empty() && !IsAgentStateWord(state)) return ERROR_IPCC_INVALID_STATE;
    return CallOrFail([&] { m_pSoftphone->IPCCSetState(platform::ToWide(state), platform::ToWide(reason)); },
                      ERROR_IPCC_CHANGE_STATE);
}

ResultCode CSoftphoneControl::IPCCNotReadyReasons() {
    m_pSoftphone->IPCCNotReadyReasons();
    return SUCCESS;
}

ResultCode CSoftphoneControl::IPCCLogoutReasons() {
    m_pSoftphone->IPCCLogoutReasons();
    return SUCCESS;
}

}  // namespace quvo::link
