// Extension Mobility: the request URLs and the classification of the answers.
#pragma once

#include <string>

#include "base/ResultCodes.h"

namespace quvo {

// Percent-encodes a query value: RFC 3986 unreserved characters stay as they are.
std::string PercentEncode(const std::string& value);

// The request URLs. The host goes in as read; the other values are converted from
// the console's character set to UTF-8 and percent-encoded.
std::string EMLoginUrl(const std::string& host, const std::string& device, const std::string& userId,
                       const std::string& password);
std::string EMLogoutUrl(const std::string& host, const std::string& device);

// Whether host (IpAddress) can stand in a URL as its host and optional port: a name of
// letters, digits, '-', '.', '_' and '~', or an IPv6 address in brackets, then ":PORT".
// One that cannot is refused before any request, on every platform alike.
bool IsUrlHost(const std::string& host);

// Classify the lower-cased text of an answer: SUCCESS or the failure's code.
ResultCode ClassifyLoginResponse(const std::string& text);
ResultCode ClassifyLogoutResponse(const std::string& text);

}  // namespace quvo
