// Result codes of the command handlers.
#pragma once

#include <cstdint>

namespace quvo {

using ResultCode = int32_t;

// Platform headers are never included together with this one: some of these names
// are macros there.
inline constexpr ResultCode SUCCESS = 0;
inline constexpr ResultCode ERROR_INVALID_PARAMETER = 87;
inline constexpr ResultCode ERROR_NOT_INITIALIZED = 101;
inline constexpr ResultCode ERROR_PHONE_NOT_RUNNING = 102;
inline constexpr ResultCode ERROR_INVALID_COMMAND = 103;
inline constexpr ResultCode ERROR_NO_DESTINATION = 104;
inline constexpr ResultCode ERROR_MAKE_CALL = 105;
inline constexpr ResultCode ERROR_NO_CALL = 106;
inline constexpr ResultCode ERROR_NO_INCOMING_CALL = 107;
inline constexpr ResultCode ERROR_PHONE_NOT_FOUND = 108;
inline constexpr ResultCode ERROR_MISSING_PARAMETER = 109;
inline constexpr ResultCode ERROR_TRANSFER = 110;
inline constexpr ResultCode ERROR_CONFERENCE = 111;
inline constexpr ResultCode ERROR_CREATE_XML_OBJECT_FAILED = 113;
inline constexpr ResultCode ERROR_CREATE_DOM_OBJECT_FAILED = 114;
inline constexpr ResultCode ERROR_EM_REQUEST_FAILED = 115;
inline constexpr ResultCode ERROR_EM_ANOTHER_USER_LOGGED_ON = 116;
inline constexpr ResultCode ERROR_EM_DEVICE_NOT_CONFIGURED = 117;
inline constexpr ResultCode ERROR_EM_UNKNOWN_DEVICE = 118;
inline constexpr ResultCode ERROR_EM_INVALID_CREDENTIALS = 119;
inline constexpr ResultCode ERROR_EM_UNKNOWN_RESPONSE = 120;
inline constexpr ResultCode ERROR_IPCC_LOGIN = 121;
inline constexpr ResultCode ERROR_IPCC_CHANGE_STATE = 123;
inline constexpr ResultCode ERROR_IPCC_INVALID_STATE = 124;

}  // namespace quvo
