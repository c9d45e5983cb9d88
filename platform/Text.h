// Conversions between the console's narrow text (the locale's character set) and
// the wide automation strings exchanged with the softphone.
#pragma once

#include <string>

namespace quvo::platform {

// Narrow (locale) to wide. Bytes that do not convert become U+FFFD.
std::wstring ToWide(const std::string& narrow);

// Wide to narrow (locale). Characters that do not convert become '?'.
std::string ToNarrow(const std::wstring& wide);

}  // namespace quvo::platform
