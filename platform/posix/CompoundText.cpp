// COMPOUND_TEXT (ISO 2022 in X's own profile) decoded to UTF-8, through iconv for
// the character sets of more than one byte and the other parts of ISO 8859.
#include "platform/posix/CompoundText.h"

#include <iconv.h>

#include <cstring>
#include <utility>

#include "platform/posix/Utf8.h"

namespace quvo::platform {

namespace {

// A character set of COMPOUND_TEXT, by the name iconv knows its bytes under
// (with the high bit set on every byte). Null for ASCII.
struct Charset {
    const char* encoding = nullptr;
    bool twoBytes = false;
};

// The set that ISO 2022 designates with ESC followed by sequence: a 96-character
// ISO 8859 part to the right half (ESC - F), ASCII to the left half (ESC ( B), or
// one of the 94x94 sets of China, Japan and Korea to either half (ESC $ ( F,
// ESC $ ) F). False for any other sequence.
bool Designation(std::string_view sequence, Charset& set, bool& right) {
    if (sequence == "(B") {
        set = {};
        right = false;
        return true;
    }
    if (sequence.size() == 2 && sequence[0] == '-') {
        static constexpr std::pair<char, const char*> kParts[] = {
            {'A', "ISO-8859-1"},  {'B', "ISO-8859-2"},  {'C', "ISO-8859-3"},  {'D', "ISO-8859-4"},
            {'F', "ISO-8859-7"},  {'G', "ISO-8859-6"},  {'H', "ISO-8859-8"},  {'L', "ISO-8859-5"},
            {'M', "ISO-8859-9"},  {'V', "ISO-8859-10"}, {'Y', "ISO-8859-13"}, {'_', "ISO-8859-14"},
            {'b', "ISO-8859-15"}, {'f', "ISO-8859-16"}};
        for (const auto& [final, part] : kParts) {
            if (sequence[1] != final) continue;
            set = {part, false};
            right = true;
            return true;
        }
        return false;
    }
    if (sequence.size() == 3 && sequence[0] == '$' && (sequence[1] == '(' || sequence[1] == ')')) {
        const char* encoding = sequence[2] == 'A'   ? "EUC-CN"  // GB 2312
                               : sequence[2] == 'B' ? "EUC-JP"  // JIS X 0208
                               : sequence[2] == 'C' ? "EUC-KR"  // KS C 5601
                                                    : nullptr;
        if (!encoding) return false;
        set = {encoding, true};
        right = sequence[1] == ')';
        return true;
    }
    return false;
}

// Appends the characters of the given set to utf8; bytes carry their high bit.
bool AppendConverted(const Charset& set, std::string bytes, std::string& utf8) {
    if (!set.encoding) {
        utf8 += bytes;
        return true;
    }
    if (set.twoBytes && bytes.size() % 2 != 0) return false;
    if (std::strcmp(set.encoding, "ISO-8859-1") == 0) {
        for (const char c : bytes) utf8 += WideToUtf8(std::wstring(1, static_cast<unsigned char>(c)));
        return true;
    }
    const iconv_t converter = ::iconv_open("UTF-8", set.encoding);
    if (converter == reinterpret_cast<iconv_t>(-1)) return false;
    std::string out(bytes.size() * 4, '\0');
    char* from = bytes.data();
    char* to = out.data();
    size_t fromLeft = bytes.size();
    size_t toLeft = out.size();
    const bool converted = ::iconv(converter, &from, &fromLeft, &to, &toLeft) != static_cast<size_t>(-1);
    ::iconv_close(converter);
    if (converted) utf8.append(out.data(), out.size() - toLeft);
    return converted;
}

}  // namespace

bool CompoundTextToUtf8(std::string_view text, std::string& utf8) {
    Charset halves[2] = {{}, {"ISO-8859-1", false}};  // left, right
    utf8.clear();
    size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == 0x1B) {
            if (text.substr(i + 1, 2) == "%G") {  // UTF-8 up to ESC % @
                const size_t end = text.find("\x1B%@", i + 3);
                utf8.append(text.substr(i + 3, end == std::string_view::npos ? end : end - i - 3));
                i = end == std::string_view::npos ? text.size() : end + 3;
                continue;
            }
            const size_t length = text.substr(i + 1, 1) == "$" ? 3 : 2;
            Charset set;
            bool right = false;
            if (!Designation(text.substr(i + 1, length), set, right)) return false;
            halves[right ? 1 : 0] = set;
            i += 1 + length;
        } else if (byte == 0x9B) {
            const size_t end = text.find(']', i + 1);  // CSI 1 ], CSI 2 ] or CSI ]
            if (end == std::string_view::npos || end > i + 2) return false;
            i = end + 1;
        } else if (byte == '\t' || byte == '\n' || byte == ' ') {
            utf8 += static_cast<char>(byte);
            ++i;
        } else if ((byte > 0x20 && byte < 0x7F) || byte >= 0xA0) {
            // A run of bytes of one half, in the set designated to it.
            const bool right = byte >= 0xA0;
            std::string run;
            for (; i < text.size(); ++i) {
                const auto next = static_cast<unsigned char>(text[i]);
                if (right ? next < 0xA0 : (next <= 0x20 || next >= 0x7F)) break;
                run += static_cast<char>(right || !halves[0].encoding ? next : next | 0x80);
            }
            if (!AppendConverted(halves[right ? 1 : 0], std::move(run), utf8)) return false;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace quvo::platform
