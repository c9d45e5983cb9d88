#include "console/ResultCodes.h"

#include "base/Output.h"

namespace quvo {

std::string ResultCodeName(ResultCode code) {
    switch (code) {
        case SUCCESS: return "SUCCESS";
        case ERROR_INVALID_PARAMETER: return "ERROR_INVALID_PARAMETER";
        case ERROR_NOT_INITIALIZED: return "ERROR_NOT_INITIALIZED";
        case ERROR_PHONE_NOT_RUNNING: return "ERROR_PHONE_NOT_RUNNING";
        case ERROR_INVALID_COMMAND: return "ERROR_INVALID_COMMAND";
        case ERROR_NO_DESTINATION: return "ERROR_NO_DESTINATION";
        case ERROR_MAKE_CALL: return "ERROR_MAKE_CALL";
        case ERROR_NO_CALL: return "ERROR_NO_CALL";
        case ERROR_NO_INCOMING_CALL: return "ERROR_NO_INCOMING_CALL";
        case ERROR_PHONE_NOT_FOUND: return "ERROR_PHONE_NOT_FOUND";
        case ERROR_MISSING_PARAMETER: return "ERROR_MISSING_PARAMETER";
        case ERROR_TRANSFER: return "ERROR_TRANSFER";
        case ERROR_CONFERENCE: return "ERROR_CONFERENCE";
        case ERROR_CREATE_XML_OBJECT_FAILED: return "ERROR_CREATE_XML_OBJECT_FAILED";
        case ERROR_CREATE_DOM_OBJECT_FAILED: return "ERROR_CREATE_DOM_OBJECT_FAILED";
        case ERROR_EM_REQUEST_FAILED: return "ERROR_EM_REQUEST_FAILED";
        case ERROR_EM_ANOTHER_USER_LOGGED_ON: return "ERROR_EM_ANOTHER_USER_LOGGED_ON";
        case ERROR_EM_DEVICE_NOT_CONFIGURED: return "ERROR_EM_DEVICE_NOT_CONFIGURED";
        case ERROR_EM_UNKNOWN_DEVICE: return "ERROR_EM_UNKNOWN_DEVICE";
        case ERROR_EM_INVALID_CREDENTIALS: return "ERROR_EM_INVALID_CREDENTIALS";
        case ERROR_EM_UNKNOWN_RESPONSE: return "ERROR_EM_UNKNOWN_RESPONSE";
        case ERROR_IPCC_LOGIN: return "ERROR_IPCC_LOGIN";
        case ERROR_IPCC_CHANGE_STATE: return "ERROR_IPCC_CHANGE_STATE";
        case ERROR_IPCC_INVALID_STATE: return "ERROR_IPCC_INVALID_STATE";
        default: return quvo::Format("Unkown error code (%d)", code);
    }
}

}  // namespace quvo
