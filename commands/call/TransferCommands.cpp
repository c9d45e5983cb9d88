// Transfer, TransferInitiate/Complete/Cancel, ConferenceInitiate/Complete/Cancel.
#include "base/AutomationError.h"
#include "link/SoftphoneControl.h"
#include "platform/Text.h"

namespace quvo::link {

ResultCode CSoftphoneControl::Transfer(std::string destination) {
    if (destination.empty()) return ERROR_NO_DESTINATION;
    return CallOrFail([&] { m_pSoftphone->Transfer(platform::ToWide(destination)); }, ERROR_TRANSFER);
}

ResultCode CSoftphoneControl::TransferInitiate(std::string destination) {
    if (destination.empty()) return ERROR_NO_DESTINATION;
    return CallOrFail([&] { m_pSoftphone->TransferInitiate(platform::ToWide(destination)); }, ERROR_TRANSFER);
}

ResultCode CSoftphoneControl::TransferComplete() {
    return CallOrFail([&] { m_pSoftphone->TransferComplete(); }, ERROR_TRANSFER);
}

ResultCode CSoftphoneControl::TransferCancel() {
    return Softkey("endcall", "", "");
}

ResultCode CSoftphoneControl::ConferenceInitiate(std::string destination) {
    if (destination.empty()) return ERROR_NO_DESTINATION;
    return CallOrFail([&] { m_pSoftphone->ConferenceInitiate(platform::ToWide(destination)); },
                      ERROR_CONFERENCE);
}

ResultCode CSoftphoneControl::ConferenceComplete() {
    return CallOrFail([&] { m_pSoftphone->ConferenceComplete(); }, ERROR_CONFERENCE);
}

ResultCode CSoftphoneControl::ConferenceCancel() {
    return Softkey("endcall", "", "");
}

}  // namespace quvo::link
