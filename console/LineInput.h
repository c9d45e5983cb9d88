// Reading command lines of bounded length from a stream.
#pragma once

#include <cstddef>
#include <istream>
#include <string>

namespace quvo {

// The longest command line the console takes, in bytes without the line end: far
// above any real command, low enough that no input can make the console hoard memory.
inline constexpr size_t kMaxLineLength = 64 * 1024;

enum class LineStatus {
    Line,     // a line (the last one may lack its line end)
    TooLong,  // a line longer than the limit, read to its end and thrown away
    End,      // end of input, nothing read
};

// Reads one line as std::getline does ('\n' ends it and is not kept), holding at
// most maxLength bytes: the rest of a longer line is read and dropped.
LineStatus ReadCappedLine(std::istream& input, std::string& line, size_t maxLength = kMaxLineLength);

}  // namespace quvo
