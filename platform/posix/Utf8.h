// UTF-8 <-> wide text for the automation strings on the bus.
#pragma once

#include <string>

namespace quvo::platform {

// Code points that UTF-8 cannot carry (surrogates, values past U+10FFFF) become U+FFFD.
std::string WideToUtf8(const std::wstring& wide);

// Invalid sequences become U+FFFD.
std::wstring Utf8ToWide(const std::string& utf8);

// Whether the character-type locale is the plain C (POSIX) one, whose narrow text
// the console reads and writes as UTF-8.
bool IsPlainCLocale();

}  // namespace quvo::platform
