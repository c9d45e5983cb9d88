// The names of the result codes, as the command loop prints them.
#pragma once

#include <string>

#include "base/ResultCodes.h"

namespace quvo {

// The code's name, or "Unkown error code (%d)" for a code without one.
std::string ResultCodeName(ResultCode code);

}  // namespace quvo
