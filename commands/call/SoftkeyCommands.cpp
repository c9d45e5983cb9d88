// Softkey, DTMF, the speaker and microphone volume, Mute.
#include <chrono>
#include <thread>

#include "base/Text.h"
#include "link/SoftphoneControl.h"
#include "platform/Text.h"

namespace quvo::link {

namespace {

std::string SoftkeyList() {
    return std::string(",") + "redial,newcall,hold,transfer,cfwdall,endcall,resume,answer,conference," +
           "park,join,meetme,pickup,grouppickup,droplastconferee,callback,barge,cbarge," +
           "dnd,divertall,idivert,watch,intercept,transfervmail,";
}

constexpr const char* kDtmfKeys = "0123456789#*";
constexpr auto kDtmfSpacing = std::chrono::milliseconds(200);

// lineId and callRefId of a softkey: -1 when absent.
int32_t OptionalNumber(const std::string& word) {
    const std::string trimmed = Trim(word);
    return trimmed.empty() ? -1 : WordToNumber(trimmed);
}

}  // namespace

ResultCode CSoftphoneControl::Softkey(std::string name, std::string lineId, std::string callRefId) {
    name = ToLower(Trim(name));
    if (name.empty()) return ERROR_INVALID_PARAMETER;
    if (SoftkeyList().find("," + name + ",") == std::string::npos) return ERROR_INVALID_PARAMETER;
    m_pSoftphone->Softkey(platform::ToWide(name), OptionalNumber(lineId), OptionalNumber(callRefId));
    return SUCCESS;
}

ResultCode CSoftphoneControl::DTMF(std::string keys) {
    keys = Trim(keys);
    if (keys.empty()) return ERROR_MISSING_PARAMETER;
    if (keys.find_first_not_of(kDtmfKeys) != std::string::npos) return ERROR_INVALID_PARAMETER;
    for (size_t i = 0; i < keys.size(); ++i) {
        if (i > 0) std::this_thread::sleep_for(kDtmfSpacing);
        m_pSoftphone->SendDtmf(std::wstring(1, static_cast<wchar_t>(keys[i])));
    }
    return SUCCESS;
}

ResultCode CSoftphoneControl::SpkrVolume(int up) {
    if (up == 1) {
        m_pSoftphone->SpkrVolumeUp();
    } else {
        m_pSoftphone->SpkrVolumeDown();
    }
    return SUCCESS;
}

ResultCode CSoftphoneControl::MicVolume(int up) {
    if (up == 1) {
        m_pSoftphone->MicVolumeUp();
    } else {
        m_pSoftphone->MicVolumeDown();
    }
    return SUCCESS;
}

ResultCode CSoftphoneControl::Mute(std::string onOff) {
    const bool unmute = EqualsNoCase(onOff, "off") || EqualsNoCase(onOff, "no") ||
                        EqualsNoCase(onOff, "false") || onOff == "0";
    m_pSoftphone->SetMute(unmute ? 0 : 1);
    return SUCCESS;
}

}  // namespace quvo::link
