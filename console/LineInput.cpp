#include "console/LineInput.h"

namespace quvo {

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
        const Traits::int_type c = buffer->sbumpc();
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
