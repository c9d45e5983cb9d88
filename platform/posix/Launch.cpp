#include "platform/Launch.h"

namespace quvo::platform {

bool LaunchProgram(const std::string&, const std::string&, const std::string&) { return false; }

}  // namespace quvo::platform
