#include "console/LineInput.h"

namespace quvo {

namespace {

// The next byte, or the end; a buffer that fails to read (an error of the file
// under it) ends the input as its end does.
std::istream::int_type NextByte(std::streambuf& buffer) {
    try {
        return buffer.sbumpc();
    } catch (...) {
        return std::istream::traits_type::eof();
    }
}

}  // namespace

LineStatus ReadCappedLine(std::istream& input, std::string& line, size_t maxLength) {
    line.clear();
    std::streambuf* buffer = input.rdbuf();
    if (!input.good() || buffer == nullptr) {
        input.setstate(std::ios::failbit);
        return LineStatus::End;
    }
    using Traits = std::istream::traits_type;
    bool readAny = false;
    bool tooLong = false;
    for (;;) {
        const Traits::int_type c = NextByte(*buffer);
        if (Traits::eq_int_type(c, Traits::eof())) {
            input.setstate(readAny ? std::ios::eofbit : std::ios::eofbit | std::ios::failbit);
            break;
        }
        readAny = true;
        const char ch = Traits::to_char_type(c);
        if (ch == '\n') break;
        if (tooLong) continue;
        if (line.size() == maxLength) {
            tooLong = true;
            std::string().swap(line);
            continue;
        }
        line.push_back(ch);
    }
    if (!readAny) return LineStatus::End;
    return tooLong ? LineStatus::TooLong : LineStatus::Line;
}

}  // namespace quvo
