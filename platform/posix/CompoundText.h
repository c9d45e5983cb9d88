// Text of X properties stored as COMPOUND_TEXT.
#pragma once

#include <string>
#include <string_view>

namespace quvo::platform {

// COMPOUND_TEXT, the encoding of a WM_NAME that neither Latin-1 nor UTF-8 was
// chosen for, as UTF-8: ASCII on the left half and Latin-1 on the right until
// ISO 2022 designates other sets (the other parts of ISO 8859 to the right; the
// 94x94 sets of China, Japan and Korea to either half), UTF-8 segments, and
// direction marks, which carry no text. False for anything else: other sets,
// controls, broken sequences.
bool CompoundTextToUtf8(std::string_view text, std::string& utf8);

}  // namespace quvo::platform
