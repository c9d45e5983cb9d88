// The softphone program's path from its folder and file name.
#pragma once

#include <string>

namespace quvo {

// folder and file joined with a forward slash, unless folder already ends in
// "/" or "\".
std::string JoinProgramPath(const std::string& folder, const std::string& file);

}  // namespace quvo
