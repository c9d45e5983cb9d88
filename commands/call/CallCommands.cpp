// MakeCall, Answer, EndCall, Hold, Resume, OffHook, OnHook, Messages, Snapshot, CallStats.
#include "base/AutomationError.h"
#include "base/Text.h"
#include "link/SoftphoneControl.h"
#include "platform/Text.h"

namespace quvo::link {

ResultCode CSoftphoneControl::MakeCall(std::string destination, std::string /*unused*/) {
    if (destination.empty()) return ERROR_NO_DESTINATION;
    return CallOrFail([&] { m_pSoftphone->MakeCall(platform::ToWide(destination)); }, ERROR_MAKE_CALL);
}

ResultCode CSoftphoneControl::Answer(std::string callRefId) {
    callRefId = Trim(callRefId);
    if (callRefId.empty()) {
        m_pSoftphone->Answer(m_lCallRef.load());
        return SUCCESS;
    }
    const int32_t callRef = WordToNumber(callRefId);
    if (callRef == 0) return ERROR_NO_INCOMING_CALL;
    m_pSoftphone->Answer(callRef);
    return SUCCESS;
}

ResultCode CSoftphoneControl::EndCall() {
    m_pSoftphone->EndCall();
    return SUCCESS;
}

ResultCode CSoftphoneControl::Hold() {
    m_pSoftphone->Hold();
    return SUCCESS;
}

ResultCode CSoftphoneControl::Resume(std::string callRefId) {
    m_pSoftphone->Resume(WordToNumber(Trim(callRefId)));
    return SUCCESS;
}

namespace {

// The line of OffHook and OnHook: trimmed at its end, never below 0.
int32_t LineNumber(const std::string& word) {
    const int32_t line = WordToNumber(TrimRight(word));
    return line < 0 ? 0 : line;
}

}  // namespace

ResultCode CSoftphoneControl::OffHook(std::string line) {
    m_pSoftphone->OffHook(LineNumber(line));
    return SUCCESS;
}

ResultCode CSoftphoneControl::OnHook(std::string line) {
    m_pSoftphone->OnHook(LineNumber(line));
    return SUCCESS;
}

ResultCode CSoftphoneControl::Messages() {
    m_pSoftphone->Messages();
    return SUCCESS;
}

ResultCode CSoftphoneControl::Snapshot() {
    m_pSoftphone->Snapshot();
    return SUCCESS;
}

ResultCode CSoftphoneControl::CallStats() {
    m_pSoftphone->CallStats();
    return SUCCESS;
}

}  // namespace quvo::link
